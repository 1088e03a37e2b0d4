// Decodes arbitrary text as Base64, then re-encodes the bytes with every flag
// combination and checks that each text decodes back to the same bytes. The
// input is copied into a buffer of exactly its size, without a terminator, so
// that any read past the given length is an overread for AddressSanitizer.
#include "foundation/Encodings.h"
#include "foundation/ResultCodes.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Decodes cch characters at pch; aborts when the decoder fails on a valid length.
std::unique_ptr<BYTE[]> DecodeOrDie(const char* pch, size_t cch, DWORD& cbOut) {
    BYTE* pbOut = nullptr;
    if (Base64DecodeEx(int(cch), &pbOut, pch, &cbOut) != VURO_OK || pbOut == nullptr)
        std::abort();
    // The decoder never yields more than 3 bytes for 4 characters.
    if (uint64_t(cbOut) * 4 > uint64_t(cch) * 3)
        std::abort();
    return std::unique_ptr<BYTE[]>(pbOut);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbData, size_t cbData) {
    if (cbData == 0 || cbData > 0x7FFFFFFF) {
        BYTE* pbOut = nullptr;
        DWORD cbOut = 0;
        if (cbData == 0 && Base64DecodeEx(0, &pbOut, "", &cbOut) != E_FAIL)
            std::abort();
        return 0;
    }
    std::unique_ptr<char[]> text(new char[cbData]);
    std::memcpy(text.get(), pbData, cbData);

    DWORD cbDecoded = 0;
    std::unique_ptr<BYTE[]> decoded = DecodeOrDie(text.get(), cbData, cbDecoded);

    for (DWORD dwFlags = 0; dwFlags < 4; ++dwFlags) {
        char* pszEncoded = nullptr;
        DWORD cchEncoded = 0;
        if (Base64EncodeEx(dwFlags, &pszEncoded, decoded.get(), cbDecoded, &cchEncoded) !=
                VURO_OK ||
            pszEncoded == nullptr)
            std::abort();
        std::unique_ptr<char[]> encoded(pszEncoded);
        if (pszEncoded[cchEncoded] != 0 || std::strlen(pszEncoded) != cchEncoded)
            std::abort();
        if (cbDecoded == 0) {
            if (cchEncoded != 0)
                std::abort();
            continue;
        }
        // Decode from an exact-size copy as well: the terminator must not be needed.
        std::unique_ptr<char[]> exact(new char[cchEncoded]);
        std::memcpy(exact.get(), pszEncoded, cchEncoded);
        DWORD cbAgain = 0;
        std::unique_ptr<BYTE[]> again = DecodeOrDie(exact.get(), cchEncoded, cbAgain);
        if (cbAgain != cbDecoded || std::memcmp(again.get(), decoded.get(), cbDecoded) != 0)
            std::abort();
    }
    return 0;
}
