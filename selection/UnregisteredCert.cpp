#include "selection/UnregisteredCert.h"

#include "certificates/CspQueries.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#define TRACE_MODULE "UnregisteredCert"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The largest container name buffer the enumeration grows to when a provider
// asks for more than it first said; names that long are refused anyway.
constexpr DWORD kMaxContainerNameBytes = 64 * 1024;

// More containers than any token holds: a provider that never says "no more"
// cannot keep the enumeration going for ever.
constexpr size_t kMaxContainers = 100000;

// A name that fits a record: present, not empty, at most kMaxUnregisteredName.
bool FitsRecord(LPCWSTR pwszName) {
    if (pwszName == nullptr || pwszName[0] == 0)
        return false;
    return std::char_traits<WCHAR>::length(pwszName) <= kMaxUnregisteredName;
}

void CopyName(WCHAR (&wszTo)[MAX_PATH], LPCWSTR pwszFrom) {
    const size_t cch = std::char_traits<WCHAR>::length(pwszFrom);
    std::char_traits<WCHAR>::copy(wszTo, pwszFrom, cch);
    wszTo[cch] = 0;
}

// ContainerConditions: checks 1 to 7 of pFilter prepared. Container
// certificates never meet the provider-name check, so the names (the page's
// whole list, perhaps thousands long) are left unsplit: splitting them again
// for every provider searched made a long list cost its length squared.
HRESULT ContainerConditions(PCCERTIFICATE_FILTER pFilter, FilterConditions* pConditions) {
    CERTIFICATE_FILTER stFilter{};
    if (pFilter != nullptr)
        stFilter = *pFilter;
    stFilter.pwszCSPName = nullptr;
    return PrepareFilter(&stFilter, pConditions);
}

// The certificate's encoding: what tells one certificate from another.
std::string_view EncodingOf(PCCERT_CONTEXT pCertContext) {
    return {reinterpret_cast<const char*>(pCertContext->pbCertEncoded),
            pCertContext->cbCertEncoded};
}

} // namespace

HRESULT CertCreateUnregisteredCertContext(LPCWSTR pwszContainerName, LPCWSTR pwszCSPName,
                                          PCCERT_CONTEXT pCertContext, DWORD dwKeySpec,
                                          PCUNREGISTERED_CERT_CONTEXT* ppContext) {
    if (ppContext == nullptr)
        return TRACE_FAIL("CertCreateUnregisteredCertContext", "Check parameter", E_POINTER,
                          "NULL == ppContext");
    if (pCertContext == nullptr || !FitsRecord(pwszContainerName) || !FitsRecord(pwszCSPName))
        return TRACE_FAIL("CertCreateUnregisteredCertContext", "Check parameter", E_INVALIDARG,
                          "no certificate, or a name empty or longer than 259 characters");
    auto* pRecord = new (std::nothrow) UNREGISTERED_CERT_CONTEXT{};
    if (pRecord == nullptr)
        return TRACE_FAIL("CertCreateUnregisteredCertContext", "New memory", E_OUTOFMEMORY,
                          "new UNREGISTERED_CERT_CONTEXT");
    UniqueUnregisteredCertContext record(pRecord);
    CopyName(pRecord->wszCSPName, pwszCSPName);
    CopyName(pRecord->wszContainerName, pwszContainerName);
    pRecord->dwKeySpec = dwKeySpec;
    pRecord->pCertContext = CertDuplicateCertificateContext(pCertContext);
    if (pRecord->pCertContext == nullptr)
        return FAIL_LAST_ERROR("CertCreateUnregisteredCertContext",
                               "CertDuplicateCertificateContext", "NULL == pCertContext");
    *ppContext = record.release();
    return VURO_OK;
}

HRESULT CertDuplicateUnregisteredCertContext(PCUNREGISTERED_CERT_CONTEXT pSource,
                                             PCUNREGISTERED_CERT_CONTEXT* ppCopy) {
    if (ppCopy == nullptr)
        return TRACE_FAIL("CertDuplicateUnregisteredCertContext", "Check parameter", E_POINTER,
                          "NULL == ppCopy");
    if (pSource == nullptr || pSource->pCertContext == nullptr || pSource->wszCSPName[0] == 0 ||
        pSource->wszContainerName[0] == 0)
        return TRACE_FAIL("CertDuplicateUnregisteredCertContext", "Check parameter", E_INVALIDARG,
                          "NULL == pSource");
    return CertCreateUnregisteredCertContext(pSource->wszContainerName, pSource->wszCSPName,
                                             pSource->pCertContext, pSource->dwKeySpec, ppCopy);
}

void CertFreeUnregisteredCertContext(PCUNREGISTERED_CERT_CONTEXT pContext) {
    if (pContext == nullptr)
        return;
    CertFreeCertificateContext(pContext->pCertContext);
    delete pContext;
}

void RemoveAllUnregisteredCertificates(UnregisteredCertList& vtrList) {
    vtrList.clear();
}

