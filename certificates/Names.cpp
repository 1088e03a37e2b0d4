#include "certificates/Names.h"

#include "der/Der.h"
#include "foundation/ASN1Engine.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <wincrypt.h>

#include <new>
#include <utility>
#include <vector>

#define TRACE_MODULE "SubjectName"

namespace {

namespace der = orvane::der;

constexpr const char* kOidCountry = "2.5.4.6";
constexpr const char* kOidSerialNumber = "2.5.4.5";
constexpr const char* kOidJurisdictionCountry = "1.3.6.1.4.1.311.60.2.1.3";
constexpr const char* kOidEmail = "1.2.840.113549.1.9.1";

struct AttributeName {
    const char* pszName; // compared without regard to case, after spaces are removed
    const char* pszObjectID;
};

const AttributeName kAttributeNames[] = {
    {"CN", "2.5.4.3"},
    {"SERIALNUMBER", kOidSerialNumber},
    {"C", kOidCountry},
    {"L", "2.5.4.7"},
    {"S", "2.5.4.8"},
    {"ST", "2.5.4.8"},
    {"STREET", "2.5.4.9"},
    {"O", "2.5.4.10"},
    {"OU", "2.5.4.11"},
    {"businessCategory", "2.5.4.15"},
    {"PostalCode", "2.5.4.17"},
    {"E", kOidEmail},
    {"Email", kOidEmail},
    {"jurisdictionOfIncorporationLocalityName", "1.3.6.1.4.1.311.60.2.1.1"},
    {"jurisdictionOfIncorporationStateOrProvinceName", "1.3.6.1.4.1.311.60.2.1.2"},
    {"jurisdictionOfIncorporationCountryName", kOidJurisdictionCountry},
};

bool EqualsIgnoringAsciiCase(const WString& wstr, const char* psz) {
    size_t i = 0;
    for (; i < wstr.size() && psz[i] != 0; ++i) {
        WCHAR a = wstr[i];
        WCHAR b = WCHAR(static_cast<unsigned char>(psz[i]));
        if (a >= 'a' && a <= 'z')
            a = WCHAR(a - 32);
        if (b >= 'a' && b <= 'z')
            b = WCHAR(b - 32);
        if (a != b)
            return false;
    }
    return i == wstr.size() && psz[i] == 0;
}

// The value TLV of one attribute in its string type, through the platform
// encoder, which refuses characters the type does not allow.
HRESULT ComposeAttributeValue(const SubjectPair& pair, std::vector<BYTE>* pValue) {
    const char* op = "ComposeSubjectChild";
    const std::string& oid = pair.strObjectID;
    HRESULT hr;
    const bool bPrintable =
        oid == kOidCountry || oid == kOidSerialNumber || oid == kOidJurisdictionCountry;
    if (bPrintable || oid == kOidEmail) {
        const char* pszWhat = bPrintable ? "CountryName" : "Email";
        std::string strUtf8;
        hr = UTF16ToUTF8(pair.wstrValue.c_str(), &strUtf8);
        if (TRACE_IF(FAILED(hr), op, bPrintable ? "UTF16ToUTF8(CountryName)" : "UTF16ToUTF8(Email)",
                     hr))
            return hr;
        hr = ComposeAnyString(DWORD(strUtf8.size()),
                              bPrintable ? CERT_RDN_PRINTABLE_STRING : CERT_RDN_IA5_STRING,
                              reinterpret_cast<const BYTE*>(strUtf8.c_str()), pValue);
        if (TRACE_IF(FAILED(hr), op,
                     bPrintable ? "ComposeAnyString(CountryName)" : "ComposeAnyString(Email)",
                     hr)) {
            TraceValueA("Refused", pszWhat);
            return hr;
        }
    } else {
        hr = ComposeAnyString(DWORD(pair.wstrValue.size() * sizeof(WCHAR)), CERT_RDN_UTF8_STRING,
                              reinterpret_cast<const BYTE*>(pair.wstrValue.c_str()), pValue);
        if (TRACE_IF(FAILED(hr), op, "ComposeAnyString", hr))
            return hr;
    }
    return VURO_OK;
}

// One RDN holding one attribute.
HRESULT WriteSubjectChild(der::DerWriter& w, const SubjectPair& pair) {
    TraceHelper trace(TEXT("ComposeSubjectChild"));
    std::vector<BYTE> value;
    HRESULT hr = ComposeAttributeValue(pair, &value);
    if (FAILED(hr)) {
        w.Fail(DWORD(hr));
        return hr;
    }
    // RelativeDistinguishedName ::= SET OF AttributeTypeAndValue (one here)
    w.Constructed(der::tag::kSet, [&](der::DerWriter& rdn) {
        hr = orvane::names::WriteSpecialAttribute(rdn, pair.strObjectID.c_str(), value.data(),
                                                  DWORD(value.size()));
    });
    // Traced here; the code goes back either way.
    static_cast<void>(TRACE_IF(FAILED(hr), "ComposeSubjectChild", "ComposeSpecialAttribute", hr));
    return hr;
}

} // namespace

