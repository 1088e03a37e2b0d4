// GUID creation (random, version 4, as CoCreateGuid makes them) and the
// registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#include <objbase.h>

#include <openssl/rand.h>

#include <cstdio>

extern "C" HRESULT CoCreateGuid(GUID* pguid) {
    if (pguid == nullptr)
        return E_INVALIDARG;
    uint8_t b[16];
    if (RAND_bytes(b, sizeof(b)) != 1)
        return E_FAIL;
    b[6] = uint8_t((b[6] & 0x0F) | 0x40); // version 4 in the high nibble of Data3
    b[8] = uint8_t((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    pguid->Data1 = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    pguid->Data2 = uint16_t(b[4] << 8 | b[5]);
    pguid->Data3 = uint16_t(b[6] << 8 | b[7]);
    for (int i = 0; i < 8; ++i)
        pguid->Data4[i] = b[8 + i];
    return S_OK;
}

extern "C" int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    constexpr int kChars = 39; // 38 characters and the terminator
    if (lpsz == nullptr || cchMax < kChars)
        return 0;
    char buf[kChars + 1];
    std::snprintf(buf, sizeof(buf), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  unsigned(rguid.Data1), unsigned(rguid.Data2), unsigned(rguid.Data3),
                  rguid.Data4[0], rguid.Data4[1], rguid.Data4[2], rguid.Data4[3], rguid.Data4[4],
                  rguid.Data4[5], rguid.Data4[6], rguid.Data4[7]);
    for (int i = 0; i < kChars; ++i)
        lpsz[i] = WCHAR(buf[i]);
    return kChars;
}

namespace {
thread_local int t_comInitCount = 0;
}

extern "C" HRESULT CoInitializeEx(LPVOID, DWORD) {
    return t_comInitCount++ == 0 ? S_OK : S_FALSE;
}

extern "C" void CoUninitialize(void) {
    if (t_comInitCount > 0)
        --t_comInitCount;
}