HRESULT GetUnregisteredCertfromContainer(LPCWSTR pwszCSPName, LPCWSTR pwszContainerName,
                                         DWORD dwKeySpec, PCUNREGISTERED_CERT_CONTEXT* ppContext) {
    TraceHelper trace(TEXT("GetUnregisteredCertfromContainer"));
    const char* const op = "GetUnregisteredCertfromContainer";
    if (ppContext == nullptr)
        return TRACE_FAIL(op, "Check parameter", E_POINTER, "NULL == ppContext");
    // A name too long for a record is refused before the provider is asked:
    // a record can never lead back to it.
    if (!FitsRecord(pwszCSPName) || !FitsRecord(pwszContainerName))
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG,
                          "a name empty or longer than 259 characters");

    UniqueProvider prov;
    if (!CryptAcquireContextW(prov.put(), pwszContainerName, pwszCSPName, PROV_RSA_FULL, 0))
        return FAIL_LAST_ERROR(op, "CryptAcquireContext", "bResult == FALSE");
    UniqueKey key;
    if (!CryptGetUserKey(prov.get(), dwKeySpec, key.put()))
        return FAIL_LAST_ERROR(op, "CryptGetUserKey", "bResult == FALSE");

    DWORD cbCert = 0;
    if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, nullptr, &cbCert, 0))
        return FAIL_LAST_ERROR(op, "CryptGetKeyParam(KP_CERTIFICATE, size)", "bResult == FALSE");
    if (TRACE_IF(cbCert == 0, op, "CryptGetKeyParam(KP_CERTIFICATE, size)", E_FAIL))
        return E_FAIL;
    std::unique_ptr<BYTE[]> pbCert(new (std::nothrow) BYTE[size_t(cbCert) + 1]());
    if (!pbCert)
        return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "NULL == pbCert");
    if (!CryptGetKeyParam(key.get(), KP_CERTIFICATE, pbCert.get(), &cbCert, 0))
        return FAIL_LAST_ERROR(op, "CryptGetKeyParam(KP_CERTIFICATE)", "bResult == FALSE");

    UniqueCertContext cert(CertCreateCertificateContext(kEncoding, pbCert.get(), cbCert));
    if (!cert)
        return FAIL_LAST_ERROR(op, "CertCreateCertificateContext", "NULL == pCertContext");

    // A certificate that reaches its key by itself is offered from its store
    // already; reporting it here would offer it twice.
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hLinked = 0;
    DWORD dwLinkedSpec = 0;
    BOOL fCallerFree = FALSE;
    if (CryptAcquireCertificatePrivateKey(cert.get(), 0, nullptr, &hLinked, &dwLinkedSpec,
                                          &fCallerFree)) {
        UniqueProvider linked(fCallerFree ? static_cast<HCRYPTPROV>(hLinked) : 0);
        return TRACE_FAIL(op, "CryptAcquireCertificatePrivateKey", VURO_E_CONTAINER_CERT_LINKED,
                          "the certificate is linked to its key already");
    }
    const HRESULT hResult = CertCreateUnregisteredCertContext(pwszContainerName, pwszCSPName,
                                                              cert.get(), dwKeySpec, ppContext);
    if (TRACE_IF(FAILED(hResult), op, "CertCreateUnregisteredCertContext", hResult))
        return hResult;
    TRACE_OK(op, "CertCreateUnregisteredCertContext");
    return VURO_OK;
}

HRESULT CheckUnregisteredCertficate(PCCERT_CONTEXT pCertContext, PCCERTIFICATE_FILTER pFilter) {
    FilterConditions conditions;
    if (FAILED(ContainerConditions(pFilter, &conditions)) ||
        FAILED(CheckCertificateFields(pCertContext, conditions)))
        return E_FAIL;
    return VURO_OK;
}

