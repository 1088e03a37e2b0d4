// CryptEncodeObject(Ex): CryptoAPI structures to DER. Each encoder quotes the
// ASN.1 it writes; sizes, allocation and errors are handled once, at the entry.
#include <windows.h>
#include <wincrypt.h>

#include "der/Der.h"
#include "crypt32/object_types.h"

#include <climits>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace orvane::crypt32 {

using namespace orvane::der;

namespace {

// An encoder writes one structure into `w`, or fails it. One that refuses a
// character sets `errorIndex` to its position, which the caller gets back.
using Encoder = void (*)(const void* pvStructInfo, DerWriter& w, DWORD& errorIndex);

// The bytes a structure points to. A null pointer with a length fails the way
// Windows fails when it touches one.
bool View(const BYTE* pb, DWORD cb, Bytes& out, DerWriter& w) {
    if (pb == nullptr && cb != 0) {
        w.Fail(kStatusAccessViolation);
        return false;
    }
    out = Bytes(pb, cb);
    return true;
}

bool View(const CRYPT_DATA_BLOB& blob, Bytes& out, DerWriter& w) {
    return View(blob.pbData, blob.cbData, out, w);
}

// --- any string ---------------------------------------------------------------

// PrintableString: letters, digits, space and ' ( ) + , - . / : = ?
bool IsPrintable(BYTE c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return c != 0 && std::strchr(" '()+,-./:=?", c) != nullptr;
}
bool IsNumeric(BYTE c) {
    return (c >= '0' && c <= '9') || c == ' ';
}
bool IsIa5(BYTE c) {
    return c < 0x80;
}

// The string types whose alphabet is checked before writing; the others
// (teletex, videotex, graphic, visible, general) are written as given.
struct Alphabet {
    DWORD valueType;
    bool (*allowed)(BYTE);
    HRESULT refusal;
};
const Alphabet kAlphabets[] = {
    {CERT_RDN_NUMERIC_STRING, IsNumeric, CRYPT_E_INVALID_NUMERIC_STRING},
    {CERT_RDN_PRINTABLE_STRING, IsPrintable, CRYPT_E_INVALID_PRINTABLE_STRING},
    {CERT_RDN_IA5_STRING, IsIa5, CRYPT_E_INVALID_IA5_STRING},
};

// The UTF-16 text of a wide value: cbData / 2 units, or up to a terminator
// when cbData is zero, which is how Windows reads wide name values.
bool ReadUtf16(const CERT_RDN_VALUE_BLOB& value, std::u16string& text, DerWriter& w) {
    text.clear();
    if (value.pbData == nullptr) {
        if (value.cbData != 0)
            w.Fail(kStatusAccessViolation);
        return value.cbData == 0;
    }
    // The units may sit at any address: copy them rather than cast.
    if (value.cbData == 0) {
        for (const BYTE* p = value.pbData;; p += 2) {
            char16_t unit;
            std::memcpy(&unit, p, sizeof unit);
            if (unit == 0)
                break;
            text.push_back(unit);
        }
    } else {
        text.resize(value.cbData / 2);
        std::memcpy(text.data(), value.pbData, text.size() * 2);
    }
    return true;
}

void WriteUtf8String(DerWriter& w, const std::u16string& text) {
    if (text.empty()) {
        w.Element(tag::kUtf8String, {});
        return;
    }
    if (text.size() > INT_MAX) {
        w.Fail(DWORD(CRYPT_E_ASN1_LARGE));
        return;
    }
    // Lone surrogates become U+FFFD, as the system's conversion makes them.
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0) {
        w.Fail(DWORD(CRYPT_E_ASN1_LARGE));
        return;
    }
    std::vector<BYTE> utf8(size_t(n), 0);
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()),
                        reinterpret_cast<LPSTR>(utf8.data()), n, nullptr, nullptr);
    w.Element(tag::kUtf8String, utf8);
}

