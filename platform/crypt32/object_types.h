// What the encoder and decoder share besides DER: which structure a caller
// names, which encodings we speak, and where an allocated result comes from.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <windows.h>

#include <cstddef>

namespace orvane::crypt32 {

// The structures the stand-in encodes or decodes; each entry point says which
// directions it offers.
enum class StructType {
    Unknown,
    AnyString,   // X509_ANY_STRING: CERT_NAME_VALUE
    Bits,        // X509_BITS: CRYPT_BIT_BLOB
    KeyUsage,    // X509_KEY_USAGE, szOID_KEY_USAGE: CRYPT_BIT_BLOB
    OctetString, // X509_OCTET_STRING, szOID_SUBJECT_KEY_IDENTIFIER: CRYPT_DATA_BLOB
    Attribute,   // PKCS_ATTRIBUTE: CRYPT_ATTRIBUTE
    AlgorithmId, // X509_ALGORITHM_IDENTIFIER: CRYPT_ALGORITHM_IDENTIFIER
    ContentInfo, // PKCS_CONTENT_INFO: CRYPT_CONTENT_INFO
    SignerInfo,  // PKCS7_SIGNER_INFO: CMSG_SIGNER_INFO
};

// IdentifyStructType: the structure a numeric or object identifier type names.
StructType IdentifyStructType(LPCSTR lpszStructType);

// A name value's string type and the universal tag it is written with. For
// the UTF-16 types CERT_NAME_VALUE carries UTF-16 whatever the encoding.
struct StringType {
    DWORD valueType; // CERT_RDN_*
    BYTE tag;
    bool utf16;
};
// StringTypeForValue, StringTypeForTag: the entry, or null for a type or tag
// that is not a string we handle (the universal string is not among them).
const StringType* StringTypeForValue(DWORD valueType);
const StringType* StringTypeForTag(BYTE identifier);

// KnownEncodingType: whether the certificate or message half asks for ASN.1.
inline bool KnownEncodingType(DWORD dwEncodingType) {
    return GET_CERT_ENCODING_TYPE(dwEncodingType) == X509_ASN_ENCODING ||
           GET_CMSG_ENCODING_TYPE(dwEncodingType) == PKCS_7_ASN_ENCODING;
}

// Windows reports a bad pointer in a structure as the access violation its
// exception handler caught; the stand-in checks instead and reports the same.
inline constexpr DWORD kStatusAccessViolation = 0xC0000005;

// CallerAllocates: whether CRYPT_ENCODE_PARA or CRYPT_DECODE_PARA (one
// layout) names the allocator for ALLOC_FLAG results.
template <class Para> bool CallerAllocates(const Para* para) {
    return para != nullptr && para->cbSize >= sizeof(Para) && para->pfnAlloc != nullptr;
}

// AllocateResult: a block of `size` bytes for an ALLOC_FLAG result, from the
// caller's allocator if it names one, else from LocalAlloc. Null (last error
// set) when there is no memory.
template <class Para> void* AllocateResult(const Para* para, size_t size) {
    if (CallerAllocates(para)) {
        void* p = para->pfnAlloc(size);
        if (p == nullptr)
            SetLastError(ERROR_OUTOFMEMORY);
        return p;
    }
    return LocalAlloc(LMEM_FIXED, size);
}

// FreeResult: gives back a block AllocateResult handed out.
template <class Para> void FreeResult(const Para* para, void* block) {
    if (!CallerAllocates(para))
        LocalFree(block);
    else if (para->pfnFree != nullptr)
        para->pfnFree(block);
}

// ResultBlock: where a result of `size` bytes goes, as the caller asked: with
// ALLOC_FLAG (`allocate`) a new block from AllocateResult, else the caller's
// buffer pv of *pcb bytes. Null when the call ends here with `ended` to
// return: the size alone was asked for (TRUE, *pcb = size), the buffer is too
// small (FALSE, ERROR_MORE_DATA, *pcb = size) or there is no memory (FALSE,
// *pcb = 0, last error as AllocateResult set it).
template <class Para>
BYTE* ResultBlock(bool allocate, const Para* para, void* pv, DWORD* pcb, DWORD size, BOOL& ended) {
    if (allocate) {
        auto* block = static_cast<BYTE*>(AllocateResult(para, size));
        if (block == nullptr) {
            *pcb = 0;
            ended = FALSE;
        }
        return block;
    }
    auto* block = static_cast<BYTE*>(pv);
    if (block != nullptr && *pcb >= size)
        return block;
    if (block != nullptr)
        SetLastError(ERROR_MORE_DATA);
    *pcb = size;
    ended = block == nullptr; // a null buffer asks for the size alone
    return nullptr;
}

} // namespace orvane::crypt32
