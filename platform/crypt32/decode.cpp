// CryptDecodeObject(Ex): DER to CryptoAPI structures. Each decoder reads the
// input through DerReader into a model of spans over it, then the model is laid
// out in one block: the structure first, then everything it points to. Input is
// outside data: every length is checked by the reader before it is used.
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

// OutputLayout: hands out places in the result block. Run once without a
// block to measure, then over a block of the measured size to fill it; both
// runs take the same steps, so they agree. Places are aligned relative to the
// block's start, and never handed out past its end.
class OutputLayout {
public:
    OutputLayout() = default;
    OutputLayout(BYTE* block, size_t size) : block_(block), size_(size) {}

    // Reserve: room for `count` objects of T; null while measuring or for none.
    template <class T> T* Reserve(size_t count) {
        return static_cast<T*>(Take(sizeof(T) * count, alignof(T)));
    }
    template <class T> static void Store(T* array, size_t i, const T& value) {
        if (array != nullptr)
            array[i] = value;
    }
    // Copy: the bytes, then `terminator` zero octets that cbData leaves out.
    BYTE* Copy(Bytes bytes, size_t terminator = 0, size_t align = 1) {
        auto* p = static_cast<BYTE*>(Take(bytes.size() + terminator, align));
        if (p != nullptr) {
            if (!bytes.empty())
                std::memcpy(p, bytes.data(), bytes.size());
            std::memset(p + bytes.size(), 0, terminator);
        }
        return p;
    }
    LPSTR CopyString(const std::string& s) {
        return reinterpret_cast<LPSTR>(
            Copy(Bytes(reinterpret_cast<const BYTE*>(s.data()), s.size()), 1));
    }
    CRYPT_DATA_BLOB CopyBlob(Bytes bytes) { return {DWORD(bytes.size()), Copy(bytes)}; }

    size_t Used() const { return used_; }
    bool Overran() const { return overran_; }

private:
    void* Take(size_t size, size_t align) {
        size_t offset = (used_ + align - 1) & ~(align - 1);
        used_ = offset + size;
        if (block_ == nullptr || size == 0)
            return nullptr;
        if (used_ > size_) {
            overran_ = true;
            return nullptr;
        }
        return block_ + offset;
    }

    BYTE* block_ = nullptr;
    size_t size_ = 0;
    size_t used_ = 0;
    bool overran_ = false;
};

// --- octets and bits ---------------------------------------------------------------

struct OctetsModel {
    Bytes octets;
};

// OCTET STRING (also the subject key identifier extension's value).
DWORD Parse(Bytes in, OctetsModel& m) {
    DerReader r(in);
    return r.Read(tag::kOctetString, m.octets);
}

void Emit(OutputLayout& out, const OctetsModel& m) {
    auto* blob = out.Reserve<CRYPT_DATA_BLOB>(1);
    out.Store(blob, 0, out.CopyBlob(m.octets));
}

struct BitsModel {
    std::vector<BYTE> bits;
    DWORD unused = 0;
};

// BIT STRING: an octet counting the unused bits at the end of the last octet,
// then the octets. A count above 7, or any count without octets, is corrupt;
// unused bits are handed out as zero whatever the input held.
DWORD Parse(Bytes in, BitsModel& m) {
    DerReader r(in);
    Bytes contents;
    if (DWORD err = r.Read(tag::kBitString, contents))
        return err;
    if (contents.empty() || contents[0] > 7 || (contents.size() == 1 && contents[0] != 0))
        return DWORD(CRYPT_E_ASN1_CORRUPT);
    m.unused = contents[0];
    m.bits.assign(contents.begin() + 1, contents.end());
    if (!m.bits.empty())
        m.bits.back() &= BYTE(0xFF << m.unused);
    return 0;
}

void Emit(OutputLayout& out, const BitsModel& m) {
    auto* blob = out.Reserve<CRYPT_BIT_BLOB>(1);
    out.Store(blob, 0, CRYPT_BIT_BLOB{DWORD(m.bits.size()), out.Copy(m.bits), m.unused});
}