// The value's own universal string type, for example
//   PrintableString ::= [UNIVERSAL 19] IMPLICIT OCTET STRING  -- restricted alphabet
//   BMPString       ::= [UNIVERSAL 30] IMPLICIT OCTET STRING  -- UCS-2, big-endian
//   UTF8String      ::= [UNIVERSAL 12] IMPLICIT OCTET STRING
// or, for CERT_RDN_ENCODED_BLOB, the caller's own encoding.
void EncodeAnyString(const void* pv, DerWriter& w, DWORD& errorIndex) {
    const auto& nv = *static_cast<const CERT_NAME_VALUE*>(pv);
    if (nv.dwValueType == CERT_RDN_ANY_TYPE) {
        w.Fail(DWORD(E_INVALIDARG)); // encoding needs a definite type
        return;
    }
    if (nv.dwValueType == CERT_RDN_ENCODED_BLOB) {
        Bytes encoded;
        if (View(nv.Value, encoded, w))
            w.Raw(encoded);
        return;
    }
    const StringType* type = StringTypeForValue(nv.dwValueType);
    if (type == nullptr) {
        w.Fail(DWORD(CRYPT_E_ASN1_CHOICE));
        return;
    }
    if (type->utf16) {
        std::u16string text;
        if (!ReadUtf16(nv.Value, text, w))
            return;
        if (type->tag == tag::kUtf8String) {
            WriteUtf8String(w, text);
            return;
        }
        std::vector<BYTE> bigEndian;
        bigEndian.reserve(text.size() * 2);
        for (char16_t unit : text) {
            bigEndian.push_back(BYTE(unit >> 8));
            bigEndian.push_back(BYTE(unit));
        }
        w.Element(type->tag, bigEndian);
        return;
    }
    Bytes chars;
    if (!View(nv.Value, chars, w))
        return;
    for (const Alphabet& a : kAlphabets) {
        if (a.valueType != nv.dwValueType)
            continue;
        for (size_t i = 0; i < chars.size(); ++i) {
            if (!a.allowed(chars[i])) {
                errorIndex = DWORD(i);
                w.Fail(DWORD(a.refusal));
                return;
            }
        }
    }
    w.Element(type->tag, chars);
}

// --- bits and octets ------------------------------------------------------------

// BIT STRING: an octet counting the unused bits at the end of the last octet,
// then the octets, the unused bits zero. Whole unused octets are dropped, so
// the count written is below 8.
void EncodeBits(const void* pv, DerWriter& w, DWORD&) {
    const auto& blob = *static_cast<const CRYPT_BIT_BLOB*>(pv);
    Bytes bits;
    if (!View(blob.pbData, blob.cbData, bits, w))
        return;
    DWORD unused = blob.cUnusedBits;
    size_t wholeOctets = unused / 8;
    if (wholeOctets >= bits.size()) {
        bits = {};
        unused = 0;
    } else {
        bits = bits.first(bits.size() - wholeOctets);
        unused %= 8;
    }
    std::vector<BYTE> contents;
    contents.reserve(bits.size() + 1);
    contents.push_back(BYTE(unused));
    contents.insert(contents.end(), bits.begin(), bits.end());
    if (!bits.empty())
        contents.back() &= BYTE(0xFF << unused);
    w.Element(tag::kBitString, contents);
}

// OCTET STRING (also the subject key identifier extension's value).
void EncodeOctetString(const void* pv, DerWriter& w, DWORD&) {
    Bytes octets;
    if (View(*static_cast<const CRYPT_DATA_BLOB*>(pv), octets, w))
        w.Element(tag::kOctetString, octets);
}

// --- attributes, algorithms, content ---------------------------------------------

// Attribute ::= SEQUENCE {
//     type    OBJECT IDENTIFIER,
//     values  SET OF AttributeValue }  -- each value already encoded by the caller
void WriteAttribute(DerWriter& w, const CRYPT_ATTRIBUTE& attr) {
    if (attr.pszObjId == nullptr) {
        w.Fail(DWORD(E_INVALIDARG));
        return;
    }
    if (attr.cValue != 0 && attr.rgValue == nullptr) {
        w.Fail(kStatusAccessViolation);
        return;
    }
    std::vector<std::vector<BYTE>> values;
    values.reserve(attr.cValue);
    for (DWORD i = 0; i < attr.cValue; ++i) {
        Bytes value;
        if (!View(attr.rgValue[i], value, w))
            return;
        values.emplace_back(value.begin(), value.end());
    }
    w.Constructed(tag::kSequence, [&](DerWriter& seq) {
        WriteOid(seq, attr.pszObjId);
        seq.SetOf(tag::kSet, std::move(values));
    });
}