HRESULT FilterUnregisteredCertificatesfromSpecifiedCSP(LPCWSTR pwszCSPName,
                                                       PCCERTIFICATE_FILTER pFilter,
                                                       UnregisteredCertList& vtrList) {
    TraceHelper trace(TEXT("FilterUnregisteredCertificatesfromSpecifiedCSP"));
    const char* const op = "FilterUnregisteredCertificatesfromSpecifiedCSP";
    if (pwszCSPName == nullptr || pwszCSPName[0] == 0)
        return TRACE_FAIL(op, "Check parameter", E_INVALIDARG, "empty CSP name");
    FilterConditions conditions;
    HRESULT hResult = ContainerConditions(pFilter, &conditions);
    if (TRACE_IF(FAILED(hResult), op, "PrepareFilter", hResult))
        return hResult;

    UniqueProvider prov;
    if (!CryptAcquireContextW(prov.put(), nullptr, pwszCSPName, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return FAIL_LAST_ERROR(op, "CryptAcquireContext(CRYPT_VERIFYCONTEXT)", "bResult == FALSE");

    // The size the provider gives for the first name: Microsoft's providers
    // answer with the largest possible one, others with the first name's. A
    // later, longer name makes the buffer grow instead of ending the list.
    DWORD cbSize = 0;
    if (!CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, nullptr, &cbSize, CRYPT_FIRST)) {
        TRACE_FAILED(op, "CryptGetProvParam(PP_ENUMCONTAINERS, size)", HResultFromLastError(),
                     "no containers");
        return VURO_OK;
    }
    try {
        std::string name;
        std::vector<BYTE> buffer(size_t(cbSize) + 1, 0);
        DWORD dwFlags = CRYPT_FIRST;
        for (size_t nListed = 0; nListed < kMaxContainers;) {
            std::fill(buffer.begin(), buffer.end(), BYTE(0));
            DWORD cbName = DWORD(buffer.size());
            if (!CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, buffer.data(), &cbName,
                                   dwFlags)) {
                if (GetLastError() == ERROR_MORE_DATA && cbName >= buffer.size() &&
                    cbName < kMaxContainerNameBytes) {
                    buffer.assign(size_t(cbName) + 1, 0); // the same name again, in full
                    continue;
                }
                break; // no more containers, or the provider cannot go on
            }
            dwFlags = CRYPT_NEXT;
            ++nListed;
            name.assign(reinterpret_cast<const char*>(buffer.data()),
                        std::min<size_t>(cbName, buffer.size()));
            name.resize(std::strlen(name.c_str()));
            WString wstrContainer;
            hResult = UTF8ToUTF16(name.c_str(), &wstrContainer);
            if (TRACE_IF(FAILED(hResult), op, "UTF8ToUTF16", hResult))
                return hResult;
            for (DWORD dwKeySpec : {DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)}) {
                UniqueUnregisteredCertContext found;
                hResult = GetUnregisteredCertfromContainer(pwszCSPName, wstrContainer.c_str(),
                                                           dwKeySpec, found.put());
                if (FAILED(hResult))
                    continue; // no certificate there, or one linked already
                if (FAILED(CheckCertificateFields(found.get()->pCertContext, conditions)))
                    continue;
                vtrList.push_back(std::move(found));
            }
        }
    } catch (const std::bad_alloc&) {
        return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
    TRACE_OK(op, "CryptGetProvParam(PP_ENUMCONTAINERS)");
    return VURO_OK;
}

HRESULT VendorCSPNames(LPCWSTR pwszCSPNames, TextList& vtrNames) {
    vtrNames.clear();
    TextList vtrAll;
    const HRESULT hResult = SplitStrings(pwszCSPNames, vtrAll);
    if (FAILED(hResult))
        return hResult;
    try {
        for (WString& name : vtrAll)
            if (name.find(TEXT("Microsoft")) == WString::npos)
                vtrNames.push_back(std::move(name));
    } catch (const std::bad_alloc&) {
        vtrNames.clear();
        return TRACE_FAIL("VendorCSPNames", "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
    // After the "Microsoft" test, which minds case: a name given once with it
    // and once in other letters is searched as before.
    return DistinctProviderNames(vtrNames);
}

HRESULT FilterUnregisteredCertificatesfromCSP(LPCWSTR pwszCSPNames, PCCERTIFICATE_FILTER pFilter,
                                              UnregisteredCertList& vtrList) {
    TraceHelper trace(TEXT("FilterUnregisteredCertificatesfromCSP"));
    const char* const op = "FilterUnregisteredCertificatesfromCSP";
    WString wstrAllNames;
    if (pwszCSPNames == nullptr) {
        const HRESULT hResult = GetAllCSPName(&wstrAllNames);
        if (TRACE_IF(FAILED(hResult), op, "GetAllCSPName", hResult)) {
            RemoveAllUnregisteredCertificates(vtrList);
            return hResult;
        }
        pwszCSPNames = wstrAllNames.c_str();
    }
    TextList vtrNames;
    HRESULT hResult = VendorCSPNames(pwszCSPNames, vtrNames);
    if (FAILED(hResult)) {
        RemoveAllUnregisteredCertificates(vtrList);
        return hResult;
    }
    try {
        // The encodings listed so far; the records hold their certificates,
        // so the bytes stay put while the list does.
        std::unordered_set<std::string_view> listed;
        for (const UniqueUnregisteredCertContext& record : vtrList)
            listed.insert(EncodingOf(record.get()->pCertContext));
        for (const WString& name : vtrNames) {
            UnregisteredCertList vtrFound;
            hResult =
                FilterUnregisteredCertificatesfromSpecifiedCSP(name.c_str(), pFilter, vtrFound);
            if (hResult == E_OUTOFMEMORY) {
                RemoveAllUnregisteredCertificates(vtrList);
                return TRACE_FAIL(op, "FilterUnregisteredCertificatesfromSpecifiedCSP", hResult,
                                  "out of memory");
            }
            if (FAILED(hResult))
                TRACE_FAILED_W(TEXT("FilterUnregisteredCertificatesfromCSP"), name.c_str(), hResult,
                               TEXT("skipped"));
            for (UniqueUnregisteredCertContext& record : vtrFound) {
                if (!listed.insert(EncodingOf(record.get()->pCertContext)).second)
                    continue; // offered already
                vtrList.push_back(std::move(record));
            }
        }
    } catch (const std::bad_alloc&) {
        RemoveAllUnregisteredCertificates(vtrList);
        return TRACE_FAIL(op, "New memory", E_OUTOFMEMORY, "std::bad_alloc");
    }
    return VURO_OK;
}