// --- any string -----------------------------------------------------------------------

struct NameValueModel {
    DWORD type = 0;
    std::vector<BYTE> value; // the characters, or UTF-16 units in memory order
    bool utf16 = false;
};

// One of the string types of StringTypeForTag. BMPString (big-endian UCS-2)
// and UTF8String come out as UTF-16, ill-formed UTF-8 as U+FFFD; the other
// strings come out as they are, unchecked.
DWORD Parse(Bytes in, NameValueModel& m) {
    DerReader r(in);
    BYTE identifier;
    Bytes contents;
    if (DWORD err = r.ReadAny(identifier, contents))
        return err;
    const StringType* type = StringTypeForTag(identifier);
    if (type == nullptr)
        return DWORD(CRYPT_E_ASN1_BADTAG);
    m.type = type->valueType;
    m.utf16 = type->utf16;
    if (!type->utf16) {
        m.value.assign(contents.begin(), contents.end());
        return 0;
    }
    std::u16string text;
    if (type->tag == tag::kBmpString) {
        if (contents.size() % 2 != 0)
            return DWORD(CRYPT_E_ASN1_CORRUPT);
        for (size_t i = 0; i < contents.size(); i += 2)
            text.push_back(char16_t((contents[i] << 8) | contents[i + 1]));
    } else if (!contents.empty()) {
        if (contents.size() > INT_MAX)
            return DWORD(CRYPT_E_ASN1_LARGE);
        auto utf8 = reinterpret_cast<LPCSTR>(contents.data());
        int n = MultiByteToWideChar(CP_UTF8, 0, utf8, int(contents.size()), nullptr, 0);
        if (n <= 0)
            return DWORD(CRYPT_E_ASN1_CORRUPT);
        text.resize(size_t(n));
        MultiByteToWideChar(CP_UTF8, 0, utf8, int(contents.size()), text.data(), n);
    }
    m.value.resize(text.size() * 2);
    if (!text.empty())
        std::memcpy(m.value.data(), text.data(), m.value.size());
    return 0;
}

void Emit(OutputLayout& out, const NameValueModel& m) {
    auto* nv = out.Reserve<CERT_NAME_VALUE>(1);
    // A terminator follows the value so that it may be read as a C string.
    BYTE* value =
        m.utf16 ? out.Copy(m.value, sizeof(char16_t), alignof(char16_t)) : out.Copy(m.value, 1);
    out.Store(nv, 0, CERT_NAME_VALUE{m.type, {DWORD(m.value.size()), value}});
}

// --- algorithms and attributes -------------------------------------------------------

struct AlgorithmModel {
    std::string oid;
    Bytes parameters; // the whole element, or empty when absent
};

DWORD ReadAlgorithmId(DerReader& r, AlgorithmModel& m) {
    return ReadAlgorithmIdentifier(r, m.oid, m.parameters);
}

CRYPT_ALGORITHM_IDENTIFIER EmitAlgorithmId(OutputLayout& out, const AlgorithmModel& m) {
    CRYPT_ALGORITHM_IDENTIFIER alg{};
    alg.pszObjId = out.CopyString(m.oid);
    alg.Parameters = out.CopyBlob(m.parameters);
    return alg;
}

DWORD Parse(Bytes in, AlgorithmModel& m) {
    DerReader r(in);
    return ReadAlgorithmId(r, m);
}

void Emit(OutputLayout& out, const AlgorithmModel& m) {
    auto* alg = out.Reserve<CRYPT_ALGORITHM_IDENTIFIER>(1);
    out.Store(alg, 0, EmitAlgorithmId(out, m));
}

struct AttributeModel {
    std::string oid;
    std::vector<Bytes> values; // whole elements
};

