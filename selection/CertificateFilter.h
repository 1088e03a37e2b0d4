// Choosing certificates: a filter record the caller fills, the checks a
// certificate must pass, and the certificate lists they work on. The signing
// agent offers the personal certificates that pass; the selection dialog lists
// a store; the removal of withdrawn authority certificates finds its targets
// with the same engine.
//
// Every routine returns a result code. A certificate list owns one reference
// per element (UniqueCertContext), so releasing the list releases them all.
// Routines that fill a list append to it, and leave it empty when they fail.
#pragma once
#include "foundation/Handles.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

#include <vector>

// CERTIFICATE_FILTER: the conditions a certificate must meet. An empty field
// (a null pointer, an empty text where noted, zero) sets no condition; a null
// filter pointer stands for a record whose fields are all empty.
typedef struct _CERTIFICATE_FILTER {
    // Alternatives joined by "#" (each cut to 255 characters): one of them must
    // occur in the subject text (X.500 form, most specific part first, e.g.
    // "CN=Alice, O=Example, C=CN"), ignoring case. An empty alternative
    // ("#" alone, or an empty text) admits every certificate.
    LPCWSTR pwszSubjectDN;
    // The same on the issuer text.
    LPCWSTR pwszIssuerDN;
    // Provider names joined by "||" (split as SplitStrings does; a name given
    // again is read once, see DistinctProviderNames): one of them must occur,
    // ignoring case, in the provider name of the certificate's key-provider
    // property, which the certificate must have. A text that starts with "||"
    // names no provider and sets no condition.
    LPCWSTR pwszCSPName;
    // Subject key identifier in hexadecimal, in the order it is displayed
    // (first octet first); null or empty: no condition. The certificate must
    // carry the extension, and the octets must be equal in number and value.
    LPCWSTR pwszSubjectKeyID;
    // Serial number in hexadecimal, most significant byte first, every byte of
    // the encoded number (a leading 00 the certificate holds must be written);
    // null or empty: no condition.
    LPCWSTR pwszSerialNumber;
    // Bits the first byte of the key-usage extension must share (0x80 is
    // digitalSignature); the certificate must carry the extension. 0: none.
    DWORD dwKeyUsage;
    // Exactly 1: the certificate's private key must be reachable (acquired and
    // released at once). Any other value: no condition.
    BOOL fPrivateKey;
    // Dotted prefix the signature algorithm's identifier must start with
    // ("1.2.840.113549" RSA, "1.2.156.10197" SM2), compared character by
    // character over the prefix's length; null: no condition.
    LPCSTR pszSignatureAlg;
    // The certificate must be within its validity period at this instant; null:
    // no condition.
    const FILETIME* pftTime;
} CERTIFICATE_FILTER, *PCERTIFICATE_FILTER;
typedef const CERTIFICATE_FILTER* PCCERTIFICATE_FILTER;

// A list of certificate contexts, each element holding its own reference.
using CertificateList = std::vector<UniqueCertContext>;
// A list of texts: filter alternatives, provider names.
using TextList = std::vector<WString>;

// Signature-algorithm prefixes of the two key families.
inline constexpr char kRsaSignatureAlgPrefix[] = "1.2.840.113549";
inline constexpr char kSm2SignatureAlgPrefix[] = "1.2.156.10197";

// ParseFilters: appends the pieces of pwszText cut at every "#" to vtrFilters,
// empty pieces included, in order, each cut to its first 255 characters. A
// null text appends nothing. Returns 0 or E_OUTOFMEMORY (vtrFilters emptied).
[[nodiscard]] HRESULT ParseFilters(LPCWSTR pwszText, TextList& vtrFilters);

// SplitStrings: appends the pieces of pwszText cut at every "||" to
// vtrStrings, in order, untruncated. The first empty piece ends the split: an
// empty text, or one that starts with "||", appends nothing, and nothing after
// two adjacent separators is taken. A null text appends nothing. Returns 0 or
// E_OUTOFMEMORY (vtrStrings emptied).
[[nodiscard]] HRESULT SplitStrings(LPCWSTR pwszText, TextList& vtrStrings);

// DistinctProviderNames: leaves in vtrNames the first of the names that
// name one provider, in order and as first spelt, and removes the others.
// Two names name one provider when they are equal but for the case of the
// letters A-Z: provider lookups ignore it, and so does CheckCSPName, so the
// removed names change no outcome. The cost grows with the names' total
// length, however many repeat. Returns 0 or E_OUTOFMEMORY (vtrNames emptied).
[[nodiscard]] HRESULT DistinctProviderNames(TextList& vtrNames);

// ConvertStringToBinaryData: the bytes of the hexadecimal text pwszHex (0-9,
// a-f, A-F, an even number of them), read from the end: byte 0 is the last
// pair, byte 1 the pair before it, and so on, so a serial number written most
// significant byte first becomes the least-significant-first order of
// CERT_INFO. Hands out the bytes in *pData (none for an empty text). Returns
// 0, E_INVALIDARG for a null, odd-length or non-hexadecimal text, E_POINTER or
// E_OUTOFMEMORY.
[[nodiscard]] HRESULT ConvertStringToBinaryData(LPCWSTR pwszHex, std::vector<BYTE>* pData);

