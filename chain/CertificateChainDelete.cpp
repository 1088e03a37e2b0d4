#include "chain/CertificateChainDelete.h"

#include "foundation/Handles.h"
#include "foundation/Trace.h"

#include <winreg.h>

#define TRACE_MODULE "CertificateChainDelete"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr WCHAR kRootStoreKey[] =
    TEXT("SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates");

// The deployment's tables; a last, empty row lets a table have no rows.
#define WITHDRAWN_INTERMEDIATE(issuer, subject, serial)                                            \
    {WITHDRAWN_KIND::Intermediate, TEXT(issuer), TEXT(subject), nullptr, TEXT(serial)},
#define WITHDRAWN_ROOT(dn, thumbprint, serial)                                                     \
    {WITHDRAWN_KIND::Root, TEXT(dn), TEXT(dn), TEXT(thumbprint), TEXT(serial)},
const WITHDRAWN_CERT kRsaWithdrawn[] = {
#include "withdrawn-rsa.inc"
    {WITHDRAWN_KIND::Root, nullptr, nullptr, nullptr, nullptr}};
const WITHDRAWN_CERT kSm2Withdrawn[] = {
#include "withdrawn-sm2.inc"
    {WITHDRAWN_KIND::Root, nullptr, nullptr, nullptr, nullptr}};
#undef WITHDRAWN_INTERMEDIATE
#undef WITHDRAWN_ROOT

// UsableName: a name filter that selects what the row names and no more: not
// empty, and one alternative (FilterCertificates splits at "#", and an empty
// alternative admits every certificate).
bool UsableName(LPCWSTR pwszName) {
    if (pwszName == nullptr || pwszName[0] == 0)
        return false;
    for (LPCWSTR p = pwszName; *p != 0; ++p)
        if (*p == TEXT('#'))
            return false;
    return true;
}

bool UsableSerial(LPCWSTR pwszSerial) {
    return pwszSerial != nullptr && pwszSerial[0] != 0;
}

// IsThumbprint: 40 hexadecimal digits, so that the key deleted is one
// certificate's entry and never the store's key or one below another name.
bool IsThumbprint(LPCWSTR pwszText) {
    if (pwszText == nullptr)
        return false;
    int n = 0;
    for (; pwszText[n] != 0; ++n) {
        const WCHAR ch = pwszText[n];
        const bool bHex = (ch >= TEXT('0') && ch <= TEXT('9')) ||
                          (ch >= TEXT('A') && ch <= TEXT('F')) ||
                          (ch >= TEXT('a') && ch <= TEXT('f'));
        if (!bHex || n >= 40)
            return false;
    }
    return n == 40;
}

} // namespace

std::span<const WITHDRAWN_CERT> RsaWithdrawnCertificates() {
    return std::span<const WITHDRAWN_CERT>(kRsaWithdrawn, std::size(kRsaWithdrawn) - 1);
}

std::span<const WITHDRAWN_CERT> Sm2WithdrawnCertificates() {
    return std::span<const WITHDRAWN_CERT>(kSm2Withdrawn, std::size(kSm2Withdrawn) - 1);
}

HRESULT DeleteRSADiscardCert() {
    TraceHelper trace(TEXT("DeleteRSADiscardCert"));
    return DeleteDiscardCerts(RsaWithdrawnCertificates());
}

HRESULT DeleteSM2DiscardCert() {
    TraceHelper trace(TEXT("DeleteSM2DiscardCert"));
    return DeleteDiscardCerts(Sm2WithdrawnCertificates());
}

