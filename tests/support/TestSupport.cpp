#include "tests/support/TestSupport.h"

bool RunningUnderWine() {
#ifdef _WIN32
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    return hNtdll != nullptr && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

WString W(const char* pszUtf8) {
    WString out;
    int n = MultiByteToWideChar(CP_UTF8, 0, pszUtf8, -1, nullptr, 0);
    if (n <= 1)
        return out;
    out.resize(size_t(n));
    MultiByteToWideChar(CP_UTF8, 0, pszUtf8, -1, out.data(), n);
    out.resize(size_t(n) - 1);
    return out;
}

std::string U8(const WCHAR* pwsz) {
    std::string out;
    if (pwsz == nullptr || pwsz[0] == 0)
        return out;
    int n = WideCharToMultiByte(CP_UTF8, 0, pwsz, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return out;
    out.resize(size_t(n));
    WideCharToMultiByte(CP_UTF8, 0, pwsz, -1, out.data(), n, nullptr, nullptr);
    out.resize(size_t(n) - 1);
    return out;
}

std::string U8(const WString& ws) {
    return U8(ws.c_str());
}

std::vector<BYTE> orvane::tests::Hex(const char* pszHex) {
    std::vector<BYTE> out;
    int nibble = -1;
    for (const char* p = pszHex; *p != 0; ++p) {
        int v;
        if (*p >= '0' && *p <= '9')
            v = *p - '0';
        else if (*p >= 'A' && *p <= 'F')
            v = *p - 'A' + 10;
        else if (*p >= 'a' && *p <= 'f')
            v = *p - 'a' + 10;
        else
            continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(BYTE(nibble << 4 | v));
            nibble = -1;
        }
    }
    return out;
}