HRESULT SplidWstr(const WString& wstrText, WCHAR wcSeparator, std::vector<WString>* pvPieces) {
    std::vector<WString> vPieces;
    if (!wstrText.empty()) {
        size_t start = 0;
        for (;;) {
            size_t end = wstrText.find(wcSeparator, start);
            vPieces.push_back(
                wstrText.substr(start, end == WString::npos ? WString::npos : end - start));
            if (end == WString::npos)
                break;
            start = end + 1;
        }
    }
    if (pvPieces != nullptr)
        *pvPieces = std::move(vPieces);
    return VURO_OK;
}

WString ReplaceWchar(const WString& wstrText, WCHAR wc) {
    WString out;
    out.reserve(wstrText.size());
    for (WCHAR c : wstrText)
        if (c != wc)
            out.push_back(c);
    return out;
}

std::string GetObjectID(const WString& wstrName) {
    const WString wstrKey = ReplaceWchar(wstrName, WCHAR(' '));
    for (const AttributeName& a : kAttributeNames)
        if (EqualsIgnoringAsciiCase(wstrKey, a.pszName))
            return a.pszObjectID;
    TraceValueW("Unknown attribute name", wstrName.c_str());
    TRACE_FAILED("GetObjectID", "Find attribute", NTE_BAD_DATA, "Unknown attribute name");
    return std::string();
}

HRESULT ParseSubject(const WString& wstrSubject, std::vector<SubjectPair>* pvPairs) {
    TraceHelper trace(TEXT("ParseSubject"));
    std::vector<WString> vPieces;
    // Splitting cannot fail but for memory, which throws; so does the rest.
    static_cast<void>(SplidWstr(wstrSubject, WCHAR(','), &vPieces));
    std::vector<SubjectPair> vPairs;
    vPairs.reserve(vPieces.size());
    for (const WString& wstrPiece : vPieces) {
        std::vector<WString> vParts;
        static_cast<void>(SplidWstr(wstrPiece, WCHAR('='), &vParts));
        if (vParts.size() != 2) {
            TraceValueW("Malformed pair", wstrPiece.c_str());
            TRACE_FAILED("ParseSubject", "SplidWstr-Pair", NTE_BAD_DATA, "2 != vParts.size()");
            return NTE_BAD_DATA;
        }
        vPairs.push_back({GetObjectID(vParts[0]), vParts[1]});
    }
    if (pvPairs != nullptr)
        *pvPairs = std::move(vPairs);
    return VURO_OK;
}