HRESULT DeleteDiscardCerts(std::span<const WITHDRAWN_CERT> rows) {
    const char* const op = "DeleteDiscardCerts";
    for (const WITHDRAWN_CERT& row : rows) {
        HRESULT hResult = S_OK;
        if (row.eKind == WITHDRAWN_KIND::Intermediate) {
            hResult =
                DeleteIntermediateCert(row.pwszIssuerDN, row.pwszSerialNumber, row.pwszSubjectDN);
            if (FAILED(hResult))
                TRACE_FAILED(op, "DeleteIntermediateCert", hResult, "FAILED(hResult)");
            else
                TRACE_OK(op, "DeleteIntermediateCert");
        } else {
            hResult = DeleteTrustedRootCert(row.pwszIssuerDN, row.pwszThumbprint,
                                            row.pwszSerialNumber, row.pwszSubjectDN);
            if (FAILED(hResult))
                TRACE_FAILED(op, "DeleteTrustedRootCert", hResult, "FAILED(hResult)");
            else
                TRACE_OK(op, "DeleteTrustedRootCert");
        }
    }
    return VURO_OK;
}

namespace {

// The filter that selects one withdrawn certificate by its names and serial.
CERTIFICATE_FILTER NameFilter(LPCWSTR pwszIssuerDN, LPCWSTR pwszSerialNumber,
                              LPCWSTR pwszSubjectDN) {
    CERTIFICATE_FILTER stFilter{};
    stFilter.pwszSubjectDN = pwszSubjectDN;
    stFilter.pwszIssuerDN = pwszIssuerDN;
    stFilter.pwszSerialNumber = pwszSerialNumber;
    return stFilter;
}

// A step of op that answered hResult, traced under step's name.
HRESULT TracedStep(const char* op, const char* step, HRESULT hResult) {
    if (TRACE_IF(FAILED(hResult), op, step, hResult))
        return hResult;
    TRACE_OK(op, step);
    return VURO_OK;
}

// One store's deletion as a step of op.
HRESULT DeleteFromStore(const char* op, const char* step, DWORD dwLocation,
                        const CERTIFICATE_FILTER& stFilter) {
    return TracedStep(op, step, DeleteCertificateFromStore(dwLocation, &stFilter));
}

} // namespace

HRESULT DeleteIntermediateCert(LPCWSTR pwszIssuerDN, LPCWSTR pwszSerialNumber,
                               LPCWSTR pwszSubjectDN) {
    TraceHelper trace(TEXT("DeleteIntermediateCert"));
    const char* const op = "DeleteIntermediateCert";
    if (!UsableName(pwszIssuerDN) || !UsableName(pwszSubjectDN) || !UsableSerial(pwszSerialNumber))
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG,
                          "empty name or serial, or \"#\" in a name");
    TraceValueW("IssuerDN", pwszIssuerDN);
    TraceValueW("SubjectDN", pwszSubjectDN);
    TraceValueW("SerialNumber", pwszSerialNumber);
    const CERTIFICATE_FILTER stFilter = NameFilter(pwszIssuerDN, pwszSerialNumber, pwszSubjectDN);
    HRESULT hResult = DeleteFromStore(op, "DeleteCertificateFromStore(LocalMachine)",
                                      CERT_SYSTEM_STORE_LOCAL_MACHINE, stFilter);
    if (FAILED(hResult))
        return hResult;
    return DeleteFromStore(op, "DeleteCertificateFromStore(CurrentUser)",
                           CERT_SYSTEM_STORE_CURRENT_USER, stFilter);
}

HRESULT DeleteTrustedRootCert(LPCWSTR pwszIssuerDN, LPCWSTR pwszThumbprint,
                              LPCWSTR pwszSerialNumber, LPCWSTR pwszSubjectDN) {
    TraceHelper trace(TEXT("DeleteTrustedRootCert"));
    const char* const op = "DeleteTrustedRootCert";
    if (!UsableName(pwszIssuerDN) || !UsableName(pwszSubjectDN) ||
        !UsableSerial(pwszSerialNumber) || !IsThumbprint(pwszThumbprint))
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG,
                          "empty name or serial, \"#\" in a name, or a malformed thumbprint");
    TraceValueW("DN", pwszSubjectDN);
    TraceValueW("Thumbprint", pwszThumbprint);
    TraceValueW("SerialNumber", pwszSerialNumber);
    HRESULT hResult = DeleteFromStore(op, "DeleteCertificateFromStore(LocalMachine-CA)",
                                      CERT_SYSTEM_STORE_LOCAL_MACHINE,
                                      NameFilter(pwszIssuerDN, pwszSerialNumber, pwszSubjectDN));
    if (FAILED(hResult))
        return hResult;
    return TracedStep(op, "DeleteRegistryKey", DeleteRegistryKey(pwszThumbprint));
}

