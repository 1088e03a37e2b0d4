// Removing the authority's withdrawn CA certificates before its current chain
// is installed: intermediate certificates from the "CA" stores of the local
// machine and of the current user, root certificates from the machine's "CA"
// store and its registry-backed root store.
//
// The two built-in tables (RSA and SM2 hierarchies) are deployment data: the
// files withdrawn-rsa.inc and withdrawn-sm2.inc of the chain folder chosen
// when the build is configured, rows of
//   WITHDRAWN_INTERMEDIATE("issuer DN", "subject DN", "serial hex")
//   WITHDRAWN_ROOT("DN", "SHA-1 thumbprint, 40 upper-case hex digits", "serial hex")
// DNs are in the subject-text form ("CN=.., O=.., C=CN", most specific part
// first) and match as substrings, ignoring case; serial numbers are written
// most significant byte first, every byte.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "selection/CertificateFilter.h"

#include <span>

enum class WITHDRAWN_KIND { Intermediate, Root };

struct WITHDRAWN_CERT {
    WITHDRAWN_KIND eKind;
    LPCWSTR pwszIssuerDN;   // a root's DN, which is also its subject
    LPCWSTR pwszSubjectDN;  // the same as the issuer for a root
    LPCWSTR pwszThumbprint; // roots only: the root store's key name
    LPCWSTR pwszSerialNumber;
};

// The built-in tables, in the order their rows are processed.
std::span<const WITHDRAWN_CERT> RsaWithdrawnCertificates();
std::span<const WITHDRAWN_CERT> Sm2WithdrawnCertificates();

// DeleteRSADiscardCert, DeleteSM2DiscardCert: DeleteDiscardCerts over the
// built-in table. Always 0.
[[nodiscard]] HRESULT DeleteRSADiscardCert();
[[nodiscard]] HRESULT DeleteSM2DiscardCert();

// DeleteDiscardCerts: DeleteIntermediateCert or DeleteTrustedRootCert for
// every row, in order; each row's result is traced and the next row taken.
// Always 0.
[[nodiscard]] HRESULT DeleteDiscardCerts(std::span<const WITHDRAWN_CERT> rows);

// DeleteIntermediateCert: removes the certificates with that issuer, subject
// and serial number from the machine's "CA" store, then from the user's.
// E_INVALIDARG for an empty name or serial, or a name with the filter's
// alternative separator "#" (such a row would match far more than one
// certificate); the machine store's failure ends the row before the user's
// store is touched.
[[nodiscard]] HRESULT DeleteIntermediateCert(LPCWSTR pwszIssuerDN, LPCWSTR pwszSerialNumber,
                                             LPCWSTR pwszSubjectDN);

// DeleteTrustedRootCert: removes the certificates with that name (as issuer
// and subject) and serial number from the machine's "CA" store, then the root
// store's registry key pwszThumbprint. E_INVALIDARG as for
// DeleteIntermediateCert, or for a thumbprint that is not 40 hexadecimal
// digits; the "CA" store's failure ends the row before the registry is touched.
[[nodiscard]] HRESULT DeleteTrustedRootCert(LPCWSTR pwszIssuerDN, LPCWSTR pwszThumbprint,
                                            LPCWSTR pwszSerialNumber, LPCWSTR pwszSubjectDN);

// DeleteCertificateFromStore: deletes from the "CA" system store at
// dwLocation (CERT_SYSTEM_STORE_LOCAL_MACHINE or CERT_SYSTEM_STORE_CURRENT_USER)
// every certificate that passes pFilter; a deletion that fails is traced and
// the next one made. 0, E_INVALIDARG for another location, or the failure to
// open or list the store.
[[nodiscard]] HRESULT DeleteCertificateFromStore(DWORD dwLocation, PCCERTIFICATE_FILTER pFilter);

// DeleteRegistryKey: deletes the key pwszKeyName below the machine's root
// store key "SOFTWARE\Microsoft\SystemCertificates\ROOT\Certificates".
// Registry errors come back as HRESULT_FROM_WIN32 (ERROR_FILE_NOT_FOUND when
// there is no such key).
[[nodiscard]] HRESULT DeleteRegistryKey(LPCWSTR pwszKeyName);
