#include "certificates/SystemStore.h"

#include "foundation/Handles.h"
#include "foundation/Trace.h"
#include "certificates/VendorCsp.h"

// Its trace lines keep the module name of the imports it was written for.
#define TRACE_MODULE "ImportEncryptCert"

HRESULT AddCertificateToSystemStore(const WString& wstrProviderName, HCRYPTPROV hProv,
                                    const BYTE* pbCert, DWORD cbCert, DWORD dwKeySpec,
                                    const WString& wstrContainer) {
    TraceHelper trace(TEXT("AddCertificateToSystemStore"));
    const WCHAR* const op = TEXT("AddCertificateToSystemStore");
    // The store must leave the caller's provider handle open when it closes.
    UniqueStore hCertStore(CertOpenStore(
        CERT_STORE_PROV_SYSTEM_W, 0, hProv,
        CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG, TEXT("MY")));
    if (!hCertStore)
        return FAIL_LAST_ERROR_W(op, TEXT("CertOpenStore"), TEXT("hCertStore == NULL"));
    TRACE_OK_W(op, TEXT("CertOpenStore"));

    UniqueCertContext pCertContext;
    if (!CertAddEncodedCertificateToStore(hCertStore.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                          pbCert, cbCert, CERT_STORE_ADD_REPLACE_EXISTING,
                                          pCertContext.put()))
        return FAIL_LAST_ERROR_W(op, TEXT("CertAddEncodedCertificateToStore"), TEXT("1"));
    TRACE_OK_W(op, TEXT("CertAddEncodedCertificateToStore"));

    // CRYPT_KEY_PROV_INFO takes writable texts; the property copies them.
    WString wstrContainerCopy = wstrContainer;
    WString wstrProviderCopy = wstrProviderName;
    CRYPT_KEY_PROV_INFO stKeyProvInfo{};
    stKeyProvInfo.pwszContainerName = wstrContainerCopy.data();
    stKeyProvInfo.pwszProvName = wstrProviderCopy.data();
    stKeyProvInfo.dwProvType = ProviderTypeForName(wstrProviderName);
    stKeyProvInfo.dwFlags = 0;
    stKeyProvInfo.cProvParam = 0;
    stKeyProvInfo.rgProvParam = nullptr;
    stKeyProvInfo.dwKeySpec = dwKeySpec;
    if (!CertSetCertificateContextProperty(pCertContext.get(), CERT_KEY_PROV_INFO_PROP_ID, 0,
                                           &stKeyProvInfo))
        return FAIL_LAST_ERROR_W(op, TEXT("CertSetCertificateContextProperty"), TEXT("1"));
    TRACE_OK_W(op, TEXT("CertSetCertificateContextProperty"));
    // Some store providers keep changes in memory until told to write them
    // (Wine's registry stores drop a replaced entry's link otherwise); on
    // Windows this is a no-op for system stores.
    if (!CertControlStore(hCertStore.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr))
        TRACE_FAILED_W(op, TEXT("CertControlStore(CERT_STORE_CTRL_COMMIT)"), HResultFromLastError(),
                       TEXT("1"));
    return VURO_OK;
}