// Attribute ::= SEQUENCE {
//     type    OBJECT IDENTIFIER,
//     values  SET OF AttributeValue }
DWORD ReadAttribute(DerReader& r, AttributeModel& m) {
    Bytes seq, set;
    if (DWORD err = r.Read(tag::kSequence, seq))
        return err;
    DerReader fields(seq);
    if (DWORD err = ReadOid(fields, m.oid))
        return err;
    if (DWORD err = fields.Read(tag::kSet, set))
        return err;
    DerReader values(set);
    while (!values.AtEnd()) {
        BYTE identifier;
        Bytes contents, element;
        if (DWORD err = values.ReadAny(identifier, contents, &element))
            return err;
        m.values.push_back(element);
    }
    return fields.ExpectEnd();
}

CRYPT_ATTRIBUTE EmitAttribute(OutputLayout& out, const AttributeModel& m) {
    CRYPT_ATTRIBUTE attr{};
    attr.pszObjId = out.CopyString(m.oid);
    attr.cValue = DWORD(m.values.size());
    attr.rgValue = out.Reserve<CRYPT_ATTR_BLOB>(m.values.size());
    for (size_t i = 0; i < m.values.size(); ++i)
        out.Store(attr.rgValue, i, out.CopyBlob(m.values[i]));
    return attr;
}

DWORD Parse(Bytes in, AttributeModel& m) {
    DerReader r(in);
    return ReadAttribute(r, m);
}

void Emit(OutputLayout& out, const AttributeModel& m) {
    auto* attr = out.Reserve<CRYPT_ATTRIBUTE>(1);
    out.Store(attr, 0, EmitAttribute(out, m));
}

// Attributes ::= SET OF Attribute (the contents, whatever the tag around them)
DWORD ReadAttributes(Bytes contents, std::vector<AttributeModel>& attrs) {
    DerReader r(contents);
    while (!r.AtEnd()) {
        attrs.emplace_back();
        if (DWORD err = ReadAttribute(r, attrs.back()))
            return err;
    }
    return 0;
}

CRYPT_ATTRIBUTES EmitAttributes(OutputLayout& out, const std::vector<AttributeModel>& attrs) {
    CRYPT_ATTRIBUTES set{DWORD(attrs.size()), out.Reserve<CRYPT_ATTRIBUTE>(attrs.size())};
    for (size_t i = 0; i < attrs.size(); ++i)
        out.Store(set.rgAttr, i, EmitAttribute(out, attrs[i]));
    return set;
}

// --- content info and signer info -------------------------------------------------------

struct ContentInfoModel {
    std::string oid;
    Bytes content; // the element inside [0], or empty when absent
};

// ContentInfo ::= SEQUENCE {
//     contentType  OBJECT IDENTIFIER,
//     content      [0] EXPLICIT ANY DEFINED BY contentType OPTIONAL }
DWORD Parse(Bytes in, ContentInfoModel& m) {
    DerReader r(in);
    Bytes seq;
    if (DWORD err = r.Read(tag::kSequence, seq))
        return err;
    DerReader fields(seq);
    if (DWORD err = ReadOid(fields, m.oid))
        return err;
    if (fields.NextIs(tag::ContextConstructed(0))) {
        Bytes wrapped, contents;
        BYTE identifier;
        if (DWORD err = fields.Read(tag::ContextConstructed(0), wrapped))
            return err;
        DerReader inner(wrapped);
        if (DWORD err = inner.ReadAny(identifier, contents, &m.content))
            return err;
        if (DWORD err = inner.ExpectEnd())
            return err;
    }
    return fields.ExpectEnd();
}

void Emit(OutputLayout& out, const ContentInfoModel& m) {
    auto* info = out.Reserve<CRYPT_CONTENT_INFO>(1);
    CRYPT_CONTENT_INFO value{};
    value.pszObjId = out.CopyString(m.oid);
    value.Content = out.CopyBlob(m.content);
    out.Store(info, 0, value);
}

struct SignerInfoModel {
    DWORD version = 0;
    Bytes issuer;             // the whole Name
    std::vector<BYTE> serial; // least significant byte first
    AlgorithmModel hash, encryption;
    Bytes digest;
    std::vector<AttributeModel> auth, unauth;
};

