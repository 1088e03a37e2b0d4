#include "enrolment/CertificateImport.h"

#include "certificates/SystemStore.h"
#include "enrolment/CertificateMatch.h"
#include "enrolment/ImportHelpers.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"
#include "foundation/Trace.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#define TRACE_MODULE "ImportEncryptCert"

void EraseCommaInWstr(WString& wstrText) {
    wstrText.erase(std::remove(wstrText.begin(), wstrText.end(), WCHAR(',')), wstrText.end());
}

HRESULT DecodeBase64Key(const WString& wstrText, std::vector<BYTE>& key) {
    TraceHelper trace(TEXT("DecodeBase64Key"));
    const WCHAR* const op = TEXT("DecodeBase64Key");
    std::string strUtf8;
    HRESULT hResult = UTF16ToUTF8(wstrText.c_str(), &strUtf8);
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("UTF16ToUTF8 (Kernel) FAILED."), hResult))
        return hResult;
    std::vector<BYTE> decoded;
    hResult = Base64DecodeEx(int(strUtf8.size()), &decoded, strUtf8.c_str());
    if (TRACE_IF_W(FAILED(hResult), op, TEXT("Base64DecodeEx (Kernel) FAILED."), hResult))
        return hResult;
    // Nothing of the alphabet in it: not a Base64 text at all.
    if (TRACE_IF_W(decoded.empty(), op, TEXT("Base64DecodeEx (Kernel) FAILED."),
                   VURO_E_BASE64_DECODE))
        return VURO_E_BASE64_DECODE;
    key = std::move(decoded);
    return VURO_OK;
}

HRESULT ImportSignCert(KeyAlgorithm eKeyAlgorithm, WString& wstrCert, DWORD dwKeySpec,
                       const WString& wstrCSPName, const WString& wstrContainer) {
    TraceHelper trace(TEXT("ImportSignCert"));
    const WCHAR* const op = TEXT("ImportSignCert");
    TraceValueW("KeyAlgorithm", KeyAlgorithmName(eKeyAlgorithm));
    TraceValueW("CSPName", wstrCSPName.c_str());
    TraceValueW("Container", wstrContainer.c_str());
    TraceValueNumber("KeySpec", long(dwKeySpec));

    EraseCommaInWstr(wstrCert);
    std::vector<BYTE> certificate;
    if (const HRESULT hResult = DecodeBase64Key(wstrCert, certificate);
        TRACE_IF_W(FAILED(hResult), op, TEXT("base64 decode public key FAILED."), hResult))
        return hResult;
    TRACE_OK_W(op, TEXT("DecodeBase64Key"));
    // A provider reads the certificate by its own DER length: it gets only
    // bytes that are exactly one certificate.
    if (const HRESULT hResult =
            CheckWholeCertificate(certificate.data(), DWORD(certificate.size()));
        FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("CheckWholeCertificate"), hResult, TEXT("FAILED(hResult)"));
        return hResult;
    }

    // A copy on disk helps whoever reads the trace, and only them: without
    // tracing nobody would ever look at it or remove it. The import does not
    // depend on it.
    if (TraceIsEnabled(TRACE_FLAG_INFO)) {
        WString wstrPath;
        if (SUCCEEDED(DumpDatatoTempFile(&wstrPath, certificate.data(), DWORD(certificate.size()))))
            TraceValueW("Certificate file", wstrPath.c_str());
    }

    UniqueProvider hProv;
    if (eKeyAlgorithm == KeyAlgorithm::Rsa) {
        if (!CryptAcquireContextW(hProv.put(), wstrContainer.c_str(), wstrCSPName.c_str(),
                                  ProviderTypeForName(wstrCSPName), 0)) {
            return FAIL_LAST_ERROR_W(op, TEXT("RSA CryptAcquireContext"), TEXT("1"));
        }
        TRACE_OK_W(op, TEXT("RSA CryptAcquireContext"));
    } else {
        if (!CryptAcquireContextW(hProv.put(), wstrContainer.c_str(), wstrCSPName.c_str(),
                                  PROV_RSA_FULL, kSM2AccessFlags)) {
            return FAIL_LAST_ERROR_W(op, TEXT("SM2 CryptAcquireContext"), TEXT("1"));
        }
        TRACE_OK_W(op, TEXT("SM2 CryptAcquireContext"));
    }

    UniqueKey hKey;
    if (!CryptGetUserKey(hProv.get(), dwKeySpec, hKey.put())) {
        return FAIL_LAST_ERROR_W(op, TEXT("CryptGetUserKey"), TEXT("1"));
    }
    TRACE_OK_W(op, TEXT("CryptGetUserKey"));

    // Only a certificate of this key is bound to it: another container's
    // certificate would claim a key it does not have (and, in the store,
    // take over that container's entry).
    if (const HRESULT hResult =
            CheckCertificateMatchesKey(certificate.data(), DWORD(certificate.size()), hProv.get(),
                                       hKey.get(), dwKeySpec, eKeyAlgorithm == KeyAlgorithm::Rsa);
        FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("CheckCertificateMatchesKey"), hResult, TEXT("FAILED(hResult)"));
        return hResult;
    }

    if (!IsMicrosoftCSP(wstrCSPName)) {
        // Tokens keep the certificate with the key; no store is touched.
        if (!CryptSetKeyParam(hKey.get(), KP_CERTIFICATE, certificate.data(), 0)) {
            return FAIL_LAST_ERROR_W(op, TEXT("non-microsoft's CSP: CryptSetKeyParam"), TEXT("1"));
        }
        TRACE_OK_W(op, TEXT("non-microsoft's CSP: CryptSetKeyParam"));
        return VURO_OK;
    }
    const HRESULT hResult =
        AddCertificateToSystemStore(wstrCSPName, hProv.get(), certificate.data(),
                                    DWORD(certificate.size()), dwKeySpec, wstrContainer);
    if (FAILED(hResult)) {
        TRACE_FAILED_W(op, TEXT("AddCertificateToSystemStore"), hResult, TEXT("FAILED(hResult)"));
        return hResult;
    }
    TRACE_OK_W(op, TEXT("AddCertificateToSystemStore"));
    return VURO_OK;
}