// Attributes ::= SET OF Attribute, written under `identifier` (the IMPLICIT
// tag of its field) and left out when there are none.
void WriteAttributes(DerWriter& w, BYTE identifier, const CRYPT_ATTRIBUTES& attrs) {
    if (attrs.cAttr == 0)
        return;
    if (attrs.rgAttr == nullptr) {
        w.Fail(kStatusAccessViolation);
        return;
    }
    std::vector<std::vector<BYTE>> members;
    members.reserve(attrs.cAttr);
    for (DWORD i = 0; i < attrs.cAttr; ++i) {
        DerWriter one;
        WriteAttribute(one, attrs.rgAttr[i]);
        if (one.Error() != 0) {
            w.Fail(one.Error());
            return;
        }
        members.push_back(one.Take());
    }
    w.SetOf(identifier, std::move(members));
}

void EncodeAttribute(const void* pv, DerWriter& w, DWORD&) {
    WriteAttribute(w, *static_cast<const CRYPT_ATTRIBUTE*>(pv));
}

// AlgorithmIdentifier ::= SEQUENCE {
//     algorithm   OBJECT IDENTIFIER,
//     parameters  ANY DEFINED BY algorithm OPTIONAL }
// Absent parameters are left out, or written as NULL where the structure
// around them carries NULL by custom (a signer's algorithms).
void WriteAlgorithmId(DerWriter& w, const CRYPT_ALGORITHM_IDENTIFIER& alg, bool absentAsNull) {
    if (alg.pszObjId == nullptr) {
        w.Fail(DWORD(E_INVALIDARG));
        return;
    }
    Bytes parameters;
    if (!View(alg.Parameters, parameters, w))
        return;
    w.Constructed(tag::kSequence, [&](DerWriter& seq) {
        WriteOid(seq, alg.pszObjId);
        if (!parameters.empty())
            seq.Raw(parameters);
        else if (absentAsNull)
            seq.Element(tag::kNull, {});
    });
}

void EncodeAlgorithmId(const void* pv, DerWriter& w, DWORD&) {
    WriteAlgorithmId(w, *static_cast<const CRYPT_ALGORITHM_IDENTIFIER*>(pv), false);
}

// ContentInfo ::= SEQUENCE {
//     contentType  OBJECT IDENTIFIER,
//     content      [0] EXPLICIT ANY DEFINED BY contentType OPTIONAL }
void EncodeContentInfo(const void* pv, DerWriter& w, DWORD&) {
    const auto& info = *static_cast<const CRYPT_CONTENT_INFO*>(pv);
    if (info.pszObjId == nullptr) {
        w.Fail(DWORD(E_INVALIDARG));
        return;
    }
    Bytes content;
    if (!View(info.Content, content, w))
        return;
    w.Constructed(tag::kSequence, [&](DerWriter& seq) {
        WriteOid(seq, info.pszObjId);
        if (!content.empty())
            seq.Constructed(tag::ContextConstructed(0), [&](DerWriter& c) { c.Raw(content); });
    });
}

// SignerInfo ::= SEQUENCE {
//     version                    INTEGER,
//     issuerAndSerialNumber      SEQUENCE { issuer Name, serialNumber INTEGER },
//     digestAlgorithm            AlgorithmIdentifier,
//     authenticatedAttributes    [0] IMPLICIT Attributes OPTIONAL,
//     digestEncryptionAlgorithm  AlgorithmIdentifier,
//     encryptedDigest            OCTET STRING,
//     unauthenticatedAttributes  [1] IMPLICIT Attributes OPTIONAL }
// The issuer is the caller's encoded Name; the serial number is little-endian.
void EncodeSignerInfo(const void* pv, DerWriter& w, DWORD&) {
    const auto& signer = *static_cast<const CMSG_SIGNER_INFO*>(pv);
    Bytes issuer, serial, digest;
    if (!View(signer.Issuer, issuer, w) || !View(signer.SerialNumber, serial, w) ||
        !View(signer.EncryptedHash, digest, w))
        return;
    if (issuer.empty()) {
        w.Fail(DWORD(E_INVALIDARG)); // a signer is named by its issuer
        return;
    }
    w.Constructed(tag::kSequence, [&](DerWriter& seq) {
        WriteInt32(seq, LONG(signer.dwVersion));
        seq.Constructed(tag::kSequence, [&](DerWriter& id) {
            id.Raw(issuer);
            WriteLittleEndianInteger(id, serial);
        });
        WriteAlgorithmId(seq, signer.HashAlgorithm, true);
        WriteAttributes(seq, tag::ContextConstructed(0), signer.AuthAttrs);
        WriteAlgorithmId(seq, signer.HashEncryptionAlgorithm, true);
        seq.Element(tag::kOctetString, digest);
        WriteAttributes(seq, tag::ContextConstructed(1), signer.UnauthAttrs);
    });
}

