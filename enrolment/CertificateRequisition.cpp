#include "enrolment/CertificateRequisition.h"

#include "enrolment/PKCS10Request.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <memory>
#include <new>

#define TRACE_MODULE "CertificateRequisition"

HRESULT CreatePublicKey(const WCHAR* pwszContainer, WString* pwstrNewContainer,
                        std::vector<BYTE>& publicKey, DWORD dwKeyLength, const WCHAR* pwszProvider,
                        const orvane::keys::KeyFamily& family, DWORD dwKeySpec, BOOL bNewContainer,
                        UniqueProvider& provider, DWORD dwGenFlags) {
    TraceHelper trace(TEXT("CreatePublicKey"));
    const char* op = "CreatePublicKey";
    if (TRACE_IF(pwszProvider == nullptr, op, "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;

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
    const bool bAcquiredHere = !provider;
    if (bAcquiredHere && !CryptAcquireContextW(provider.put(), pwszName, pwszProvider, dwProvType,
                                               bNewContainer ? CRYPT_NEWKEYSET : 0))
        return FAIL_LAST_ERROR(op, "CryptAcquireContext", "bRetCode == FALSE");

    // The key length travels in the upper 16 bits of the generation flags.
    const DWORD dwFlags = (dwKeyLength << 16) | dwGenFlags;
    TraceValueNumber("generation flags", long(dwFlags));

    UniqueKey key;
    std::vector<BYTE> exported;
    WString wstrHandBack;
    HRESULT hResult = VURO_OK;
    if (!CryptGenKey(provider.get(), family.KeyPairAlgorithm(dwKeySpec), dwFlags, key.put())) {
        hResult = FailureFromLastError();
        TRACE_FAILED(op, "CryptGenKey", hResult, "bRetCode == FALSE");
    } else {
        orvane::signatures::FailedStep failed;
        hResult = family.ExportPublicKey(provider.get(), key.get(), dwKeySpec, exported, failed);
        if (FAILED(hResult))
            TRACE_FAILED(op, failed.pszStep, hResult, failed.pszReason);
    }
    if (SUCCEEDED(hResult) && bNewContainer && pwstrNewContainer != nullptr) {
        try {
            wstrHandBack = pwszName;
        } catch (const std::bad_alloc&) {
            hResult = TRACE_FAIL(op, "New Memory", E_OUTOFMEMORY, "std::bad_alloc");
        }
    }

    if (FAILED(hResult)) {
        key.reset();
        // A handle this call opened is not handed to the caller on failure.
        if (bAcquiredHere)
            provider.reset();
        // The container this call made goes again: nothing half-made stays.
        if (bNewContainer) {
            HCRYPTPROV hDelete = 0;
            CryptAcquireContextW(&hDelete, pwszName, pwszProvider, dwProvType,
                                 family.DeleteContainerFlags());
        }
        return hResult;
    }

    if (bNewContainer && pwstrNewContainer != nullptr)
        *pwstrNewContainer = std::move(wstrHandBack);
    publicKey = std::move(exported);
    return VURO_OK;
}

HRESULT PKCS10CertRequisition(std::string& request, WString& container, const WCHAR* pwszProvider,
                              const WCHAR* pwszSubjectDN, DWORD dwCertType, DWORD dwKeySpec,
                              KeyAlgorithm eAlgorithm, DWORD dwKeyLength, DWORD dwGenFlags) {
    TraceHelper trace(TEXT("PKCS10CertRequisition"));
    const char* op = "PKCS10CertRequisition";
    if (TRACE_IF(pwszSubjectDN == nullptr, op, "Check parameter", E_INVALIDARG) ||
        TRACE_IF(pwszProvider == nullptr || (dwCertType != 1 && dwCertType != 2), op,
                 "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    const bool bDouble = dwCertType == 2;
    const orvane::keys::KeyFamily& family = orvane::keys::FamilyFor(eAlgorithm);

    // CreatePublicKey opens the provider on the first call and reuses it on
    // the second; the guard holds it between and after them.
    UniqueProvider provider;
    WString wstrContainer;
    std::vector<BYTE> tempKey, signKey;

    if (bDouble) {
        // The temporary key-exchange pair the issuer envelopes the encryption
        // key to; its container becomes the request's.
        const HRESULT hResult =
            CreatePublicKey(nullptr, &wstrContainer, tempKey, family.TemporaryKeyBits(),
                            pwszProvider, family, AT_KEYEXCHANGE, TRUE, provider, 0);
        if (TRACE_IF(FAILED(hResult), op, "CreatePublicKey-Exchange", hResult))
            return hResult;
    }
    {
        const HRESULT hResult = CreatePublicKey(
            bDouble ? wstrContainer.c_str() : nullptr, bDouble ? nullptr : &wstrContainer, signKey,
            dwKeyLength, pwszProvider, family, dwKeySpec, !bDouble, provider, dwGenFlags);
        if (TRACE_IF(FAILED(hResult), op, "CreatePublicKey-Sign cert", hResult))
            return hResult;
    }

    PKCS10RequestParams params{};
    params.dwKeySpec = dwKeySpec;
    params.hProv = provider.get();
    params.pwszSubject = pwszSubjectDN;
    params.pFamily = &family;
    params.signPublicKey = signKey;
    if (bDouble)
        params.tempPublicKey = tempKey;
    params.bStandardAttributes = FALSE;
    const bool bRSA = family.Algorithm() == KeyAlgorithm::Rsa;
    TRACE_OK(op, bRSA ? (bDouble ? "PKCS10RequestBase64-RSA-Double Certificate"
                                 : "PKCS10RequestBase64-RSA-Single Certificate")
                      : (bDouble ? "PKCS10RequestBase64-SM2-Double Certificate"
                                 : "PKCS10RequestBase64-SM2-Single Certificate"));
    // From here on the keys stay in their container, also when encoding fails.
    std::string text;
    const HRESULT hResult = PKCS10RequestBase64(params, text);
    if (TRACE_IF(FAILED(hResult), op, "PKCS10RequestBase64", hResult))
        return hResult;
    request = std::move(text);
    container = std::move(wstrContainer);
    return VURO_OK;
}
