// Helpers shared inside the stand-in (never included by system code).
#pragma once
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace orvane::platform {

// UTF-16 to UTF-8 for handing names to POSIX calls; ill-formed units become U+FFFD.
std::string ToUtf8(LPCWSTR text);
std::u16string ToUtf16(const char* text, size_t length);

// The components of a path between `separator`s, empty ones (leading,
// trailing, repeated separators) left out.
std::vector<std::u16string> SplitComponents(std::u16string_view path, char16_t separator);

// Maps an errno value to the Win32 error number Windows reports for the same cause.
DWORD Win32ErrorFromErrno(int err);

// The user-interface language: a thread's own choice, else the locale of
// LC_ALL / LC_MESSAGES / LANG ("zh*" is Simplified Chinese, anything else English).
LANGID CurrentUiLanguage();

} // namespace orvane::platform