HRESULT DeleteCertificateFromStore(DWORD dwLocation, PCCERTIFICATE_FILTER pFilter) {
    TraceHelper trace(TEXT("DeleteCertificateFromStore"));
    const char* const op = "DeleteCertificateFromStore";
    if (dwLocation != CERT_SYSTEM_STORE_LOCAL_MACHINE &&
        dwLocation != CERT_SYSTEM_STORE_CURRENT_USER)
        return TRACE_FAIL(op, "Check Parameters(dwFlag)", E_INVALIDARG,
                          "(CERT_SYSTEM_STORE_LOCAL_MACHINE != dwFlag && "
                          "CERT_SYSTEM_STORE_CURRENT_USER != dwFlag)");
    UniqueStore hStore(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, dwLocation, TEXT("CA")));
    if (!hStore)
        return FAIL_LAST_ERROR(op, "CertOpenStore", "hCertStore == NULL");
    CertificateList vtrAll;
    HRESULT hResult = ExtractCertificatesFromStore(hStore.get(), vtrAll);
    if (TRACE_IF(FAILED(hResult), op, "ExtractCertificatesFromStore", hResult))
        return hResult;
    CertificateList vtrMatches;
    hResult = FilterCertificates(pFilter, vtrMatches, vtrAll);
    if (TRACE_IF(FAILED(hResult), op, "FilterCertificates", hResult))
        return hResult;
    TraceValueNumber("Matches", long(vtrMatches.size()));
    for (const UniqueCertContext& match : vtrMatches) {
        // The deletion consumes the context it is given, so it gets a
        // reference of its own.
        PCCERT_CONTEXT pDuplicate = CertDuplicateCertificateContext(match.get());
        if (pDuplicate == nullptr || !CertDeleteCertificateFromStore(pDuplicate))
            TRACE_FAILED(op, "CertDeleteCertificateFromStore", FailureFromLastError(),
                         "FALSE == bResult");
        else
            TRACE_OK(op, "CertDeleteCertificateFromStore");
    }
    // Some store providers write deletions only when told to or when the
    // last reference to the store goes (Wine's registry stores); on Windows
    // this does nothing for system stores.
    if (!vtrMatches.empty() && !CertControlStore(hStore.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr))
        TRACE_FAILED(op, "CertControlStore(CERT_STORE_CTRL_COMMIT)", FailureFromLastError(),
                     "FALSE == bResult");
    return VURO_OK;
}

HRESULT DeleteRegistryKey(LPCWSTR pwszKeyName) {
    TraceHelper trace(TEXT("DeleteRegistryKey"));
    const char* const op = "DeleteRegistryKey";
    if (pwszKeyName == nullptr)
        return TRACE_FAIL(op, "Check Parameters", E_INVALIDARG, "pwszKeyName == NULL");
    UniqueRegKey hKey;
    LSTATUS lStatus =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRootStoreKey, 0, KEY_ALL_ACCESS, hKey.put());
    if (lStatus != ERROR_SUCCESS)
        return TRACE_FAIL(op, "RegOpenKeyEx FAILED.", HResultFromError(DWORD(lStatus)),
                          "ERROR_SUCCESS != lResult");
    lStatus = RegDeleteKeyW(hKey.get(), pwszKeyName);
    if (lStatus != ERROR_SUCCESS)
        return TRACE_FAIL(op, "RegDeleteKey FAILED.", HResultFromError(DWORD(lStatus)),
                          "ERROR_SUCCESS != lResult");
    return VURO_OK;
}