// SignerInfo ::= SEQUENCE {
//     version                    INTEGER,
//     issuerAndSerialNumber      SEQUENCE { issuer Name, serialNumber INTEGER },
//     digestAlgorithm            AlgorithmIdentifier,
//     authenticatedAttributes    [0] IMPLICIT Attributes OPTIONAL,
//     digestEncryptionAlgorithm  AlgorithmIdentifier,
//     encryptedDigest            OCTET STRING,
//     unauthenticatedAttributes  [1] IMPLICIT Attributes OPTIONAL }
DWORD Parse(Bytes in, SignerInfoModel& m) {
    DerReader r(in);
    Bytes seq, id, name, serial, set;
    if (DWORD err = r.Read(tag::kSequence, seq))
        return err;
    DerReader fields(seq);
    LONG v = 0;
    if (DWORD err = ReadInt32(fields, v))
        return err;
    m.version = DWORD(v);
    if (DWORD err = fields.Read(tag::kSequence, id))
        return err;
    DerReader idFields(id);
    if (DWORD err = idFields.Read(tag::kSequence, name, &m.issuer))
        return err;
    if (DWORD err = idFields.Read(tag::kInteger, serial))
        return err;
    if (serial.empty())
        return DWORD(CRYPT_E_ASN1_CORRUPT);
    m.serial.assign(serial.rbegin(), serial.rend());
    if (DWORD err = idFields.ExpectEnd())
        return err;
    if (DWORD err = ReadAlgorithmId(fields, m.hash))
        return err;
    if (fields.NextIs(tag::ContextConstructed(0))) {
        if (DWORD err = fields.Read(tag::ContextConstructed(0), set))
            return err;
        if (DWORD err = ReadAttributes(set, m.auth))
            return err;
    }
    if (DWORD err = ReadAlgorithmId(fields, m.encryption))
        return err;
    if (DWORD err = fields.Read(tag::kOctetString, m.digest))
        return err;
    if (fields.NextIs(tag::ContextConstructed(1))) {
        if (DWORD err = fields.Read(tag::ContextConstructed(1), set))
            return err;
        if (DWORD err = ReadAttributes(set, m.unauth))
            return err;
    }
    return fields.ExpectEnd();
}

void Emit(OutputLayout& out, const SignerInfoModel& m) {
    auto* signer = out.Reserve<CMSG_SIGNER_INFO>(1);
    CMSG_SIGNER_INFO value{};
    value.dwVersion = m.version;
    value.Issuer = out.CopyBlob(m.issuer);
    value.SerialNumber = out.CopyBlob(m.serial);
    value.HashAlgorithm = EmitAlgorithmId(out, m.hash);
    value.HashEncryptionAlgorithm = EmitAlgorithmId(out, m.encryption);
    value.EncryptedHash = out.CopyBlob(m.digest);
    value.AuthAttrs = EmitAttributes(out, m.auth);
    value.UnauthAttrs = EmitAttributes(out, m.unauth);
    out.Store(signer, 0, value);
}

// --- entry points -----------------------------------------------------------------------

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Decodes with Model's Parse and Emit, then hands the block out as the caller
// asked: its size, a copy into the caller's buffer, or an allocated block.
template <class Model>
BOOL DecodeAs(Bytes in, DWORD dwFlags, PCRYPT_DECODE_PARA pDecodePara, void* pvStructInfo,
              DWORD* pcbStructInfo) {
    Model model;
    if (DWORD err = Parse(in, model))
        return Fail(err);
    OutputLayout measure;
    Emit(measure, model);
    if (measure.Used() > 0xFFFFFFFFu)
        return Fail(DWORD(CRYPT_E_ASN1_LARGE));
    const DWORD size = DWORD(measure.Used());

    const bool allocate = (dwFlags & CRYPT_DECODE_ALLOC_FLAG) != 0;
    BOOL ended = FALSE;
    BYTE* block = ResultBlock(allocate, pDecodePara, pvStructInfo, pcbStructInfo, size, ended);
    if (block == nullptr)
        return ended;
    OutputLayout fill(block, size);
    Emit(fill, model);
    if (fill.Overran()) { // both runs take the same steps; never expected
        if (allocate)
            FreeResult(pDecodePara, block);
        return Fail(DWORD(CRYPT_E_ASN1_INTERNAL));
    }
    if (allocate)
        *static_cast<void**>(pvStructInfo) = block;
    *pcbStructInfo = size;
    return TRUE;
}

