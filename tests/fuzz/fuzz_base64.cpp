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
#include <string>
#include <vector>

namespace {

// Decodes cch characters at pch; aborts when the decoder fails on a valid length.
std::vector<BYTE> DecodeOrDie(const char* pch, size_t cch) {
    std::vector<BYTE> out;
    if (Base64DecodeEx(int(cch), &out, pch) != VURO_OK)
        std::abort();
    // The decoder never yields more than 3 bytes for 4 characters.
    if (uint64_t(out.size()) * 4 > uint64_t(cch) * 3)
        std::abort();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbData, size_t cbData) {
    if (cbData == 0 || cbData > 0x7FFFFFFF) {
        std::vector<BYTE> out;
        if (cbData == 0 && Base64DecodeEx(0, &out, "") != E_FAIL)
            std::abort();
        return 0;
    }
    std::unique_ptr<char[]> text(new char[cbData]);
    std::memcpy(text.get(), pbData, cbData);

    const std::vector<BYTE> decoded = DecodeOrDie(text.get(), cbData);

    for (DWORD dwFlags = 0; dwFlags < 4; ++dwFlags) {
        std::string encoded;
        if (Base64EncodeEx(dwFlags, &encoded, decoded.data(), DWORD(decoded.size())) != VURO_OK)
            std::abort();
        if (std::strlen(encoded.c_str()) != encoded.size())
            std::abort();
        if (decoded.empty()) {
            if (!encoded.empty())
                std::abort();
            continue;
        }
        // Decode from an exact-size copy as well: the terminator must not be needed.
        std::unique_ptr<char[]> exact(new char[encoded.size()]);
        std::memcpy(exact.get(), encoded.data(), encoded.size());
        if (DecodeOrDie(exact.get(), encoded.size()) != decoded)
            std::abort();
    }
    return 0;
}
