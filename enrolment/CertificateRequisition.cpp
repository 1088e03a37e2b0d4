#include "enrolment/CertificateRequisition.h"

#include "enrolment/PKCS10Request.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <cstring>
#include <memory>
#include <new>

#define TRACE_MODULE "CertificateRequisition"

namespace {

HRESULT CopyText(const WCHAR* pwszText, WCHAR** ppwszCopy) {
    const size_t cch = WString(pwszText).size();
    std::unique_ptr<WCHAR[]> pwsz(new (std::nothrow) WCHAR[cch + 1]);
    if (!pwsz)
        return E_OUTOFMEMORY;
    std::memcpy(pwsz.get(), pwszText, (cch + 1) * sizeof(WCHAR));
    *ppwszCopy = pwsz.release();
    return VURO_OK;
}

// The public key of a freshly generated pair: RSA as the key bits of its
// SubjectPublicKeyInfo (the RSAPublicKey DER), SM2 as the provider's blob.
HRESULT ExportPublicKey(HCRYPTPROV hProv, HCRYPTKEY hKey, BOOL bRSA, DWORD dwKeySpec,
                        std::unique_ptr<BYTE[]>& pbKey, DWORD& cbKey) {
    const char* op = "CreatePublicKey";
    DWORD cbExport = 0;
    if (bRSA) {
        if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                      nullptr, &cbExport)) {
            return FAIL_LAST_ERROR(op, "CryptExportPublicKeyInfo(1)", "bRetCode == FALSE");
        }
        // CERT_PUBLIC_KEY_INFO points into the same buffer: align it for it.
        std::unique_ptr<ULONGLONG[]> pInfoBuffer(
            new (std::nothrow) ULONGLONG[(cbExport + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG)]());
        if (!pInfoBuffer) {
            TRACE_FAILED(op, "New buffer", E_OUTOFMEMORY, "!*lppPublicKey");
            return E_OUTOFMEMORY;
        }
        auto* pInfo = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(pInfoBuffer.get());
        if (!CryptExportPublicKeyInfo(hProv, dwKeySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                      pInfo, &cbExport)) {
            return FAIL_LAST_ERROR(op, "CryptExportPublicKeyInfo(2)", "bRetCode == FALSE");
        }
        const DWORD cbBits = pInfo->PublicKey.cbData;
        if (cbBits == 0 || pInfo->PublicKey.pbData == nullptr) {
            TRACE_FAILED(op, "CryptExportPublicKeyInfo(2)", NTE_BAD_KEY, "PublicKey.cbData == 0");
            return NTE_BAD_KEY;
        }
        pbKey.reset(new (std::nothrow) BYTE[cbBits]);
        if (!pbKey) {
            TRACE_FAILED(op, "New buffer", E_OUTOFMEMORY, "!*lppPublicKey");
            return E_OUTOFMEMORY;
        }
        std::memcpy(pbKey.get(), pInfo->PublicKey.pbData, cbBits);
        cbKey = cbBits;
        return VURO_OK;
    }
    if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cbExport)) {
        return FAIL_LAST_ERROR(op, "CryptExportKey(1)", "bRetCode == FALSE");
    }
    pbKey.reset(new (std::nothrow) BYTE[cbExport ? cbExport : 1]());
    if (!pbKey) {
        TRACE_FAILED(op, "New buffer", E_OUTOFMEMORY, "!*lppPublicKey");
        return E_OUTOFMEMORY;
    }
    if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, pbKey.get(), &cbExport)) {
        return FAIL_LAST_ERROR(op, "CryptExportKey(2)", "bRetCode == FALSE");
    }
    cbKey = cbExport;
    return VURO_OK;
}

} // namespace