BOOL DecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                  DWORD cbEncoded, DWORD dwFlags, PCRYPT_DECODE_PARA pDecodePara,
                  void* pvStructInfo, DWORD* pcbStructInfo) {
    if (pcbStructInfo == nullptr)
        return Fail(kStatusAccessViolation);
    StructType type = KnownEncodingType(dwCertEncodingType) ? IdentifyStructType(lpszStructType)
                                                            : StructType::Unknown;
    if (type == StructType::Unknown)
        return Fail(ERROR_FILE_NOT_FOUND);
    if ((dwFlags & CRYPT_DECODE_ALLOC_FLAG) != 0) {
        if (pvStructInfo == nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        *static_cast<void**>(pvStructInfo) = nullptr;
    }
    if (pbEncoded == nullptr && cbEncoded != 0)
        return Fail(kStatusAccessViolation);
    // CRYPT_DECODE_NOCOPY_FLAG allows pointers into the input but does not
    // require them: the result always holds its own copy.
    const Bytes in(pbEncoded, cbEncoded);
    switch (type) {
    case StructType::AnyString:
        return DecodeAs<NameValueModel>(in, dwFlags, pDecodePara, pvStructInfo, pcbStructInfo);
    case StructType::Bits:
    case StructType::KeyUsage:
        return DecodeAs<BitsModel>(in, dwFlags, pDecodePara, pvStructInfo, pcbStructInfo);
    case StructType::OctetString:
        return DecodeAs<OctetsModel>(in, dwFlags, pDecodePara, pvStructInfo, pcbStructInfo);
    case StructType::Attribute:
        return DecodeAs<AttributeModel>(in, dwFlags, pDecodePara, pvStructInfo, pcbStructInfo);
    case StructType::AlgorithmId:
        return DecodeAs<AlgorithmModel>(in, dwFlags, pDecodePara, pvStructInfo, pcbStructInfo);
    case StructType::ContentInfo:
        return DecodeAs<ContentInfoModel>(in, dwFlags, pDecodePara, pvStructInfo, pcbStructInfo);
    case StructType::SignerInfo:
        return DecodeAs<SignerInfoModel>(in, dwFlags, pDecodePara, pvStructInfo, pcbStructInfo);
    default:
        return Fail(ERROR_FILE_NOT_FOUND);
    }
}

} // namespace

} // namespace orvane::crypt32

extern "C" BOOL WINAPI CryptDecodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                           const BYTE* pbEncoded, DWORD cbEncoded, DWORD dwFlags,
                                           PCRYPT_DECODE_PARA pDecodePara, void* pvStructInfo,
                                           DWORD* pcbStructInfo) {
    try {
        return orvane::crypt32::DecodeObject(dwCertEncodingType, lpszStructType, pbEncoded,
                                             cbEncoded, dwFlags, pDecodePara, pvStructInfo,
                                             pcbStructInfo);
    } catch (const std::exception&) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
}

extern "C" BOOL WINAPI CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                         const BYTE* pbEncoded, DWORD cbEncoded, DWORD dwFlags,
                                         void* pvStructInfo, DWORD* pcbStructInfo) {
    // This form writes into the caller's buffer only; an allocated block would
    // have nowhere to go that the caller sized for it.
    if ((dwFlags & CRYPT_DECODE_ALLOC_FLAG) != 0) {
        SetLastError(DWORD(E_INVALIDARG));
        return FALSE;
    }
    return CryptDecodeObjectEx(dwCertEncodingType, lpszStructType, pbEncoded, cbEncoded, dwFlags,
                               nullptr, pvStructInfo, pcbStructInfo);
}
