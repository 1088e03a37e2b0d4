// The certificate queries as pages and the agents see them: the record text
// of one certificate and the list of a store's certificates that have a
// private key, the single-field queries by kind (QueryCertContextInfo and the
// per-field routines behind it), and the local-time texts. Each routine is a
// thin wrapper over the typed readers of CertificateRecord.h, which new code
// uses directly; the ";" and "||" texts are built from CertificateRecord in one
// place. The installed CSPs are in CspQueries.h.
//
// Every routine returns a result code and sets its out-parameters only on
// success. Buffers handed out are allocated with new[] and freed by the caller
// with delete[]; wide texts are NUL-terminated.
#pragma once
#include "certificates/CertificateRecord.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

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

// GetAllCertificatesInfoinStore: hands out the GetCertificateInfo records of
// every certificate in hCertStore, in the store's order, joined with "||" in
// *ppwszInfo (new[], caller delete[]s); an empty text when none qualifies.
// Certificates without a key-provider property (CRYPT_E_NOT_FOUND) are left out;
// any other failure ends the listing with its code. Returns 0, E_INVALIDARG for
// a null store, E_POINTER, E_OUTOFMEMORY or the failing record's code.
HRESULT GetAllCertificatesInfoinStore(WCHAR** ppwszInfo, HCERTSTORE hCertStore);

// GetCertificateInfo: hands out "subject;serial;from;to;CSP" for pCertContext
// in *ppwszInfo (new[], caller delete[]s): the X.500 subject, the serial in
// lower-case hexadecimal most significant byte first, the start and end of
// validity in local time as "YYYY-MM-DD hh:mm:ss" (left in UTC when the
// conversion fails), and the CSP name of the key-provider property. Returns 0,
// E_INVALIDARG for a null certificate, CRYPT_E_NOT_FOUND when the property is
// missing or names no CSP, E_POINTER, E_OUTOFMEMORY or the failing step's code.
HRESULT GetCertificateInfo(WCHAR** ppwszInfo, PCCERT_CONTEXT pstCertContext);

// FormatCertificateInfo: the record text of GetCertificateInfo from a record
// read with CertificateFields::Subject, Serial, Validity and KeyProvider,
// appended to *pwstrText. The one place that writes it. Returns 0,
// CRYPT_E_NOT_FOUND when the record has no key provider, or E_OUTOFMEMORY.
HRESULT FormatCertificateInfo(const CertificateRecord& record, WString* pwstrText);

// FormatLocalTime: "YYYY-MM-DD hh:mm:ss" of the UTC time stUtc in local time,
// as the certificate list shows validity (left in UTC when the conversion
// fails). Returns 0, E_FAIL or E_OUTOFMEMORY.
HRESULT FormatLocalTime(const SYSTEMTIME& stUtc, WString* pwstrText);

// GetCertificateContextProperty: hands out the certificate's key-provider
// property (CRYPT_KEY_PROV_INFO, with the strings it points at inside the same
// buffer) in *ppbData (new[], caller delete[]s) and its size in *pcbData.
// Returns 0, E_INVALIDARG, E_POINTER, E_OUTOFMEMORY or the system error
// (CRYPT_E_NOT_FOUND when the certificate has no such property).
HRESULT GetCertificateContextProperty(DWORD* pcbData, PCCERT_CONTEXT pstCertContext,
                                      BYTE** ppbData);

// QueryCertContextInfo: reads one field of pstCertContext, chosen by dwQueryId:
//  - QUERYID_SUBJECT_FULL, QUERYID_SUBJECT_SIMPLE, QUERYID_ISSUER, QUERYID_CN:
//    *ppvData a WCHAR text (new[], caller delete[]s), *pdwDataLen its
//    characters including the terminator;
//  - QUERYID_PROVIDERNAME, QUERYID_CONTAINERNAME: *ppvData a WCHAR text (new[]),
//    *pdwDataLen its characters without the terminator;
//  - QUERYID_SERIALNUMBER, QUERYID_SUBJECTKEYID: *ppvData a BYTE array (new[]),
//    *pdwDataLen its size;
//  - QUERYID_TODATE, QUERYID_FROMDATE: *ppvData must point at the caller's
//    SYSTEMTIME, which receives the time in UTC; *pdwDataLen is 16;
//  - QUERYID_KEYUSAGE: *ppvData receives the first byte of the key-usage bits
//    as a number (nothing to free); *pdwDataLen is 4.
// Returns 0, VURO_E_QUERY_TYPE_NOT_SUPPORTED for another kind, E_INVALIDARG,
// E_POINTER, E_OUTOFMEMORY, or the reader's code.
HRESULT QueryCertContextInfo(DWORD* pdwDataLen, void** ppvData, PCCERT_CONTEXT pstCertContext,
                             DWORD dwQueryId);

