// Helpers shared by the test programs of both targets.
#pragma once
#include "foundation/Types.h"

#include <string>
#include <vector>

// True when the Windows build runs under Wine, whose system texts and a few
// behaviours differ from Windows; tests mark each such difference in place.
bool RunningUnderWine();

// UTF-8 <-> UTF-16 for readable expectations.
WString W(const char* pszUtf8);
std::string U8(const WCHAR* pwsz);
std::string U8(const WString& ws);

namespace orvane::tests {
// Hex: the bytes of a hexadecimal text; anything that is not a hex digit
// (spaces, line breaks) is skipped, so "30 06 02" and "3006 02" read alike.
// (In a namespace: several suites still have a Hex of their own.)
std::vector<BYTE> Hex(const char* pszHex);
} // namespace orvane::tests
