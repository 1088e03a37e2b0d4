// Typed readers of one certificate context: its names, serial number, validity,
// key usage, subject key identifier, signature algorithm and the key-provider
// link, one field at a time or gathered in a CertificateRecord.
//
// Every reader returns a result code and writes its out-parameter only on
// success; no C++ exception leaves it (running out of memory is
// E_OUTOFMEMORY). A null certificate, one without decoded fields, or a null
// out-parameter is E_INVALIDARG.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

#include <string>
#include <vector>

// CertificateFields: which fields ReadCertificateRecord reads; combine with |.
enum class CertificateFields : DWORD {
    NoField = 0,
    Subject = 0x001,            // wstrSubject
    Issuer = 0x002,             // wstrIssuer
    Serial = 0x004,             // serial, wstrSerialHex
    NotBefore = 0x008,          // stNotBefore
    NotAfter = 0x010,           // stNotAfter
    KeyProvider = 0x020,        // fHasKeyProvider, keyProvider
    KeyUsage = 0x040,           // fHasKeyUsage, byKeyUsage
    SignatureAlgorithm = 0x080, // strSignatureAlgorithm
    SubjectKeyId = 0x100,       // fHasSubjectKeyId, subjectKeyId
    Validity = NotBefore | NotAfter,
    All = 0x1FF,
};

constexpr CertificateFields operator|(CertificateFields a, CertificateFields b) {
    return CertificateFields(DWORD(a) | DWORD(b));
}
// HasFields: whether every field of fWanted is in fSet.
constexpr bool HasFields(CertificateFields fSet, CertificateFields fWanted) {
    return (DWORD(fSet) & DWORD(fWanted)) == DWORD(fWanted);
}

// CertificateKeyProvider: where the certificate's private key lives, as its
// key-provider property (CERT_KEY_PROV_INFO_PROP_ID) says.
struct CertificateKeyProvider {
    WString wstrProviderName;  // the CSP's name
    WString wstrContainerName; // empty when the property names none
    DWORD dwProvType = 0;
    DWORD dwKeySpec = 0; // AT_KEYEXCHANGE or AT_SIGNATURE
};

// CertificateRecord: the fields of one certificate in the forms the system
// shows and filters by. Only the fields a reader was asked for are meaningful.
struct CertificateRecord {
    // Names in X.500 text, most specific relative name first, values unquoted
    // ("CN=Alice, O=Example, C=CN").
    WString wstrSubject;
    WString wstrIssuer;
    // The serial number's bytes as the platform keeps them, least significant
    // first (a leading zero of the DER INTEGER is the last byte), and the same
    // number as lower-case hexadecimal, most significant byte first ("00f1e2").
    std::vector<BYTE> serial;
    WString wstrSerialHex;
    // The validity period, in UTC.
    SYSTEMTIME stNotBefore{};
    SYSTEMTIME stNotAfter{};
    // Whether the certificate has a key-provider property that names a CSP;
    // keyProvider holds it then. A certificate without one has no private key
    // the system can reach through the store.
    bool fHasKeyProvider = false;
    CertificateKeyProvider keyProvider;
    // The first byte of the key-usage bits (digitalSignature 0x80,
    // keyEncipherment 0x20, keyCertSign 0x04, ...), when the extension is there.
    bool fHasKeyUsage = false;
    BYTE byKeyUsage = 0;
    // The dotted object identifier of the issuer's signature algorithm
    // ("1.2.840.113549.1.1.5", "1.2.156.10197.1.501").
    std::string strSignatureAlgorithm;
    // The subject key identifier's bytes, when the extension is there.
    bool fHasSubjectKeyId = false;
    std::vector<BYTE> subjectKeyId;
};

// ReadCertificateRecord: reads the fields of fWanted from pCert into *pRecord,
// in the order of CertificateFields, and leaves the other fields as they were.
// Missing extensions and a missing key-provider property are not failures:
// their flags say so. On failure (the first failing field's code; a malformed
// extension, memory) *pRecord is unchanged; *pfFailed, when given, then names
// that field.
[[nodiscard]] HRESULT ReadCertificateRecord(PCCERT_CONTEXT pCert, CertificateFields fWanted,
                                            CertificateRecord* pRecord,
                                            CertificateFields* pfFailed = nullptr);

// ReadCertificateSubject: the subject in the name-string form dwStrType
// (CERT_X500_NAME_STR, CERT_SIMPLE_NAME_STR), most specific first, unquoted.
// The text is everything the platform wrote, without the terminator.
[[nodiscard]] HRESULT ReadCertificateSubject(PCCERT_CONTEXT pCert, DWORD dwStrType,
                                             WString* pwstrSubject);

// ReadCertificateIssuer: the issuer, as ReadCertificateSubject in X.500 form.
[[nodiscard]] HRESULT ReadCertificateIssuer(PCCERT_CONTEXT pCert, WString* pwstrIssuer);

// ReadCertificateDisplayName: the platform's simple display name (the common
// name, or another attribute of the subject when it has none).
[[nodiscard]] HRESULT ReadCertificateDisplayName(PCCERT_CONTEXT pCert, WString* pwstrName);

// ReadCertificateSerial: the serial number's bytes, least significant first.
[[nodiscard]] HRESULT ReadCertificateSerial(PCCERT_CONTEXT pCert, std::vector<BYTE>* pSerial);

// ReadCertificateNotBefore, ReadCertificateNotAfter: a bound of the validity
// period as calendar time in UTC; the system error when it is no calendar time.
[[nodiscard]] HRESULT ReadCertificateNotBefore(PCCERT_CONTEXT pCert, SYSTEMTIME* pstTime);
[[nodiscard]] HRESULT ReadCertificateNotAfter(PCCERT_CONTEXT pCert, SYSTEMTIME* pstTime);

// ReadCertificateKeyUsage: the first byte of the key-usage bits (0 for an
// empty bit string). VURO_E_NO_KEY_USAGE without the extension.
[[nodiscard]] HRESULT ReadCertificateKeyUsage(PCCERT_CONTEXT pCert, BYTE* pbyUsage);

// ReadCertificateSubjectKeyId: the subject key identifier's bytes.
// VURO_E_NO_SUBJECT_KEY_ID without the extension.
[[nodiscard]] HRESULT ReadCertificateSubjectKeyId(PCCERT_CONTEXT pCert, std::vector<BYTE>* pKeyId);

// ReadCertificateKeyProvider: the key-provider property. CRYPT_E_NOT_FOUND
// when the certificate has none or it names no CSP.
[[nodiscard]] HRESULT ReadCertificateKeyProvider(PCCERT_CONTEXT pCert,
                                                 CertificateKeyProvider* pProvider);

// ReadPrivateKeyProviderText: acquires the certificate's private key (which
// must be reachable: the platform's code otherwise, CRYPT_E_NO_KEY_PROPERTY
// without a key link) and reads the provider parameter dwParam (PP_NAME,
// PP_CONTAINER), a narrow text, as UTF-16. The provider is released again.
[[nodiscard]] HRESULT ReadPrivateKeyProviderText(PCCERT_CONTEXT pCert, DWORD dwParam,
                                                 WString* pwstrText);
