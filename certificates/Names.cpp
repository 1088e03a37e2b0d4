#include "certificates/Names.h"

#include "foundation/ASN1Engine.h"
#include "foundation/Misc.h"
#include "foundation/Trace.h"

#include <wincrypt.h>

#include <cstring>
#include <memory>
#include <new>

#define TRACE_MODULE "SubjectName"

namespace {

using Bytes = std::unique_ptr<BYTE[]>;

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

// Concatenates the given byte ranges into one new[] array.
HRESULT Concatenate(const std::vector<std::pair<const BYTE*, DWORD>>& parts, Bytes& out,
                    DWORD& cbOut) {
    ULONGLONG cbTotal = 0;
    for (const auto& part : parts)
        cbTotal += part.second;
    if (cbTotal > 0xFFFFFFFFull)
        return E_FAIL;
    out.reset(new (std::nothrow) BYTE[cbTotal ? size_t(cbTotal) : 1]);
    if (!out)
        return E_OUTOFMEMORY;
    size_t pos = 0;
    for (const auto& part : parts) {
        if (part.second != 0)
            std::memcpy(out.get() + pos, part.first, part.second);
        pos += part.second;
    }
    cbOut = DWORD(cbTotal);
    return VURO_OK;
}

void HandOut(Bytes& bytes, DWORD cb, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    *ppbEncoded = bytes.release();
    *pcbEncoded = cb;
}

// ASN1Encode into an owned buffer, tracing a failure under the given step.
HRESULT Tlv(const char* pszOperation, const char* pszStep, DWORD dwTag, const BYTE* pbContent,
            DWORD cbContent, Bytes& out, DWORD& cbOut) {
    BYTE* pbRaw = nullptr;
    HRESULT hr = ASN1Encode(dwTag, pbContent, cbContent, &pbRaw, &cbOut);
    out.reset(pbRaw);
    if (FAILED(hr))
        TRACE_FAILED(pszOperation, pszStep, hr, "FAILED(hResult)");
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
    SplidWstr(wstrSubject, WCHAR(','), &vPieces);
    std::vector<SubjectPair> vPairs;
    vPairs.reserve(vPieces.size());
    for (const WString& wstrPiece : vPieces) {
        std::vector<WString> vParts;
        SplidWstr(wstrPiece, WCHAR('='), &vParts);
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

HRESULT EncodeObject(const void* pvStructInfo, LPCSTR lpszStructType, DWORD* pcbEncoded,
                     BYTE** ppbEncoded) {
    TraceHelper trace(TEXT("EncodeObject"));
    const DWORD dwEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    DWORD cbEncoded = 0;
    if (!CryptEncodeObject(dwEncoding, lpszStructType, pvStructInfo, nullptr, &cbEncoded)) {
        HRESULT hr = HResultFromLastError();
        hr = FAILED(hr) ? hr : E_FAIL;
        TRACE_FAILED("EncodeObject", "CryptEncodeObject - get length", hr, "FALSE == bResult");
        return hr;
    }
    Bytes pbEncoded(new (std::nothrow) BYTE[cbEncoded ? cbEncoded : 1]());
    if (!pbEncoded)
        return E_OUTOFMEMORY;
    if (!CryptEncodeObject(dwEncoding, lpszStructType, pvStructInfo, pbEncoded.get(), &cbEncoded)) {
        HRESULT hr = HResultFromLastError();
        hr = FAILED(hr) ? hr : E_FAIL;
        TRACE_FAILED("EncodeObject", "CryptEncodeObject - get value", hr, "FALSE == bResult");
        return hr;
    }
    HandOut(pbEncoded, cbEncoded, ppbEncoded, pcbEncoded);
    return VURO_OK;
}

HRESULT ComposeAnyString(DWORD cbValue, DWORD dwValueType, const BYTE* pbValue, BYTE** ppbEncoded,
                         DWORD* pcbEncoded) {
    CERT_NAME_VALUE value{};
    value.dwValueType = dwValueType;
    value.Value.cbData = cbValue;
    value.Value.pbData = const_cast<BYTE*>(pbValue);
    return EncodeObject(&value, X509_ANY_STRING, pcbEncoded, ppbEncoded);
}

HRESULT ComposeBITString(DWORD cbData, const BYTE* pbData, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    CRYPT_BIT_BLOB bits{};
    bits.cbData = cbData;
    bits.pbData = const_cast<BYTE*>(pbData);
    bits.cUnusedBits = 0;
    return EncodeObject(&bits, X509_BITS, pcbEncoded, ppbEncoded);
}

HRESULT ComposeStandardAttribute(const char* pszObjectID, const BYTE* pbValue, DWORD cbValue,
                                 BYTE** ppbEncoded, DWORD* pcbEncoded) {
    CRYPT_ATTR_BLOB blob{};
    blob.cbData = cbValue;
    blob.pbData = const_cast<BYTE*>(pbValue);
    CRYPT_ATTRIBUTE attribute{};
    attribute.pszObjId = const_cast<LPSTR>(pszObjectID);
    attribute.cValue = 1;
    attribute.rgValue = &blob;
    return EncodeObject(&attribute, PKCS_ATTRIBUTE, pcbEncoded, ppbEncoded);
}

HRESULT ComposeSpecialAttribute(const char* pszObjectID, const BYTE* pbValue, DWORD cbValue,
                                BYTE** ppbEncoded, DWORD* pcbEncoded) {
    TraceHelper trace(TEXT("ComposeSpecialAttribute"));
    const char* op = "ComposeSpecialAttribute";
    // The platform encoder builds Attribute ::= SEQUENCE { type OID, values SET };
    // its parts are taken from there so the OID is encoded in one place.
    CRYPT_ATTR_BLOB blob{};
    blob.cbData = cbValue;
    blob.pbData = const_cast<BYTE*>(pbValue);
    CRYPT_ATTRIBUTE attribute{};
    attribute.pszObjId = const_cast<LPSTR>(pszObjectID);
    attribute.cValue = pbValue != nullptr ? 1 : 0;
    attribute.rgValue = pbValue != nullptr ? &blob : nullptr;
    BYTE* pbRaw = nullptr;
    DWORD cbAttribute = 0;
    HRESULT hr = EncodeObject(&attribute, PKCS_ATTRIBUTE, &cbAttribute, &pbRaw);
    Bytes pbAttribute(pbRaw);
    if (FAILED(hr)) {
        TRACE_FAILED(op, "EncodeObject(PKCS_ATTRIBUTE)", hr, "FAILED(hResult)");
        return hr;
    }
    if (pbValue == nullptr) {
        // AlgorithmIdentifier ::= SEQUENCE { algorithm OID, parameters NULL }:
        // the empty SET that ends the attribute becomes NULL in place.
        if (cbAttribute < 2 || pbAttribute[cbAttribute - 2] != 0x31 ||
            pbAttribute[cbAttribute - 1] != 0x00) {
            TRACE_FAILED(op, "Check empty SET", E_FAIL, "31 00 != tail");
            return E_FAIL;
        }
        pbAttribute[cbAttribute - 2] = 0x05;
        HandOut(pbAttribute, cbAttribute, ppbEncoded, pcbEncoded);
        return VURO_OK;
    }

    std::unique_ptr<ASN1Node> pRoot;
    int nResult = DecodeASN1Memory(&pRoot, pbAttribute.get(), cbAttribute);
    if (nResult != 0 || !pRoot || pRoot->vChildren.size() < 2 ||
        pRoot->vChildren[1]->vChildren.empty()) {
        TRACE_FAILED(op, "DecodeASN1Memory", E_FAIL, "0 != nResult");
        return E_FAIL;
    }
    const ASN1Node& oid = *pRoot->vChildren[0];
    const ASN1Node& value = *pRoot->vChildren[1]->vChildren[0];
    Bytes pbOid, pbValueTlv, pbContent, pbSequence;
    DWORD cbOid = 0, cbValueTlv = 0, cbContent = 0, cbSequence = 0;
    if (FAILED(hr = Tlv(op, "ASN1Encode-ObjectID", oid.bTag,
                        pbAttribute.get() + oid.ullContentOffset, oid.dwValueLength, pbOid, cbOid)))
        return hr;
    if (FAILED(hr = Tlv(op, "ASN1Encode-AnyString", value.bTag,
                        pbAttribute.get() + value.ullContentOffset, value.dwValueLength, pbValueTlv,
                        cbValueTlv)))
        return hr;
    if (FAILED(hr = Concatenate({{pbOid.get(), cbOid}, {pbValueTlv.get(), cbValueTlv}}, pbContent,
                                cbContent)))
        return hr;
    // AttributeTypeAndValue ::= SEQUENCE { type OID, value ANY }
    if (FAILED(hr = Tlv(op, "ASN1Encode-Sequence", 0x30, pbContent.get(), cbContent, pbSequence,
                        cbSequence)))
        return hr;
    HandOut(pbSequence, cbSequence, ppbEncoded, pcbEncoded);
    return VURO_OK;
}

HRESULT ComposeSubjectChild(const SubjectPair& pair, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    TraceHelper trace(TEXT("ComposeSubjectChild"));
    const char* op = "ComposeSubjectChild";
    const std::string& oid = pair.strObjectID;
    HRESULT hr;
    BYTE* pbValueRaw = nullptr;
    DWORD cbValue = 0;
    const bool bPrintable =
        oid == kOidCountry || oid == kOidSerialNumber || oid == kOidJurisdictionCountry;
    if (bPrintable || oid == kOidEmail) {
        const char* pszWhat = bPrintable ? "CountryName" : "Email";
        char* pszUtf8Raw = nullptr;
        int cchUtf8 = 0;
        hr = UTF16ToUTF8(pair.wstrValue.c_str(), &pszUtf8Raw, &cchUtf8);
        std::unique_ptr<char[]> pszUtf8(pszUtf8Raw);
        if (FAILED(hr)) {
            TRACE_FAILED(op, bPrintable ? "UTF16ToUTF8(CountryName)" : "UTF16ToUTF8(Email)", hr,
                         "FAILED(hResult)");
            return hr;
        }
        hr = ComposeAnyString(DWORD(cchUtf8),
                              bPrintable ? CERT_RDN_PRINTABLE_STRING : CERT_RDN_IA5_STRING,
                              reinterpret_cast<const BYTE*>(pszUtf8.get()), &pbValueRaw, &cbValue);
        if (FAILED(hr)) {
            TraceValueA("Refused", pszWhat);
            TRACE_FAILED(op,
                         bPrintable ? "ComposeAnyString(CountryName)" : "ComposeAnyString(Email)",
                         hr, "FAILED(hResult)");
            return hr;
        }
    } else {
        hr = ComposeAnyString(DWORD(pair.wstrValue.size() * sizeof(WCHAR)), CERT_RDN_UTF8_STRING,
                              reinterpret_cast<const BYTE*>(pair.wstrValue.c_str()), &pbValueRaw,
                              &cbValue);
        if (FAILED(hr)) {
            TRACE_FAILED(op, "ComposeAnyString", hr, "FAILED(hResult)");
            return hr;
        }
    }
    Bytes pbValue(pbValueRaw);
    BYTE* pbPairRaw = nullptr;
    DWORD cbPair = 0;
    hr = ComposeSpecialAttribute(oid.c_str(), pbValue.get(), cbValue, &pbPairRaw, &cbPair);
    Bytes pbPair(pbPairRaw);
    if (FAILED(hr)) {
        TRACE_FAILED(op, "ComposeSpecialAttribute", hr, "FAILED(hResult)");
        return hr;
    }
    // RelativeDistinguishedName ::= SET OF AttributeTypeAndValue (one here)
    Bytes pbSet;
    DWORD cbSet = 0;
    if (FAILED(hr = Tlv(op, "ASN1Encode-Set", 0x31, pbPair.get(), cbPair, pbSet, cbSet)))
        return hr;
    HandOut(pbSet, cbSet, ppbEncoded, pcbEncoded);
    return VURO_OK;
}

HRESULT ComposeSubject(const WCHAR* pwszSubject, BYTE** ppbEncoded, DWORD* pcbEncoded) {
    TraceHelper trace(TEXT("ComposeSubject"));
    const char* op = "ComposeSubject";
    if (pwszSubject == nullptr || ppbEncoded == nullptr || pcbEncoded == nullptr)
        return E_POINTER;
    TraceValueW("Subject", pwszSubject);
    std::vector<SubjectPair> vPairs;
    HRESULT hr = ParseSubject(pwszSubject, &vPairs);
    if (FAILED(hr)) {
        TRACE_FAILED(op, "ParseSubject", hr, "FAILED(hResult)");
        return hr;
    }
    // Name ::= SEQUENCE OF RelativeDistinguishedName, in the reverse of the
    // text's order (the text names the most specific attribute first).
    std::vector<Bytes> vRdns;
    std::vector<std::pair<const BYTE*, DWORD>> vParts;
    for (auto it = vPairs.rbegin(); it != vPairs.rend(); ++it) {
        BYTE* pbRdnRaw = nullptr;
        DWORD cbRdn = 0;
        hr = ComposeSubjectChild(*it, &pbRdnRaw, &cbRdn);
        if (FAILED(hr)) {
            TRACE_FAILED(op, "ComposeSubjectChild", hr, "FAILED(hResult)");
            return hr;
        }
        vRdns.emplace_back(pbRdnRaw);
        vParts.emplace_back(pbRdnRaw, cbRdn);
    }
    Bytes pbContent;
    DWORD cbContent = 0;
    hr = Concatenate(vParts, pbContent, cbContent);
    if (FAILED(hr))
        return hr;
    Bytes pbName;
    DWORD cbName = 0;
    if (FAILED(hr = Tlv(op, "ASN1Encode-Name", 0x30, pbContent.get(), cbContent, pbName, cbName)))
        return hr;
    HandOut(pbName, cbName, ppbEncoded, pcbEncoded);
    return VURO_OK;
}