HRESULT CreatePublicKey(const WCHAR* pwszContainer, WCHAR** ppwszNewContainer, BYTE** ppbPublicKey,
                        DWORD dwKeyLength, const WCHAR* pwszProvider, BOOL bRSA, DWORD dwKeySpec,
                        BOOL bNewContainer, HCRYPTPROV* phProv, DWORD* pcbPublicKey,
                        DWORD dwGenFlags) {
    TraceHelper trace(TEXT("CreatePublicKey"));
    const char* op = "CreatePublicKey";
    if (ppbPublicKey == nullptr || pcbPublicKey == nullptr || phProv == nullptr ||
        pwszProvider == nullptr) {
        TRACE_FAILED(op, "Check parameter", E_INVALIDARG, "lppPublicKey == NULL");
        return E_INVALIDARG;
    }

    // A request without a container of its own gets a fresh GUID name.
    WString wstrGuid;
    const WCHAR* pwszName = pwszContainer;
    if (pwszName == nullptr || pwszName[0] == 0) {
        const HRESULT hResult = CreateGUIDStr(&wstrGuid);
        if (TRACE_IF(FAILED(hResult), op, "CreateGUIDStr", hResult))
            return hResult;
        if (TRACE_IF(wstrGuid.empty(), op, "CreateGUIDStr", E_FAIL))
            return E_FAIL;
        pwszName = wstrGuid.c_str();
    }
    TraceValueW("container", pwszName);

    const DWORD dwProvType = ProviderTypeForName(pwszProvider);
    bool bAcquiredHere = false;
    if (*phProv == 0) {
        if (!CryptAcquireContextW(phProv, pwszName, pwszProvider, dwProvType,
                                  bNewContainer ? CRYPT_NEWKEYSET : 0)) {
            *phProv = 0;
            return FAIL_LAST_ERROR(op, "CryptAcquireContext", "bRetCode == FALSE");
        }
        bAcquiredHere = true;
    }

    // The key length travels in the upper 16 bits of the generation flags;
    // SM2 providers take their own algorithm identifiers for the two kinds.
    const DWORD dwFlags = (dwKeyLength << 16) | dwGenFlags;
    ALG_ID algKey = dwKeySpec;
    if (!bRSA)
        algKey = dwKeySpec == AT_KEYEXCHANGE ? kAlgSM2KeyExchange
                 : dwKeySpec == AT_SIGNATURE ? kAlgSM2Signature
                                             : dwKeySpec;
    TraceValueNumber("generation flags", long(dwFlags));

    UniqueKey key;
    std::unique_ptr<BYTE[]> pbKey;
    DWORD cbKey = 0;
    HRESULT hResult = VURO_OK;
    if (!CryptGenKey(*phProv, algKey, dwFlags, key.put())) {
        hResult = FailureFromLastError();
        TRACE_FAILED(op, "CryptGenKey", hResult, "bRetCode == FALSE");
    } else {
        hResult = ExportPublicKey(*phProv, key.get(), bRSA, dwKeySpec, pbKey, cbKey);
    }

    std::unique_ptr<WCHAR[]> pwszHandBack;
    if (SUCCEEDED(hResult) && bNewContainer && ppwszNewContainer != nullptr) {
        WCHAR* pwszCopy = nullptr;
        hResult = CopyText(pwszName, &pwszCopy);
        pwszHandBack.reset(pwszCopy);
        if (FAILED(hResult))
            TRACE_FAILED(op, "New Memory", hResult, "!pwszContainer");
    }

    if (FAILED(hResult)) {
        key.reset();
        // A handle this call opened is not handed to the caller on failure.
        if (bAcquiredHere) {
            CryptReleaseContext(*phProv, 0);
            *phProv = 0;
        }
        // The container this call made goes again: nothing half-made stays.
        if (bNewContainer) {
            HCRYPTPROV hDelete = 0;
            CryptAcquireContextW(&hDelete, pwszName, pwszProvider, dwProvType,
                                 bRSA ? CRYPT_DELETEKEYSET : kSM2DeleteFlags);
        }
        return hResult;
    }

    if (pwszHandBack)
        *ppwszNewContainer = pwszHandBack.release();
    *ppbPublicKey = pbKey.release();
    *pcbPublicKey = cbKey;
    return VURO_OK;
}

