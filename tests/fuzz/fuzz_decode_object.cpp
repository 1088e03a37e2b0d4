// Decodes arbitrary bytes as every structure type the stand-in decodes, with
// and without CRYPT_DECODE_ALLOC_FLAG, from a heap copy of exactly the input's
// size, so that any read past the given length is an overread for
// AddressSanitizer. Whatever decodes must also decode into a caller buffer of
// exactly the size it asked for. Where an encoder exists, its output is a fixed
// point: decoding it and encoding again reproduces it octet for octet.
#include "foundation/Handles.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Target {
    LPCSTR decodeAs;
    LPCSTR encodeAs; // the encoder of the same structure, or null
};

const Target kTargets[] = {
    {X509_ANY_STRING, X509_ANY_STRING},
    {X509_BITS, X509_BITS},
    {X509_KEY_USAGE, X509_BITS},
    {szOID_KEY_USAGE, X509_BITS},
    {X509_OCTET_STRING, X509_OCTET_STRING},
    {szOID_SUBJECT_KEY_IDENTIFIER, szOID_SUBJECT_KEY_IDENTIFIER},
    {PKCS_ATTRIBUTE, PKCS_ATTRIBUTE},
    {X509_ALGORITHM_IDENTIFIER, X509_ALGORITHM_IDENTIFIER},
    {PKCS_CONTENT_INFO, PKCS_CONTENT_INFO},
    {PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO},
};

using LocalBlock = UniqueLocalOf<BYTE>;

void Require(bool condition) {
    if (!condition)
        std::abort();
}

// Decodes pb[0..cb) as `type` in all three forms; null when it does not decode.
LocalBlock DecodeEveryWay(LPCSTR type, const BYTE* pb, DWORD cb) {
    BYTE* allocated = nullptr;
    DWORD cbAllocated = 0;
    BOOL ok = CryptDecodeObjectEx(kEncoding, type, pb, cb, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                                  &allocated, &cbAllocated);
    DWORD size = 0;
    BOOL sized = CryptDecodeObjectEx(kEncoding, type, pb, cb, 0, nullptr, nullptr, &size);
    Require(ok == sized);
    if (!ok) {
        Require(allocated == nullptr);
        return {};
    }
    LocalBlock block(allocated);
    Require(size == cbAllocated);
    // Into a heap block of exactly the size asked for.
    std::unique_ptr<BYTE[]> exact(new BYTE[size]);
    DWORD cbExact = size;
    Require(CryptDecodeObjectEx(kEncoding, type, pb, cb, 0, nullptr, exact.get(), &cbExact));
    Require(cbExact == size);
    if (size > 0) {
        DWORD cbShort = size - 1;
        Require(!CryptDecodeObjectEx(kEncoding, type, pb, cb, 0, nullptr, exact.get(), &cbShort));
        Require(GetLastError() == ERROR_MORE_DATA && cbShort == size);
    }
    return block;
}

// Encodes a decoded structure; false only for a character the type's alphabet
// refuses (decoding does not judge characters, encoding does).
bool Encode(LPCSTR type, const void* pv, std::vector<BYTE>& out) {
    BYTE* pb = nullptr;
    DWORD cb = 0;
    if (!CryptEncodeObjectEx(kEncoding, type, pv, CRYPT_ENCODE_ALLOC_FLAG, nullptr, &pb, &cb)) {
        DWORD err = GetLastError();
        Require(err == DWORD(CRYPT_E_INVALID_PRINTABLE_STRING) ||
                err == DWORD(CRYPT_E_INVALID_IA5_STRING) ||
                err == DWORD(CRYPT_E_INVALID_NUMERIC_STRING));
        return false;
    }
    out.assign(pb, pb + cb);
    LocalFree(pb);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbData, size_t cbData) {
    if (cbData > 0xFFFF)
        return 0;
    std::unique_ptr<BYTE[]> input(new BYTE[cbData]);
    if (cbData > 0)
        std::memcpy(input.get(), pbData, cbData);

    for (const Target& t : kTargets) {
        LocalBlock decoded = DecodeEveryWay(t.decodeAs, input.get(), DWORD(cbData));
        if (!decoded || t.encodeAs == nullptr)
            continue;
        std::vector<BYTE> canonical;
        if (!Encode(t.encodeAs, decoded.get(), canonical))
            continue;
        std::unique_ptr<BYTE[]> exact(new BYTE[canonical.size()]);
        std::memcpy(exact.get(), canonical.data(), canonical.size());
        LocalBlock again = DecodeEveryWay(t.decodeAs, exact.get(), DWORD(canonical.size()));
        Require(bool(again));
        std::vector<BYTE> reencoded;
        Require(Encode(t.encodeAs, again.get(), reencoded));
        Require(reencoded == canonical);
    }
    return 0;
}
