// Types every module shares.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>

// Owned wide text: UTF-16 on both targets (WCHAR is wchar_t on Windows and
// char16_t on POSIX), so lengths and positions mean the same everywhere.
using WString = std::basic_string<WCHAR>;