// Key usage is decoded only: nothing in the system encodes it.
Encoder FindEncoder(StructType type) {
    switch (type) {
    case StructType::AnyString:
        return EncodeAnyString;
    case StructType::Bits:
        return EncodeBits;
    case StructType::OctetString:
        return EncodeOctetString;
    case StructType::Attribute:
        return EncodeAttribute;
    case StructType::AlgorithmId:
        return EncodeAlgorithmId;
    case StructType::ContentInfo:
        return EncodeContentInfo;
    case StructType::SignerInfo:
        return EncodeSignerInfo;
    default:
        return nullptr;
    }
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL EncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                  DWORD dwFlags, PCRYPT_ENCODE_PARA pEncodePara, void* pvEncoded,
                  DWORD* pcbEncoded) {
    if (pcbEncoded == nullptr)
        return Fail(kStatusAccessViolation);
    Encoder encoder = KnownEncodingType(dwCertEncodingType)
                          ? FindEncoder(IdentifyStructType(lpszStructType))
                          : nullptr;
    if (encoder == nullptr)
        return Fail(ERROR_FILE_NOT_FOUND);
    const bool allocate = (dwFlags & CRYPT_ENCODE_ALLOC_FLAG) != 0;
    if (allocate) {
        if (pvEncoded == nullptr) {
            *pcbEncoded = 0;
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *static_cast<BYTE**>(pvEncoded) = nullptr;
    }
    if (pvStructInfo == nullptr)
        return Fail(kStatusAccessViolation);

    DerWriter w;
    DWORD errorIndex = 0;
    encoder(pvStructInfo, w, errorIndex);
    if (w.Error() != 0) {
        *pcbEncoded = errorIndex;
        return Fail(w.Error());
    }
    const std::vector<BYTE>& der = w.Encoding();
    if (der.size() > 0xFFFFFFFFu)
        return Fail(DWORD(CRYPT_E_ASN1_LARGE));
    const DWORD size = DWORD(der.size());

    BOOL ended = FALSE;
    BYTE* out = ResultBlock(allocate, pEncodePara, pvEncoded, pcbEncoded, size, ended);
    if (out == nullptr)
        return ended;
    if (allocate)
        *static_cast<BYTE**>(pvEncoded) = out;
    if (size != 0)
        std::memcpy(out, der.data(), size);
    *pcbEncoded = size;
    return TRUE;
}

} // namespace

} // namespace orvane::crypt32

extern "C" BOOL WINAPI CryptEncodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                           const void* pvStructInfo, DWORD dwFlags,
                                           PCRYPT_ENCODE_PARA pEncodePara, void* pvEncoded,
                                           DWORD* pcbEncoded) {
    try {
        return orvane::crypt32::EncodeObject(dwCertEncodingType, lpszStructType, pvStructInfo,
                                             dwFlags, pEncodePara, pvEncoded, pcbEncoded);
    } catch (const std::exception&) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
}

extern "C" BOOL WINAPI CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                         const void* pvStructInfo, BYTE* pbEncoded,
                                         DWORD* pcbEncoded) {
    return CryptEncodeObjectEx(dwCertEncodingType, lpszStructType, pvStructInfo, 0, nullptr,
                               pbEncoded, pcbEncoded);
}
