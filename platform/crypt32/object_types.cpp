#include "crypt32/object_types.h"

#include "der/Der.h"

#include <cstdint>
#include <cstring>

namespace orvane::crypt32 {

using namespace orvane::der;

namespace {

struct NamedType {
    LPCSTR name; // a small number cast to LPCSTR, or an object identifier
    StructType type;
};

const NamedType kNumbered[] = {
    {X509_ANY_STRING, StructType::AnyString},
    {X509_BITS, StructType::Bits},
    {X509_KEY_USAGE, StructType::KeyUsage},
    {X509_OCTET_STRING, StructType::OctetString},
    {PKCS_ATTRIBUTE, StructType::Attribute},
    {X509_ALGORITHM_IDENTIFIER, StructType::AlgorithmId},
    {PKCS_CONTENT_INFO, StructType::ContentInfo},
    {PKCS7_SIGNER_INFO, StructType::SignerInfo},
};

// Extensions are decoded by their own identifier.
const NamedType kByOid[] = {
    {szOID_SUBJECT_KEY_IDENTIFIER, StructType::OctetString},
    {szOID_KEY_USAGE, StructType::KeyUsage},
};

const StringType kStringTypes[] = {
    {CERT_RDN_OCTET_STRING, tag::kOctetString, false},
    {CERT_RDN_NUMERIC_STRING, tag::kNumericString, false},
    {CERT_RDN_PRINTABLE_STRING, tag::kPrintableString, false},
    {CERT_RDN_TELETEX_STRING, tag::kT61String, false},
    {CERT_RDN_VIDEOTEX_STRING, tag::kVideotexString, false},
    {CERT_RDN_IA5_STRING, tag::kIa5String, false},
    {CERT_RDN_GRAPHIC_STRING, tag::kGraphicString, false},
    {CERT_RDN_VISIBLE_STRING, tag::kVisibleString, false},
    {CERT_RDN_GENERAL_STRING, tag::kGeneralString, false},
    {CERT_RDN_BMP_STRING, tag::kBmpString, true},
    {CERT_RDN_UTF8_STRING, tag::kUtf8String, true},
};

} // namespace

const StringType* StringTypeForValue(DWORD valueType) {
    for (const StringType& t : kStringTypes)
        if (t.valueType == valueType)
            return &t;
    return nullptr;
}

const StringType* StringTypeForTag(BYTE identifier) {
    for (const StringType& t : kStringTypes)
        if (t.tag == identifier)
            return &t;
    return nullptr;
}

StructType IdentifyStructType(LPCSTR lpszStructType) {
    // Numbers live in the low 64 KiB, where no string can.
    if ((reinterpret_cast<uintptr_t>(lpszStructType) >> 16) == 0) {
        for (const NamedType& t : kNumbered)
            if (t.name == lpszStructType)
                return t.type;
        return StructType::Unknown;
    }
    for (const NamedType& t : kByOid)
        if (std::strcmp(t.name, lpszStructType) == 0)
            return t.type;
    return StructType::Unknown;
}

} // namespace orvane::crypt32