// GetCertSubject: the subject in the name-string form dwStrType
// (CERT_X500_NAME_STR or CERT_SIMPLE_NAME_STR), most specific relative name
// first, values unquoted. Hands out *ppwszSubject (new[]) and its characters
// including the terminator in *pcchSubject.
HRESULT GetCertSubject(DWORD dwStrType, PCCERT_CONTEXT pstCertContext, WCHAR** ppwszSubject,
                       DWORD* pcchSubject);

// GetCertIssuer: as GetCertSubject for the issuer, in X.500 form.
HRESULT GetCertIssuer(PCCERT_CONTEXT pstCertContext, WCHAR** ppwszIssuer, DWORD* pcchIssuer);

// GetCertCN: the platform's simple display name of the certificate. Hands out
// *ppwszCN (new[]) and its characters including the terminator in *pcchCN.
HRESULT GetCertCN(PCCERT_CONTEXT pstCertContext, WCHAR** ppwszCN, DWORD* pcchCN);

// GetCertSerialNumber: a copy of the serial bytes, least significant first, in
// *ppbSerial (new[]) and their count in *pcbSerial.
HRESULT GetCertSerialNumber(PCCERT_CONTEXT pstCertContext, BYTE** ppbSerial, DWORD* pcbSerial);

// GetCertToDate, GetCertFromDate: the end or start of validity, in UTC, into
// *pstSysTime.
HRESULT GetCertToDate(PCCERT_CONTEXT pstCertContext, SYSTEMTIME* pstSysTime);
HRESULT GetCertFromDate(PCCERT_CONTEXT pstCertContext, SYSTEMTIME* pstSysTime);

// GetCertSubjectKeyID: the octet string of the subject key identifier
// extension in *ppbKeyId (new[]) and its size in *pcbKeyId.
// VURO_E_NO_SUBJECT_KEY_ID without the extension.
HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pstCertContext, BYTE** ppbKeyId, DWORD* pcbKeyId);

// GetCertKeyUsage: the first byte of the key-usage bit string into *pbyUsage
// (digitalSignature is 0x80). VURO_E_NO_KEY_USAGE without the extension.
HRESULT GetCertKeyUsage(PCCERT_CONTEXT pstCertContext, BYTE* pbyUsage);

// GetCertProviderName, GetCertContainerName: acquire the certificate's private
// key and hand out the provider's name or the container's name, converted from
// the provider's narrow text, in *ppwszName (new[]) and its characters without
// the terminator in *pcchName. The provider handle is released before return.
HRESULT GetCertProviderName(PCCERT_CONTEXT pstCertContext, WCHAR** ppwszName, DWORD* pcchName);
HRESULT GetCertContainerName(PCCERT_CONTEXT pstCertContext, WCHAR** ppwszName, DWORD* pcchName);

// GetTimeString: hands out "%04d-%02d-%02d %02d:%02d:%02d" of the year, month,
// day, hour, minute and second of *pstSysTime in *ppwszTime (new[]).
// Returns 0, E_INVALIDARG for a null time, E_POINTER or E_OUTOFMEMORY.
HRESULT GetTimeString(const SYSTEMTIME* pstSysTime, WCHAR** ppwszTime);

// ConvertUTCtimetoLocalTime: converts *pstSysTime from UTC to local time in
// place, with the local zone's current offset. Returns 0, E_POINTER, or the
// system error (the time is left unchanged).
HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* pstSysTime);