// The checks, in the order FilterCertificates applies them. Each returns 0
// when the certificate passes (an empty condition always passes) and a failure
// code naming why it does not; E_INVALIDARG for a null certificate.
//
// CheckCertSubjectName, CheckCertIssuer: E_FAIL when no alternative of
// vtrFilters (ParseFilters' pieces) occurs in the subject (issuer) text,
// ignoring case; an empty list or an empty alternative passes.
[[nodiscard]] HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCertContext, const TextList& vtrFilters);
[[nodiscard]] HRESULT CheckCertIssuer(PCCERT_CONTEXT pCertContext, const TextList& vtrFilters);
// CheckCertKeyUsage: VURO_E_NO_KEY_USAGE without the key-usage extension,
// VURO_E_INVALID_CERT_USAGE when its first byte shares no bit with dwKeyUsage.
[[nodiscard]] HRESULT CheckCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD dwKeyUsage);
// CheckCertSubjectKeyID: E_INVALIDARG for a malformed text,
// VURO_E_NO_SUBJECT_KEY_ID without the extension, E_FAIL when it differs.
[[nodiscard]] HRESULT CheckCertSubjectKeyID(PCCERT_CONTEXT pCertContext, LPCWSTR pwszSubjectKeyID);
// CheckCertSerialNumber: E_INVALIDARG for a malformed text, E_FAIL when the
// serial differs in length or content.
[[nodiscard]] HRESULT CheckCertSerialNumber(PCCERT_CONTEXT pCertContext, LPCWSTR pwszSerialNumber);
// CheckCertTimeValidity: E_FAIL when *pftTime lies outside the validity period.
[[nodiscard]] HRESULT CheckCertTimeValidity(PCCERT_CONTEXT pCertContext, const FILETIME* pftTime);
// CheckCertSignatureAlg: E_FAIL when the signature algorithm's identifier does
// not start with pszPrefix.
[[nodiscard]] HRESULT CheckCertSignatureAlg(PCCERT_CONTEXT pCertContext, LPCSTR pszPrefix);
// CheckCSPName: the key-provider property's failure code (CRYPT_E_NOT_FOUND
// without it), E_FAIL when no name of vtrCSPNames occurs in its provider name,
// ignoring case; an empty list passes without reading the property.
[[nodiscard]] HRESULT CheckCSPName(PCCERT_CONTEXT pCertContext, const TextList& vtrCSPNames);
// CheckCertPrivateKey: when fPrivateKey is exactly 1, acquires the
// certificate's private key and releases it at once; the acquisition's failure
// code when that fails.
[[nodiscard]] HRESULT CheckCertPrivateKey(PCCERT_CONTEXT pCertContext, BOOL fPrivateKey);

// FilterConditions: a filter with its texts split (provider names each once,
// DistinctProviderNames), for checking many certificates without splitting
// them again. Fill it with PrepareFilter; it points at the caller's filter
// texts, which must outlive it.
struct FilterConditions {
    CERTIFICATE_FILTER stFilter{};
    TextList vtrSubjects;
    TextList vtrIssuers;
    TextList vtrCSPNames;
};
// PrepareFilter: splits the texts of pFilter (null: the empty filter) into
// *pConditions. Returns 0, E_POINTER or E_OUTOFMEMORY.
[[nodiscard]] HRESULT PrepareFilter(PCCERTIFICATE_FILTER pFilter, FilterConditions* pConditions);
// CheckCertificateFields: checks 1 to 7 (names, key usage, key identifier,
// serial, validity, signature algorithm), what the certificate says of itself;
// the first failing check's code, or 0.
[[nodiscard]] HRESULT CheckCertificateFields(PCCERT_CONTEXT pCertContext,
                                             const FilterConditions& conditions);
// CheckCertificateKey: checks 8 and 9 (provider name, private key), what the
// system knows of the certificate's key; the first failing check's code, or 0.
[[nodiscard]] HRESULT CheckCertificateKey(PCCERT_CONTEXT pCertContext,
                                          const FilterConditions& conditions);

// FilterCertificates: appends to vtrOut a new reference to every certificate
// of vtrIn, in order, that passes all nine checks of pFilter (null: the empty
// filter). A certificate that fails a check is left out; that is no failure of
// the call, and neither is an empty result. vtrIn is not changed. Returns 0 or
// E_OUTOFMEMORY (vtrOut emptied).
[[nodiscard]] HRESULT FilterCertificates(PCCERTIFICATE_FILTER pFilter, CertificateList& vtrOut,
                                         const CertificateList& vtrIn);

// ExtractCertificatesFromStore: appends to vtrOut a reference to every
// certificate of hCertStore, in the store's order. Returns 0, E_INVALIDARG for
// a null store, or E_OUTOFMEMORY (vtrOut emptied).
[[nodiscard]] HRESULT ExtractCertificatesFromStore(HCERTSTORE hCertStore, CertificateList& vtrOut);

// ExtractCertificatesFromLocalStore: the same for the current user's "MY"
// store, opened read-only for the call. Returns 0, the store's opening failure
// as a result code, or E_OUTOFMEMORY (vtrOut emptied on every failure).
[[nodiscard]] HRESULT ExtractCertificatesFromLocalStore(CertificateList& vtrOut);

// FilterCertificatesfromLocalStore: appends to vtrOut the certificates of the
// current user's "MY" store that pass pFilter. Returns 0 or the failure of
// ExtractCertificatesFromLocalStore or FilterCertificates (vtrOut emptied).
[[nodiscard]] HRESULT FilterCertificatesfromLocalStore(PCCERTIFICATE_FILTER pFilter,
                                                       CertificateList& vtrOut);
