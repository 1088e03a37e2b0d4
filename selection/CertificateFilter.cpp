#include "selection/CertificateFilter.h"

#include "certificates/CertificateQueries.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_set>

#define TRACE_MODULE "CertificateFilter"

namespace {

using WStringView = std::basic_string_view<WCHAR>;

// The longest filter alternative kept; longer ones are cut.
constexpr size_t kMaxFilterChars = 255;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

int HexValue(WCHAR ch) {
    if (ch >= TEXT('0') && ch <= TEXT('9'))
        return ch - TEXT('0');
    if (ch >= TEXT('a') && ch <= TEXT('f'))
        return ch - TEXT('a') + 10;
    if (ch >= TEXT('A') && ch <= TEXT('F'))
        return ch - TEXT('A') + 10;
    return -1;
}

bool IsEmptyText(LPCWSTR pwsz) {
    return pwsz == nullptr || pwsz[0] == 0;
}

// The alternatives test of checks 1 and 2: some alternative is empty, or
// occurs in the text ignoring case.
bool AnyOccursIn(const WCHAR* pwszText, const TextList& vtrAlternatives) {
    return std::any_of(vtrAlternatives.begin(), vtrAlternatives.end(), [&](const WString& alt) {
        return alt.empty() || StrStrIW(pwszText, alt.c_str()) != nullptr;
    });
}

// Checks 6 and 7 share everything but the field read and the order its
// text is written in: the certificate's bytes must be those of the
// hexadecimal text pwszHex (ConvertStringToBinaryData's order, last pair
// first), in reverse when fReversed.
template <class Read>
HRESULT CheckFieldBytes(const char* pszOperation, PCCERT_CONTEXT pCertContext, LPCWSTR pwszHex,
                        const char* pszReadStep, Read read, bool fReversed,
                        const char* pszDiffers) {
    if (TRACE_IF(pCertContext == nullptr, pszOperation, "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    if (IsEmptyText(pwszHex))
        return VURO_OK;
    std::vector<BYTE> wanted;
    HRESULT hResult = ConvertStringToBinaryData(pwszHex, &wanted);
    if (TRACE_IF(FAILED(hResult), pszOperation, "ConvertStringToBinaryData", hResult))
        return hResult;
    std::vector<BYTE> actual;
    hResult = read(pCertContext, &actual);
    if (TRACE_IF(FAILED(hResult), pszOperation, pszReadStep, hResult))
        return hResult;
    if (fReversed)
        std::reverse(wanted.begin(), wanted.end());
    if (actual != wanted)
        return TRACE_FAIL(pszOperation, "Compare", E_FAIL, pszDiffers);
    return VURO_OK;
}

// Checks 1 and 2 share everything but the name read.
HRESULT CheckName(const char* pszOperation, PCCERT_CONTEXT pCertContext, const TextList& vtrFilters,
                  bool fIssuer) {
    if (pCertContext == nullptr)
        return TRACE_FAIL(pszOperation, "Check parameter", E_INVALIDARG, "pCertContext == NULL");
    if (vtrFilters.empty())
        return VURO_OK;
    // An empty alternative admits everything: no need to read the name.
    if (std::any_of(vtrFilters.begin(), vtrFilters.end(),
                    [](const WString& alt) { return alt.empty(); }))
        return VURO_OK;
    WString wstrName;
    const HRESULT hResult = fIssuer ? GetCertIssuer(pCertContext, &wstrName)
                                    : GetCertSubject(CERT_X500_NAME_STR, pCertContext, &wstrName);
    if (TRACE_IF(FAILED(hResult), pszOperation, fIssuer ? "GetCertIssuer" : "GetCertSubject",
                 hResult))
        return hResult;
    if (!AnyOccursIn(wstrName.c_str(), vtrFilters))
        return TRACE_FAIL(pszOperation, "StrStrIW", E_FAIL, "no alternative in the name");
    return VURO_OK;
}

} // namespace

HRESULT ParseFilters(LPCWSTR pwszText, TextList& vtrFilters) {
    if (pwszText == nullptr)
        return VURO_OK;
    try {
        WStringView rest(pwszText);
        for (;;) {
            const size_t cut = rest.find(TEXT('#'));
            const WStringView piece = rest.substr(0, cut);
            vtrFilters.emplace_back(piece.substr(0, kMaxFilterChars));
            if (cut == WStringView::npos)
                break;
            rest.remove_prefix(cut + 1);
        }
    } catch (const std::bad_alloc&) {
        vtrFilters.clear();
        return TRACE_FAIL("ParseFilters", "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
    return VURO_OK;
}

HRESULT SplitStrings(LPCWSTR pwszText, TextList& vtrStrings) {
    if (pwszText == nullptr)
        return VURO_OK;
    try {
        constexpr WStringView kSeparator = TEXT("||");
        WStringView rest(pwszText);
        for (;;) {
            const size_t cut = rest.find(kSeparator);
            const WStringView piece = rest.substr(0, cut);
            if (piece.empty())
                break;
            vtrStrings.emplace_back(piece);
            if (cut == WStringView::npos)
                break;
            rest.remove_prefix(cut + kSeparator.size());
        }
    } catch (const std::bad_alloc&) {
        vtrStrings.clear();
        return TRACE_FAIL("SplitStrings", "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
    return VURO_OK;
}

HRESULT DistinctProviderNames(TextList& vtrNames) {
    try {
        // Each name's letters A-Z lowered: one key per provider. A hash set
        // keeps a list of one name given thousands of times linear.
        std::unordered_set<WString> seen;
        WString key;
        size_t nKept = 0;
        for (size_t i = 0; i < vtrNames.size(); ++i) {
            key = vtrNames[i];
            std::transform(key.begin(), key.end(), key.begin(), LowerAscii);
            if (!seen.insert(key).second)
                continue;
            if (nKept != i)
                vtrNames[nKept] = std::move(vtrNames[i]);
            ++nKept;
        }
        vtrNames.erase(vtrNames.begin() + std::ptrdiff_t(nKept), vtrNames.end());
    } catch (const std::bad_alloc&) {
        vtrNames.clear();
        return TRACE_FAIL("DistinctProviderNames", "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
    return VURO_OK;
}

HRESULT ConvertStringToBinaryData(LPCWSTR pwszHex, std::vector<BYTE>* pData) {
    if (TRACE_IF(pData == nullptr, "ConvertStringToBinaryData", "Check parameter", E_POINTER))
        return E_POINTER;
    if (TRACE_IF(pwszHex == nullptr, "ConvertStringToBinaryData", "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    const WStringView hex(pwszHex);
    if (hex.size() % 2 != 0 || hex.size() / 2 > 0xFFFFFFFFu)
        return TRACE_FAIL("ConvertStringToBinaryData", "Check parameter", E_INVALIDARG,
                          "odd number of digits");
    if (std::any_of(hex.begin(), hex.end(), [](WCHAR ch) { return HexValue(ch) < 0; }))
        return TRACE_FAIL("ConvertStringToBinaryData", "Check parameter", E_INVALIDARG,
                          "not a hexadecimal digit");
    const size_t cbData = hex.size() / 2;
    std::vector<BYTE> data;
    try {
        data.resize(cbData);
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL("ConvertStringToBinaryData", "New memory", E_OUTOFMEMORY,
                          "std::bad_alloc");
    }
    // Byte i is the i-th pair counted from the end.
    for (size_t i = 0; i < cbData; ++i) {
        const size_t pos = hex.size() - 2 * (i + 1);
        data[i] = BYTE(HexValue(hex[pos]) << 4 | HexValue(hex[pos + 1]));
    }
    *pData = std::move(data);
    return VURO_OK;
}

HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCertContext, const TextList& vtrFilters) {
    return CheckName("CheckCertSubjectName", pCertContext, vtrFilters, false);
}

HRESULT CheckCertIssuer(PCCERT_CONTEXT pCertContext, const TextList& vtrFilters) {
    return CheckName("CheckCertIssuer", pCertContext, vtrFilters, true);
}

HRESULT CheckCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD dwKeyUsage) {
    if (pCertContext == nullptr)
        return TRACE_FAIL("CheckCertKeyUsage", "Check parameter", E_INVALIDARG,
                          "pCertContext == NULL");
    if (dwKeyUsage == 0)
        return VURO_OK;
    BYTE byUsage = 0;
    const HRESULT hResult = GetCertKeyUsage(pCertContext, &byUsage);
    if (TRACE_IF(FAILED(hResult), "CheckCertKeyUsage", "GetCertKeyUsage", hResult))
        return hResult;
    if ((byUsage & dwKeyUsage) == 0)
        return TRACE_FAIL("CheckCertKeyUsage", "Compare", VURO_E_INVALID_CERT_USAGE,
                          "(byUsage & dwKeyUsage) == 0");
    return VURO_OK;
}

HRESULT CheckCertSubjectKeyID(PCCERT_CONTEXT pCertContext, LPCWSTR pwszSubjectKeyID) {
    // The identifier is an octet string, read and displayed first octet first;
    // the converted text holds its last pair first.
    return CheckFieldBytes("CheckCertSubjectKeyID", pCertContext, pwszSubjectKeyID,
                           "GetCertSubjectKeyID", GetCertSubjectKeyID, true,
                           "key identifiers differ");
}

HRESULT CheckCertSerialNumber(PCCERT_CONTEXT pCertContext, LPCWSTR pwszSerialNumber) {
    return CheckFieldBytes("CheckCertSerialNumber", pCertContext, pwszSerialNumber,
                           "GetCertSerialNumber", GetCertSerialNumber, false,
                           "serial numbers differ");
}

HRESULT CheckCertTimeValidity(PCCERT_CONTEXT pCertContext, const FILETIME* pftTime) {
    if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr)
        return TRACE_FAIL("CheckCertTimeValidity", "Check parameter", E_INVALIDARG,
                          "pCertContext == NULL");
    if (pftTime == nullptr)
        return VURO_OK;
    FILETIME ftTime = *pftTime;
    if (CertVerifyTimeValidity(&ftTime, pCertContext->pCertInfo) != 0)
        return TRACE_FAIL("CheckCertTimeValidity", "CertVerifyTimeValidity", E_FAIL,
                          "outside the validity period");
    return VURO_OK;
}

HRESULT CheckCertSignatureAlg(PCCERT_CONTEXT pCertContext, LPCSTR pszPrefix) {
    if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr)
        return TRACE_FAIL("CheckCertSignatureAlg", "Check parameter", E_INVALIDARG,
                          "pCertContext == NULL");
    if (pszPrefix == nullptr)
        return VURO_OK;
    const char* pszOid = pCertContext->pCertInfo->SignatureAlgorithm.pszObjId;
    if (pszOid == nullptr || std::strncmp(pszOid, pszPrefix, std::strlen(pszPrefix)) != 0)
        return TRACE_FAIL("CheckCertSignatureAlg", "Compare", E_FAIL, "another algorithm");
    return VURO_OK;
}

HRESULT CheckCSPName(PCCERT_CONTEXT pCertContext, const TextList& vtrCSPNames) {
    if (pCertContext == nullptr)
        return TRACE_FAIL("CheckCSPName", "Check parameter", E_INVALIDARG, "pCertContext == NULL");
    if (vtrCSPNames.empty())
        return VURO_OK;
    std::vector<BYTE> provInfo;
    const HRESULT hResult = GetCertificateContextProperty(pCertContext, &provInfo);
    if (TRACE_IF(FAILED(hResult), "CheckCSPName", "GetCertificateContextProperty", hResult))
        return hResult;
    const auto* pProvInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(provInfo.data());
    if (TRACE_IF(provInfo.size() < sizeof(CRYPT_KEY_PROV_INFO) ||
                     pProvInfo->pwszProvName == nullptr,
                 "CheckCSPName", "GetCertificateContextProperty", CRYPT_E_NOT_FOUND))
        return CRYPT_E_NOT_FOUND;
    const WCHAR* pwszProvName = pProvInfo->pwszProvName;
    const bool fListed =
        std::any_of(vtrCSPNames.begin(), vtrCSPNames.end(), [&](const WString& name) {
            return StrStrIW(pwszProvName, name.c_str()) != nullptr;
        });
    if (!fListed)
        return TRACE_FAIL("CheckCSPName", "StrStrIW", E_FAIL, "provider not listed");
    return VURO_OK;
}

HRESULT CheckCertPrivateKey(PCCERT_CONTEXT pCertContext, BOOL fPrivateKey) {
    if (pCertContext == nullptr)
        return TRACE_FAIL("CheckCertPrivateKey", "Check parameter", E_INVALIDARG,
                          "pCertContext == NULL");
    if (fPrivateKey != 1)
        return VURO_OK;
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hKey = 0;
    DWORD dwKeySpec = 0;
    BOOL fCallerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, &hKey, &dwKeySpec,
                                           &fCallerFree))
        return FAIL_LAST_ERROR("CheckCertPrivateKey", "CryptAcquireCertificatePrivateKey",
                               "bResult == FALSE");
    // Without CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG the handle is a CryptoAPI one.
    UniqueProvider released(fCallerFree ? static_cast<HCRYPTPROV>(hKey) : 0);
    return VURO_OK;
}

HRESULT PrepareFilter(PCCERTIFICATE_FILTER pFilter, FilterConditions* pConditions) {
    if (pConditions == nullptr)
        return TRACE_FAIL("PrepareFilter", "Check parameter", E_POINTER, "NULL == pConditions");
    FilterConditions conditions;
    if (pFilter != nullptr)
        conditions.stFilter = *pFilter;
    HRESULT hResult = ParseFilters(conditions.stFilter.pwszSubjectDN, conditions.vtrSubjects);
    if (SUCCEEDED(hResult))
        hResult = ParseFilters(conditions.stFilter.pwszIssuerDN, conditions.vtrIssuers);
    if (SUCCEEDED(hResult))
        hResult = SplitStrings(conditions.stFilter.pwszCSPName, conditions.vtrCSPNames);
    if (SUCCEEDED(hResult))
        hResult = DistinctProviderNames(conditions.vtrCSPNames);
    if (FAILED(hResult))
        return hResult;
    *pConditions = std::move(conditions);
    return VURO_OK;
}

HRESULT CheckCertificateFields(PCCERT_CONTEXT pCertContext, const FilterConditions& conditions) {
    const CERTIFICATE_FILTER& filter = conditions.stFilter;
    HRESULT hResult = CheckCertSubjectName(pCertContext, conditions.vtrSubjects);
    if (SUCCEEDED(hResult))
        hResult = CheckCertIssuer(pCertContext, conditions.vtrIssuers);
    if (SUCCEEDED(hResult))
        hResult = CheckCertKeyUsage(pCertContext, filter.dwKeyUsage);
    if (SUCCEEDED(hResult))
        hResult = CheckCertSubjectKeyID(pCertContext, filter.pwszSubjectKeyID);
    if (SUCCEEDED(hResult))
        hResult = CheckCertSerialNumber(pCertContext, filter.pwszSerialNumber);
    if (SUCCEEDED(hResult))
        hResult = CheckCertTimeValidity(pCertContext, filter.pftTime);
    if (SUCCEEDED(hResult))
        hResult = CheckCertSignatureAlg(pCertContext, filter.pszSignatureAlg);
    return hResult;
}

HRESULT CheckCertificateKey(PCCERT_CONTEXT pCertContext, const FilterConditions& conditions) {
    HRESULT hResult = CheckCSPName(pCertContext, conditions.vtrCSPNames);
    if (SUCCEEDED(hResult))
        hResult = CheckCertPrivateKey(pCertContext, conditions.stFilter.fPrivateKey);
    return hResult;
}

HRESULT FilterCertificates(PCCERTIFICATE_FILTER pFilter, CertificateList& vtrOut,
                           const CertificateList& vtrIn) {
    TraceHelper trace(TEXT("FilterCertificates"));
    FilterConditions conditions;
    HRESULT hResult = PrepareFilter(pFilter, &conditions);
    if (FAILED(hResult)) {
        vtrOut.clear();
        return TRACE_FAIL("FilterCertificates", "PrepareFilter", hResult, "FAILED(hResult)");
    }
    try {
        for (const UniqueCertContext& cert : vtrIn) {
            // A certificate that fails a check is left out; why is traced.
            if (FAILED(CheckCertificateFields(cert.get(), conditions)) ||
                FAILED(CheckCertificateKey(cert.get(), conditions)))
                continue;
            UniqueCertContext copy(CertDuplicateCertificateContext(cert.get()));
            if (!copy) {
                vtrOut.clear();
                return FAIL_LAST_ERROR("FilterCertificates", "CertDuplicateCertificateContext",
                                       "NULL == pCopy");
            }
            vtrOut.push_back(std::move(copy));
        }
    } catch (const std::bad_alloc&) {
        vtrOut.clear();
        return TRACE_FAIL("FilterCertificates", "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
    TRACE_OK("FilterCertificates", "CheckCertificate");
    return VURO_OK;
}

HRESULT ExtractCertificatesFromStore(HCERTSTORE hCertStore, CertificateList& vtrOut) {
    TraceHelper trace(TEXT("ExtractCertificatesFromStore"));
    if (hCertStore == nullptr) {
        vtrOut.clear();
        return TRACE_FAIL("ExtractCertificatesFromStore", "Check parameter", E_INVALIDARG,
                          "hCertStore == NULL");
    }
    PCCERT_CONTEXT pCert = nullptr;
    try {
        while ((pCert = CertEnumCertificatesInStore(hCertStore, pCert)) != nullptr) {
            UniqueCertContext copy(CertDuplicateCertificateContext(pCert));
            vtrOut.push_back(std::move(copy));
        }
    } catch (const std::bad_alloc&) {
        CertFreeCertificateContext(pCert); // the enumeration's own reference
        vtrOut.clear();
        return TRACE_FAIL("ExtractCertificatesFromStore", "New memory", E_OUTOFMEMORY,
                          "std::bad_alloc");
    }
    TRACE_OK("ExtractCertificatesFromStore", "CertEnumCertificatesInStore");
    return VURO_OK;
}

HRESULT ExtractCertificatesFromLocalStore(CertificateList& vtrOut) {
    TraceHelper trace(TEXT("ExtractCertificatesFromLocalStore"));
    UniqueStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                                    CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                                    TEXT("MY")));
    if (!store) {
        vtrOut.clear();
        return FAIL_LAST_ERROR("ExtractCertificatesFromLocalStore", "CertOpenStore",
                               "hCertStore == NULL");
    }
    return ExtractCertificatesFromStore(store.get(), vtrOut);
}

HRESULT FilterCertificatesfromLocalStore(PCCERTIFICATE_FILTER pFilter, CertificateList& vtrOut) {
    TraceHelper trace(TEXT("FilterCertificatesfromLocalStore"));
    CertificateList vtrAll;
    HRESULT hResult = ExtractCertificatesFromLocalStore(vtrAll);
    if (SUCCEEDED(hResult))
        hResult = FilterCertificates(pFilter, vtrOut, vtrAll);
    if (FAILED(hResult)) {
        vtrOut.clear();
        return TRACE_FAIL("FilterCertificatesfromLocalStore", "FilterCertificates", hResult,
                          "FAILED(hResult)");
    }
    return VURO_OK;
}
