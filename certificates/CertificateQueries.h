// The certificate queries as pages and the agents see them: the record text
// of one certificate and the list of a store's certificates that have a
// private key, the single-field queries by kind (QueryCertContextInfo and the
// per-field routines behind it), and the local-time texts. Each routine is a
// thin wrapper over the typed readers of CertificateRecord.h, which new code
// uses directly; the ";" and "||" texts are built from CertificateRecord in one
// place. The installed CSPs are in CspQueries.h.
//
// Every routine returns a result code and sets its out-parameter only on
// success; results are handed out as values (WString, byte vectors).
#pragma once
#include "certificates/CertificateRecord.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

#include <vector>

// Query kinds of QueryCertContextInfo.
constexpr DWORD QUERYID_SUBJECT_FULL = 1;   // subject, X.500 text
constexpr DWORD QUERYID_SUBJECT_SIMPLE = 2; // subject, simple-name text
constexpr DWORD QUERYID_ISSUER = 3;         // issuer, X.500 text
constexpr DWORD QUERYID_SERIALNUMBER = 4;   // serial bytes, least significant first
constexpr DWORD QUERYID_PROVIDERNAME = 5;   // name of the CSP holding the private key
constexpr DWORD QUERYID_TODATE = 6;         // end of validity, UTC
constexpr DWORD QUERYID_FROMDATE = 7;       // start of validity, UTC
constexpr DWORD QUERYID_SUBJECTKEYID = 8;   // subject key identifier bytes
constexpr DWORD QUERYID_KEYUSAGE = 9;       // first byte of the key-usage bits
constexpr DWORD QUERYID_CONTAINERNAME = 10; // key container holding the private key
constexpr DWORD QUERYID_CN = 11;            // simple display name

// Separator between the records of the certificate list and the names of
// the CSP list.
inline constexpr WCHAR kListSeparator[] = TEXT("||");
// Separator between the fields of one certificate record.
inline constexpr WCHAR kFieldSeparator[] = TEXT(";");

// CertificateField: one field as QueryCertContextInfo reads it; the query kind
// says which member holds it.
struct CertificateField {
    WString wstrText;        // the names, the provider's and the container's
    std::vector<BYTE> bytes; // the serial, least significant first; the key identifier
    SYSTEMTIME stTime{};     // the validity bounds, UTC
    BYTE byKeyUsage = 0;     // the first byte of the key-usage bits
};

// GetAllCertificatesInfoinStore: hands out the GetCertificateInfo records of
// every certificate in hCertStore, in the store's order, joined with "||" in
// *pwstrInfo; an empty text when none qualifies.
// Certificates without a key-provider property (CRYPT_E_NOT_FOUND) are left out;
// any other failure ends the listing with its code. Returns 0, E_INVALIDARG for
// a null store, E_POINTER, E_OUTOFMEMORY or the failing record's code.
[[nodiscard]] HRESULT GetAllCertificatesInfoinStore(WString* pwstrInfo, HCERTSTORE hCertStore);

// GetCertificateInfo: hands out "subject;serial;from;to;CSP" for pCertContext
// in *pwstrInfo: the X.500 subject, the serial in
// lower-case hexadecimal most significant byte first, the start and end of
// validity in local time as "YYYY-MM-DD hh:mm:ss" (left in UTC when the
// conversion fails), and the CSP name of the key-provider property. Returns 0,
// E_INVALIDARG for a null certificate, CRYPT_E_NOT_FOUND when the property is
// missing or names no CSP, E_POINTER, E_OUTOFMEMORY or the failing step's code.
[[nodiscard]] HRESULT GetCertificateInfo(WString* pwstrInfo, PCCERT_CONTEXT pstCertContext);

// FormatCertificateInfo: the record text of GetCertificateInfo from a record
// read with CertificateFields::Subject, Serial, Validity and KeyProvider,
// appended to *pwstrText. The one place that writes it. Returns 0,
// CRYPT_E_NOT_FOUND when the record has no key provider, or E_OUTOFMEMORY.
[[nodiscard]] HRESULT FormatCertificateInfo(const CertificateRecord& record, WString* pwstrText);

// FormatLocalTime: "YYYY-MM-DD hh:mm:ss" of the UTC time stUtc in local time,
// as the certificate list shows validity (left in UTC when the conversion
// fails). Returns 0, E_FAIL or E_OUTOFMEMORY.
[[nodiscard]] HRESULT FormatLocalTime(const SYSTEMTIME& stUtc, WString* pwstrText);

