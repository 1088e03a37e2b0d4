// Helpers shared by the test programs of both targets.
#pragma once
#include "foundation/Types.h"

#include <string>

// True when the Windows build runs under Wine, whose system texts and a few
// behaviours differ from Windows; tests mark each such difference in place.
bool RunningUnderWine();

// UTF-8 <-> UTF-16 for readable expectations.
WString W(const char* pszUtf8);
std::string U8(const WCHAR* pwsz);
std::string U8(const WString& ws);
