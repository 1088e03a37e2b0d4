#include "foundation/ErrorText.h"

#include <oleauto.h>

#include <cstdio>

HRESULT BuildErrorDescription(HMODULE hModule, HRESULT hrCode, BSTR* pbstrDesc) {
    if (pbstrDesc == nullptr)
        return E_POINTER;
    constexpr int kMax = 512;
    WCHAR wszDesc[kMax] = {};
    const auto dwCode = static_cast<DWORD>(hrCode);
    if (dwCode & 0x20000000u) {
        LoadStringW(hModule, dwCode & 0xFFFFu, wszDesc, kMax);
    } else {
        // Inserts are never filled in: a system text that has them is shown as written.
        if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           dwCode, 0, wszDesc, kMax, nullptr) == 0)
            wszDesc[0] = 0;
    }
    int nLen = lstrlenW(wszDesc);
    char szSuffix[16];
    std::snprintf(szSuffix, sizeof(szSuffix), "\n(0x%08x)", static_cast<unsigned>(dwCode));
    for (const char* p = szSuffix; *p != 0 && nLen < kMax - 1; ++p)
        wszDesc[nLen++] = WCHAR(*p);
    wszDesc[nLen] = 0;
    BSTR bstr = SysAllocStringLen(wszDesc, UINT(nLen));
    if (bstr == nullptr)
        return E_OUTOFMEMORY;
    *pbstrDesc = bstr;
    return VURO_OK;
}