HRESULT EncodeObject(const void* pvStructInfo, LPCSTR lpszStructType, std::vector<BYTE>* pEncoded) {
    TraceHelper trace(TEXT("EncodeObject"));
    if (TRACE_IF(pEncoded == nullptr, "EncodeObject", "Check parameter", E_POINTER))
        return E_POINTER;
    const DWORD dwEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    DWORD cbEncoded = 0;
    if (!CryptEncodeObject(dwEncoding, lpszStructType, pvStructInfo, nullptr, &cbEncoded)) {
        HRESULT hr = HResultFromLastError();
        hr = FAILED(hr) ? hr : E_FAIL;
        TRACE_FAILED("EncodeObject", "CryptEncodeObject - get length", hr, "FALSE == bResult");
        return hr;
    }
    std::vector<BYTE> encoded;
    try {
        encoded.resize(cbEncoded);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (!CryptEncodeObject(dwEncoding, lpszStructType, pvStructInfo, encoded.data(), &cbEncoded)) {
        HRESULT hr = HResultFromLastError();
        hr = FAILED(hr) ? hr : E_FAIL;
        TRACE_FAILED("EncodeObject", "CryptEncodeObject - get value", hr, "FALSE == bResult");
        return hr;
    }
    encoded.resize(cbEncoded);
    *pEncoded = std::move(encoded);
    return VURO_OK;
}

HRESULT ComposeAnyString(DWORD cbValue, DWORD dwValueType, const BYTE* pbValue,
                         std::vector<BYTE>* pEncoded) {
    CERT_NAME_VALUE value{};
    value.dwValueType = dwValueType;
    value.Value.cbData = cbValue;
    value.Value.pbData = const_cast<BYTE*>(pbValue);
    return EncodeObject(&value, X509_ANY_STRING, pEncoded);
}

HRESULT ComposeBITString(DWORD cbData, const BYTE* pbData, std::vector<BYTE>* pEncoded) {
    if ((pbData == nullptr && cbData != 0) || pEncoded == nullptr)
        return E_POINTER;
    return EncodeInto(pEncoded, [&](der::DerWriter& w) {
        orvane::names::WriteBitString(w, der::Bytes(pbData, cbData));
        return VURO_OK;
    });
}

HRESULT ComposeStandardAttribute(const char* pszObjectID, const BYTE* pbValue, DWORD cbValue,
                                 std::vector<BYTE>* pEncoded) {
    CRYPT_ATTR_BLOB blob{};
    blob.cbData = cbValue;
    blob.pbData = const_cast<BYTE*>(pbValue);
    CRYPT_ATTRIBUTE attribute{};
    attribute.pszObjId = const_cast<LPSTR>(pszObjectID);
    attribute.cValue = 1;
    attribute.rgValue = &blob;
    return EncodeObject(&attribute, PKCS_ATTRIBUTE, pEncoded);
}

HRESULT ComposeSpecialAttribute(const char* pszObjectID, const BYTE* pbValue, DWORD cbValue,
                                std::vector<BYTE>* pEncoded) {
    if (pEncoded == nullptr)
        return E_POINTER;
    return EncodeInto(pEncoded, [&](der::DerWriter& w) {
        return orvane::names::WriteSpecialAttribute(w, pszObjectID, pbValue, cbValue);
    });
}

HRESULT ComposeSubjectChild(const SubjectPair& pair, std::vector<BYTE>* pEncoded) {
    if (pEncoded == nullptr)
        return E_POINTER;
    return EncodeInto(pEncoded, [&](der::DerWriter& w) { return WriteSubjectChild(w, pair); });
}

HRESULT ComposeSubject(const WCHAR* pwszSubject, std::vector<BYTE>* pEncoded) {
    if (pwszSubject == nullptr || pEncoded == nullptr)
        return E_POINTER;
    return EncodeInto(pEncoded,
                      [&](der::DerWriter& w) { return orvane::names::WriteName(w, pwszSubject); });
}

namespace orvane::names {

HRESULT WriteSpecialAttribute(der::DerWriter& w, const char* pszObjectID, const BYTE* pbValue,
                              DWORD cbValue) {
    TraceHelper trace(TEXT("ComposeSpecialAttribute"));
    const char* op = "ComposeSpecialAttribute";
    if (pszObjectID == nullptr) {
        w.Fail(DWORD(E_INVALIDARG));
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "NULL == pszObjectID");
    }
    // The identifier is checked first, then the value: one DER element of a
    // tag ASN1Encode takes (the forms a value has always been allowed), which
    // is written again in minimal form.
    der::DerWriter oid;
    der::WriteOid(oid, pszObjectID);
    if (TRACE_IF(oid.Error() != 0, op, "ASN1Encode-ObjectID", HRESULT(oid.Error()))) {
        w.Fail(oid.Error());
        return HRESULT(oid.Error());
    }
    BYTE bTag = 0;
    der::Bytes contents;
    if (pbValue != nullptr) {
        der::DerReader r(der::Bytes(pbValue, cbValue));
        if (r.ReadAny(bTag, contents) != 0 || !r.AtEnd() || !ASN1EncodeTakesTag(bTag) ||
            contents.empty()) {
            w.Fail(DWORD(E_FAIL));
            return TRACE_FAIL(op, "ASN1Encode-AnyString", E_FAIL,
                              "value is not one element of an encodable tag with content");
        }
    }
    // AttributeTypeAndValue ::= SEQUENCE { type OBJECT IDENTIFIER, value ANY }
    // or, without a value,
    // AlgorithmIdentifier ::= SEQUENCE { algorithm OBJECT IDENTIFIER, parameters NULL }
    w.Constructed(der::tag::kSequence, [&](der::DerWriter& seq) {
        seq.Raw(oid.Encoding());
        if (pbValue == nullptr)
            seq.Element(der::tag::kNull, {});
        else
            seq.Element(bTag, contents);
    });
    if (TRACE_IF(w.Error() != 0, op, "ASN1Encode-Sequence", HRESULT(w.Error())))
        return HRESULT(w.Error());
    return VURO_OK;
}

HRESULT WriteName(der::DerWriter& w, const WCHAR* pwszSubject) {
    TraceHelper trace(TEXT("ComposeSubject"));
    const char* op = "ComposeSubject";
    if (pwszSubject == nullptr) {
        w.Fail(DWORD(E_POINTER));
        return E_POINTER;
    }
    TraceValueW("Subject", pwszSubject);
    std::vector<SubjectPair> vPairs;
    HRESULT hr = ParseSubject(pwszSubject, &vPairs);
    if (TRACE_IF(FAILED(hr), op, "ParseSubject", hr)) {
        w.Fail(DWORD(hr));
        return hr;
    }
    // A Name without attributes has never been written: an empty subject is
    // refused as the empty SEQUENCE always was.
    if (vPairs.empty()) {
        w.Fail(DWORD(E_FAIL));
        return TRACE_FAIL(op, "ASN1Encode-Name", E_FAIL, "vPairs.empty()");
    }
    // Name ::= SEQUENCE OF RelativeDistinguishedName, in the reverse of the
    // text's order (the text names the most specific attribute first).
    w.Constructed(der::tag::kSequence, [&](der::DerWriter& name) {
        for (auto it = vPairs.rbegin(); it != vPairs.rend() && SUCCEEDED(hr); ++it)
            hr = WriteSubjectChild(name, *it);
    });
    if (TRACE_IF(FAILED(hr), op, "ComposeSubjectChild", hr))
        return hr;
    return VURO_OK;
}

void WriteBitString(der::DerWriter& w, std::span<const BYTE> bits) {
    // BIT STRING: the count of unused bits in the last octet (none), then the bits.
    w.Constructed(der::tag::kBitString, [&](der::DerWriter& b) {
        static constexpr BYTE kNoUnusedBits[] = {0x00};
        b.Raw(kNoUnusedBits);
        b.Raw(bits);
    });
}

} // namespace orvane::names
