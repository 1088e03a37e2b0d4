// Helpers the Windows API conformance suites share: names unique to a run,
// and removal of the registry trees the suites make.
#pragma once
#include "tests/support/TestSupport.h"

#include <objbase.h>
#include <winreg.h>

namespace orvane::tests {

// GuidText: a fresh GUID in its braced text form, to name what a run makes.
inline WString GuidText() {
    GUID g{};
    CoCreateGuid(&g);
    WCHAR text[64] = {};
    StringFromGUID2(g, text, 64);
    return text;
}

// DeleteRegTree: RegDeleteKeyW refuses a key with subkeys, so empty it first.
inline LSTATUS DeleteRegTree(HKEY parent, const WString& sub) {
    HKEY h = nullptr;
    LSTATUS rc = RegOpenKeyExW(parent, sub.c_str(), 0, KEY_READ, &h);
    if (rc != ERROR_SUCCESS)
        return rc;
    for (;;) {
        WCHAR name[1024]; // room for names longer than Windows allows
        DWORD cch = 1024;
        if (RegEnumKeyExW(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (DeleteRegTree(h, name) != ERROR_SUCCESS)
            break;
    }
    RegCloseKey(h);
    return RegDeleteKeyW(parent, sub.c_str());
}

} // namespace orvane::tests
