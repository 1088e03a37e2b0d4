#include "dialog/CertificateDialogs.h"

#include "dialog/SelectCertificateDlg.h"
#include "foundation/Handles.h"
#include "foundation/Trace.h"

#include <new>

#define TRACE_MODULE "CertificateDialogs"

HRESULT CustomCryptUIDlgSelectCertificate(const SELECT_CERTIFICATE_OPTIONS* pOptions,
                                          const std::vector<PCCERT_CONTEXT>& candidates,
                                          PCCERT_CONTEXT* ppSelected) {
    TraceHelper trace(TEXT("CustomCryptUIDlgSelectCertificate"));
    const WCHAR* op = TEXT("CustomCryptUIDlgSelectCertificate");
    if (pOptions == nullptr || ppSelected == nullptr)
        return TRACE_FAIL_W(op, TEXT("Check parameter"), E_INVALIDARG,
                            TEXT("pOptions == NULL || ppSelected == NULL"));
    for (PCCERT_CONTEXT pCandidate : candidates)
        if (pCandidate == nullptr)
            return TRACE_FAIL_W(op, TEXT("Check parameter"), E_INVALIDARG,
                                TEXT("pCandidate == NULL"));
    // Nothing to choose from: say so rather than show an empty list.
    if (candidates.empty())
        return TRACE_FAIL_W(op, TEXT("Check candidates"), VURO_E_NO_AVAILABLE_CERT,
                            TEXT("candidates.size() == 0"));

    if (!pOptions->bAlwaysShow && candidates.size() == 1) {
        PCCERT_CONTEXT pstSelectedCert = CertDuplicateCertificateContext(candidates.front());
        if (pstSelectedCert == nullptr)
            return FAIL_LAST_ERROR_W(op, TEXT("CertDuplicateCertificateContext"),
                                     TEXT("pstSelectedCert == NULL"));
        *ppSelected = pstSelectedCert;
        return VURO_OK;
    }

    UniqueStore hCacheCertStore(CertOpenStore(
        CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, nullptr));
    if (!hCacheCertStore)
        return FAIL_LAST_ERROR_W(op, TEXT("CertOpenStore"), TEXT("hCacheCertStore == NULL"));
    for (PCCERT_CONTEXT pCandidate : candidates) {
        const BOOL bRetCode = CertAddCertificateContextToStore(
            hCacheCertStore.get(), pCandidate, CERT_STORE_ADD_USE_EXISTING, nullptr);
        if (bRetCode == FALSE)
            return FAIL_LAST_ERROR_W(op, TEXT("CertAddCertificateContextToStore"),
                                     TEXT("bRetCode == FALSE"));
    }

    PCCERT_CONTEXT pstSelectedCert =
        CustomCryptUIDlgSelectCertificateFromStore(pOptions, hCacheCertStore.get());
    if (pstSelectedCert == nullptr)
        return FAIL_LAST_ERROR_W(op, TEXT("CustomCryptUIDlgSelectCertificateFromStore"),
                                 TEXT("pstSelectedCert == NULL"));
    TRACE_OK_W(op, TEXT("CustomCryptUIDlgSelectCertificateFromStore"));
    *ppSelected = pstSelectedCert;
    return VURO_OK;
}

PCCERT_CONTEXT
CustomCryptUIDlgSelectCertificateFromStore(const SELECT_CERTIFICATE_OPTIONS* pOptions,
                                           HCERTSTORE hCertStore) {
    TraceHelper trace(TEXT("CustomCryptUIDlgSelectCertificateFromStore"));
    if (pOptions == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SELECT_CERTIFICATE_DIALOG_PARAMS params{};
    params.hResourceModule = pOptions->hResourceModule;
    params.hCertStore = hCertStore;
    params.hParentWindow =
        pOptions->dwParentGiven == 1 ? pOptions->hParentWindow : DefaultOwnerWindow();

    PCCERT_CONTEXT pstSelectedCert = nullptr;
    DWORD dwErrorCode = 0;
    RunSelectCertificateDialog(&params, &pstSelectedCert, &dwErrorCode);
    SetLastError(dwErrorCode);
    return pstSelectedCert;
}

INT_PTR RunSelectCertificateDialog(const SELECT_CERTIFICATE_DIALOG_PARAMS* pParams,
                                   PCCERT_CONTEXT* ppSelected, DWORD* pdwErrorCode) {
    TraceHelper trace(TEXT("RunSelectCertificateDialog"));
    INT_PTR nResult = SELECT_CERTIFICATE_RESULT_FAILED;
    DWORD dwErrorCode = 0;
    UniqueCertContext selected;
    try {
        CSelectCertificateDlgModel model;
        nResult = RunSelectCertificateWindow(model, pParams);
        dwErrorCode = model.GetErrorCode();
        selected.reset(model.TakeSelectedCertificate());
    } catch (const std::bad_alloc&) {
        nResult = SELECT_CERTIFICATE_RESULT_FAILED;
        dwErrorCode = static_cast<DWORD>(E_OUTOFMEMORY);
    }
    if (nResult == SELECT_CERTIFICATE_RESULT_FAILED && dwErrorCode == 0)
        dwErrorCode = SELECT_CERTIFICATE_ERROR_NO_WINDOW;
    if (nResult != SELECT_CERTIFICATE_RESULT_OK)
        selected.reset();
    if (ppSelected != nullptr)
        *ppSelected = selected.release();
    if (pdwErrorCode != nullptr)
        *pdwErrorCode = dwErrorCode;
    return nResult;
}
