// Unregistered certificates: certificates that a CSP keeps with a key pair in
// one of its containers (the key's certificate parameter) and that no
// certificate store knows. Vendor tokens hold SM2 certificates this way. Each
// one is kept together with the provider, container and pair (AT_SIGNATURE or AT_KEYEXCHANGE)
// that lead back to its private key.
//
// Records are handed out as const pointers and freed with
// CertFreeUnregisteredCertContext; UniqueUnregisteredCertContext owns one, and
// an UnregisteredCertList owns one per element.
#pragma once
#include "foundation/Handles.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "selection/CertificateFilter.h"

#include <wincrypt.h>

#include <vector>

// The longest provider or container name a record holds, in characters
// without the terminator.
inline constexpr DWORD kMaxUnregisteredName = MAX_PATH - 1;

// UNREGISTERED_CERT_CONTEXT: a certificate read from a key container.
typedef struct _UNREGISTERED_CERT_CONTEXT {
    WCHAR wszCSPName[MAX_PATH];       // provider holding the container, NUL-terminated
    WCHAR wszContainerName[MAX_PATH]; // the container, NUL-terminated
    DWORD dwKeySpec;                  // AT_KEYEXCHANGE (1) or AT_SIGNATURE (2)
    PCCERT_CONTEXT pCertContext;      // the certificate; the record holds a reference
} UNREGISTERED_CERT_CONTEXT, *PUNREGISTERED_CERT_CONTEXT;
typedef const UNREGISTERED_CERT_CONTEXT* PCUNREGISTERED_CERT_CONTEXT;

// CertCreateUnregisteredCertContext: a new record holding copies of the
// container and provider names, dwKeySpec and a new reference to
// pCertContext, in *ppContext. A name longer than kMaxUnregisteredName is
// refused, never cut: a cut name would lead to another container. Returns 0,
// E_INVALIDARG (null certificate, null, empty or too long name), E_POINTER or
// E_OUTOFMEMORY.
[[nodiscard]] HRESULT CertCreateUnregisteredCertContext(LPCWSTR pwszContainerName,
                                                        LPCWSTR pwszCSPName,
                                                        PCCERT_CONTEXT pCertContext,
                                                        DWORD dwKeySpec,
                                                        PCUNREGISTERED_CERT_CONTEXT* ppContext);

// CertDuplicateUnregisteredCertContext: a new record with the fields of
// pSource (which must hold a certificate and both names) in *ppCopy; pSource
// is left as it is. Returns 0, E_INVALIDARG, E_POINTER or E_OUTOFMEMORY.
[[nodiscard]] HRESULT CertDuplicateUnregisteredCertContext(PCUNREGISTERED_CERT_CONTEXT pSource,
                                                           PCUNREGISTERED_CERT_CONTEXT* ppCopy);

// CertFreeUnregisteredCertContext: releases the record's certificate and
// frees the record; null is allowed.
void CertFreeUnregisteredCertContext(PCUNREGISTERED_CERT_CONTEXT pContext);

using UniqueUnregisteredCertContext =
    UniqueHandle<PCUNREGISTERED_CERT_CONTEXT, CertFreeUnregisteredCertContext>;
using UnregisteredCertList = std::vector<UniqueUnregisteredCertContext>;

// RemoveAllUnregisteredCertificates: frees every record of vtrList and empties it.
void RemoveAllUnregisteredCertificates(UnregisteredCertList& vtrList);

// GetUnregisteredCertfromContainer: reads the certificate kept with the key
// pair dwKeySpec of container pwszContainerName in provider pwszCSPName
// (opened as type PROV_RSA_FULL, also for SM2 providers) and hands out a new
// record in *ppContext. A certificate that reaches its private key by itself
// (the system already links it to a key) is not unregistered:
// VURO_E_CONTAINER_CERT_LINKED, and no record. Returns 0, E_INVALIDARG (null
// or empty name, or one longer than kMaxUnregisteredName), E_POINTER,
// E_OUTOFMEMORY, or the failing call's last error as a result code (no such
// container or key, no certificate with it, an undecodable certificate).
[[nodiscard]] HRESULT GetUnregisteredCertfromContainer(LPCWSTR pwszCSPName,
                                                       LPCWSTR pwszContainerName, DWORD dwKeySpec,
                                                       PCUNREGISTERED_CERT_CONTEXT* ppContext);

// CheckUnregisteredCertficate: checks 1 to 7 of pFilter (null: the empty
// filter; no provider-name and no private-key check, and its provider names
// are not even read) on pCertContext.
// Returns 0 when all pass, else E_FAIL.
[[nodiscard]] HRESULT CheckUnregisteredCertficate(PCCERT_CONTEXT pCertContext,
                                                  PCCERTIFICATE_FILTER pFilter);

// FilterUnregisteredCertificatesfromSpecifiedCSP: appends to vtrList the
// certificates of every container of provider pwszCSPName, key exchange pair
// first, then signature pair, in the provider's container order, that pass
// CheckUnregisteredCertficate (pFilter's provider names are not read: the
// provider is the one searched). Containers that cannot be read, that hold no
// certificate, whose certificate is linked already or whose name does not fit
// a record are left out. A provider whose first container name is shorter
// than a later one (it reports the first name's size, not the largest) still
// lists them all. Returns 0 (also when the provider has no containers), the
// provider's opening failure as a result code (nothing appended then),
// E_INVALIDARG for a null or empty name, or E_OUTOFMEMORY.
[[nodiscard]] HRESULT FilterUnregisteredCertificatesfromSpecifiedCSP(LPCWSTR pwszCSPName,
                                                                     PCCERTIFICATE_FILTER pFilter,
                                                                     UnregisteredCertList& vtrList);

// VendorCSPNames: the names of pwszCSPNames (split once, as SplitStrings
// does) that do not contain "Microsoft" (a case-sensitive test: the operating
// system's software providers never keep certificates in containers), each
// provider once (DistinctProviderNames, after that test), in order, in
// vtrNames (replacing its contents). Returns 0 or E_OUTOFMEMORY.
[[nodiscard]] HRESULT VendorCSPNames(LPCWSTR pwszCSPNames, TextList& vtrNames);

// FilterUnregisteredCertificatesfromCSP: FilterUnregisteredCertificatesfromSpecifiedCSP
// for each vendor provider of pwszCSPNames (null: every installed provider, as
// GetAllCSPName lists them; each provider once, VendorCSPNames), in order; a
// provider that fails is skipped. Appends to vtrList each certificate found
// that it does not hold yet: a certificate (the same encoding) reached again,
// through another container or another spelling of a provider's name, keeps
// only its first record, the one a selection of it would use anyway. The cost
// grows with the length of pwszCSPNames, not its square. Returns 0,
// GetAllCSPName's failure, or E_OUTOFMEMORY (vtrList emptied on failure).
[[nodiscard]] HRESULT FilterUnregisteredCertificatesfromCSP(LPCWSTR pwszCSPNames,
                                                            PCCERTIFICATE_FILTER pFilter,
                                                            UnregisteredCertList& vtrList);