HRESULT PKCS10CertRequisition(char** ppszRequest, WCHAR** ppwszContainer, const WCHAR* pwszProvider,
                              const WCHAR* pwszSubjectDN, DWORD dwCertType, DWORD dwKeySpec,
                              BOOL bRSA, DWORD dwKeyLength, DWORD dwGenFlags) {
    TraceHelper trace(TEXT("PKCS10CertRequisition"));
    const char* op = "PKCS10CertRequisition";
    if (pwszSubjectDN == nullptr) {
        TRACE_FAILED(op, "Check parameter", E_INVALIDARG, "lpwSubjectDN == NULL");
        return E_INVALIDARG;
    }
    if (ppszRequest == nullptr || ppwszContainer == nullptr || pwszProvider == nullptr ||
        (dwCertType != 1 && dwCertType != 2)) {
        TRACE_FAILED(op, "Check parameter", E_INVALIDARG, "ppszRequest == NULL");
        return E_INVALIDARG;
    }
    const bool bDouble = dwCertType == 2;

    // CreatePublicKey opens the provider on the first call and reuses it on
    // the second; the guard holds it between and after them.
    UniqueProvider provider;
    auto createPublicKey = [&](const WCHAR* pwszContainer, WCHAR** ppwszNew, BYTE** ppbKey,
                               DWORD dwBits, DWORD dwSpec, BOOL bNew, DWORD* pcbKey,
                               DWORD dwFlags) {
        HCRYPTPROV hProv = provider.release();
        const HRESULT hResult =
            CreatePublicKey(pwszContainer, ppwszNew, ppbKey, dwBits, pwszProvider, bRSA, dwSpec,
                            bNew, &hProv, pcbKey, dwFlags);
        provider.reset(hProv);
        return hResult;
    };
    std::unique_ptr<WCHAR[]> pwszContainer;
    std::unique_ptr<BYTE[]> pbTempKey, pbSignKey;
    DWORD cbTempKey = 0, cbSignKey = 0;

    if (bDouble) {
        // The temporary key-exchange pair the issuer envelopes the encryption
        // key to; its container becomes the request's.
        WCHAR* pwszNew = nullptr;
        BYTE* pbKey = nullptr;
        const HRESULT hResult = createPublicKey(nullptr, &pwszNew, &pbKey, bRSA ? 1024 : 256,
                                                AT_KEYEXCHANGE, TRUE, &cbTempKey, 0);
        if (FAILED(hResult)) {
            TRACE_FAILED(op, "CreatePublicKey-Exchange", hResult, "FAILED(hResult)");
            return hResult;
        }
        pwszContainer.reset(pwszNew);
        pbTempKey.reset(pbKey);
    }

    {
        WCHAR* pwszNew = nullptr;
        BYTE* pbKey = nullptr;
        const HRESULT hResult =
            createPublicKey(bDouble ? pwszContainer.get() : nullptr, bDouble ? nullptr : &pwszNew,
                            &pbKey, dwKeyLength, dwKeySpec, !bDouble, &cbSignKey, dwGenFlags);
        if (FAILED(hResult)) {
            TRACE_FAILED(op, "CreatePublicKey-Sign cert", hResult, "FAILED(hResult)");
            return hResult;
        }
        if (!bDouble)
            pwszContainer.reset(pwszNew);
        pbSignKey.reset(pbKey);
    }

    char* pszRequest = nullptr;
    DWORD cchRequest = 0;
    PKCS10RequestParams params{};
    params.dwKeySpec = dwKeySpec;
    params.hProv = provider.get();
    params.pwszSubject = pwszSubjectDN;
    params.pszPublicKeyAlg = bRSA ? kOidRsaEncryption : kOidEcPublicKey;
    params.pszCurve = bRSA ? "" : kOidSM2Curve;
    params.pbSignPublicKey = pbSignKey.get();
    params.cbSignPublicKey = cbSignKey;
    params.cbTempPublicKey = bDouble ? cbTempKey : 0;
    params.algHash = bRSA ? CALG_SHA1 : kAlgSM3;
    params.pszSignAlg = bRSA ? kOidSha1WithRsa : kOidSM2WithSM3;
    params.ppszRequest = &pszRequest;
    params.pcchRequest = &cchRequest;
    params.bStandardAttributes = FALSE;
    params.bSM2 = !bRSA;
    TRACE_OK(op, bRSA ? (bDouble ? "PKCS10RequestBase64-RSA-Double Certificate"
                                 : "PKCS10RequestBase64-RSA-Single Certificate")
                      : (bDouble ? "PKCS10RequestBase64-SM2-Double Certificate"
                                 : "PKCS10RequestBase64-SM2-Single Certificate"));
    // From here on the keys stay in their container, also when encoding fails.
    const HRESULT hResult = PKCS10RequestBase64(params, bDouble ? pbTempKey.get() : nullptr);
    if (FAILED(hResult)) {
        TRACE_FAILED(op, "PKCS10RequestBase64", hResult, "FAILED(hResult)");
        return hResult;
    }
    *ppszRequest = pszRequest;
    *ppwszContainer = pwszContainer.release();
    return VURO_OK;
}