// GetCertificateContextProperty: hands out the certificate's key-provider
// property (CRYPT_KEY_PROV_INFO, with the strings it points at inside the same
// buffer; the vector's storage is aligned for the record) in *pData. Returns 0, E_INVALIDARG,
// E_POINTER, E_OUTOFMEMORY or the system error (CRYPT_E_NOT_FOUND when the certificate has no such
// property).
[[nodiscard]] HRESULT GetCertificateContextProperty(PCCERT_CONTEXT pstCertContext,
                                                    std::vector<BYTE>* pData);

// QueryCertContextInfo: reads one field of pstCertContext, chosen by
// dwQueryId, into *pField:
//  - QUERYID_SUBJECT_FULL, QUERYID_SUBJECT_SIMPLE, QUERYID_ISSUER, QUERYID_CN,
//    QUERYID_PROVIDERNAME, QUERYID_CONTAINERNAME: wstrText;
//  - QUERYID_SERIALNUMBER, QUERYID_SUBJECTKEYID: bytes;
//  - QUERYID_TODATE, QUERYID_FROMDATE: stTime, in UTC;
//  - QUERYID_KEYUSAGE: byKeyUsage.
// Returns 0, VURO_E_QUERY_TYPE_NOT_SUPPORTED for another kind, E_POINTER for
// a null field, E_INVALIDARG for a null certificate, E_OUTOFMEMORY, or the
// reader's code.
[[nodiscard]] HRESULT QueryCertContextInfo(CertificateField* pField, PCCERT_CONTEXT pstCertContext,
                                           DWORD dwQueryId);

// GetCertSubject: the subject in the name-string form dwStrType
// (CERT_X500_NAME_STR or CERT_SIMPLE_NAME_STR), most specific relative name
// first, values unquoted, in *pwstrSubject.
[[nodiscard]] HRESULT GetCertSubject(DWORD dwStrType, PCCERT_CONTEXT pstCertContext,
                                     WString* pwstrSubject);

// GetCertIssuer: as GetCertSubject for the issuer, in X.500 form.
[[nodiscard]] HRESULT GetCertIssuer(PCCERT_CONTEXT pstCertContext, WString* pwstrIssuer);

// GetCertCN: the platform's simple display name of the certificate in *pwstrCN.
[[nodiscard]] HRESULT GetCertCN(PCCERT_CONTEXT pstCertContext, WString* pwstrCN);

// GetCertSerialNumber: a copy of the serial bytes, least significant first, in
// *pSerial.
[[nodiscard]] HRESULT GetCertSerialNumber(PCCERT_CONTEXT pstCertContext,
                                          std::vector<BYTE>* pSerial);

// GetCertToDate, GetCertFromDate: the end or start of validity, in UTC, into
// *pstSysTime.
[[nodiscard]] HRESULT GetCertToDate(PCCERT_CONTEXT pstCertContext, SYSTEMTIME* pstSysTime);
[[nodiscard]] HRESULT GetCertFromDate(PCCERT_CONTEXT pstCertContext, SYSTEMTIME* pstSysTime);

// GetCertSubjectKeyID: the octet string of the subject key identifier
// extension in *pKeyId. VURO_E_NO_SUBJECT_KEY_ID without the extension.
[[nodiscard]] HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pstCertContext, std::vector<BYTE>* pKeyId);

// GetCertKeyUsage: the first byte of the key-usage bit string into *pbyUsage
// (digitalSignature is 0x80). VURO_E_NO_KEY_USAGE without the extension.
[[nodiscard]] HRESULT GetCertKeyUsage(PCCERT_CONTEXT pstCertContext, BYTE* pbyUsage);

// GetCertProviderName, GetCertContainerName: acquire the certificate's private
// key and hand out the provider's name or the container's name, converted from
// the provider's narrow text, in *pwstrName. The provider handle is released
// before return.
[[nodiscard]] HRESULT GetCertProviderName(PCCERT_CONTEXT pstCertContext, WString* pwstrName);
[[nodiscard]] HRESULT GetCertContainerName(PCCERT_CONTEXT pstCertContext, WString* pwstrName);

// GetTimeString: hands out "%04d-%02d-%02d %02d:%02d:%02d" of the year, month,
// day, hour, minute and second of *pstSysTime in *pwstrTime.
// Returns 0, E_INVALIDARG for a null time, E_POINTER or E_OUTOFMEMORY.
[[nodiscard]] HRESULT GetTimeString(const SYSTEMTIME* pstSysTime, WString* pwstrTime);

// ConvertUTCtimetoLocalTime: converts *pstSysTime from UTC to local time in
// place, with the local zone's current offset. Returns 0, E_POINTER, or the
// system error (the time is left unchanged).
[[nodiscard]] HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* pstSysTime);
