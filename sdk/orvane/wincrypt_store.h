// Part of the POSIX stand-in for <wincrypt.h> (include that instead):
// certificate contexts, their properties and certificate stores, as crypt32
// declares them.
#pragma once
#include "../windows.h"

#ifdef __cplusplus
extern "C" {
#endif

// --- certificates ---------------------------------------------------------------
typedef void* HCERTSTORE;
typedef ULONG_PTR HCRYPTPROV_LEGACY;

typedef struct _CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO, *PCERT_PUBLIC_KEY_INFO;

typedef struct _CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;
typedef const CERT_EXTENSION* PCCERT_EXTENSION;

#define CERT_V1 0
#define CERT_V2 1
#define CERT_V3 2

// CERT_INFO: the to-be-signed part of a certificate. SerialNumber holds the
// integer's content octets least significant byte first; Issuer and Subject
// are the encoded names; extension values are their encoded contents.
typedef struct _CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

// --- properties -----------------------------------------------------------------
typedef struct _CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE* pbData;
    DWORD cbData;
    DWORD dwFlags;
} CRYPT_KEY_PROV_PARAM, *PCRYPT_KEY_PROV_PARAM;

typedef struct _CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    PCRYPT_KEY_PROV_PARAM rgProvParam;
    DWORD dwKeySpec;
} CRYPT_KEY_PROV_INFO, *PCRYPT_KEY_PROV_INFO;

#define CERT_SET_KEY_PROV_HANDLE_PROP_ID 0x00000001
#define CERT_SET_KEY_CONTEXT_PROP_ID 0x00000001

#define CERT_KEY_PROV_HANDLE_PROP_ID 1
#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_SHA1_HASH_PROP_ID 3
#define CERT_MD5_HASH_PROP_ID 4
#define CERT_HASH_PROP_ID CERT_SHA1_HASH_PROP_ID
#define CERT_KEY_CONTEXT_PROP_ID 5
#define CERT_KEY_SPEC_PROP_ID 6
#define CERT_FRIENDLY_NAME_PROP_ID 11
#define CERT_KEY_IDENTIFIER_PROP_ID 20
#define CERT_FIRST_USER_PROP_ID 0x00008000
#define CERT_LAST_USER_PROP_ID 0x0000FFFF

#define CERT_SET_PROPERTY_IGNORE_PERSIST_ERROR_FLAG 0x80000000
#define CERT_SET_PROPERTY_INLINE_PERSIST_FLAG 0x40000000

// --- stores -----------------------------------------------------------------------
#define CERT_STORE_PROV_MEMORY ((LPCSTR)2)
#define CERT_STORE_PROV_PKCS7 ((LPCSTR)5)
#define CERT_STORE_PROV_SYSTEM_A ((LPCSTR)9)
#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)
#define CERT_STORE_PROV_SYSTEM CERT_STORE_PROV_SYSTEM_W

#define CERT_STORE_NO_CRYPT_RELEASE_FLAG 0x00000001
#define CERT_STORE_SET_LOCALIZED_NAME_FLAG 0x00000002
#define CERT_STORE_DEFER_CLOSE_UNTIL_LAST_FREE_FLAG 0x00000004
#define CERT_STORE_DELETE_FLAG 0x00000010
#define CERT_STORE_SHARE_STORE_FLAG 0x00000040
#define CERT_STORE_SHARE_CONTEXT_FLAG 0x00000080
#define CERT_STORE_MANIFOLD_FLAG 0x00000100
#define CERT_STORE_ENUM_ARCHIVED_FLAG 0x00000200
#define CERT_STORE_UPDATE_KEYID_FLAG 0x00000400
#define CERT_STORE_BACKUP_RESTORE_FLAG 0x00000800
#define CERT_STORE_MAXIMUM_ALLOWED_FLAG 0x00001000
#define CERT_STORE_CREATE_NEW_FLAG 0x00002000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000
#define CERT_STORE_READONLY_FLAG 0x00008000

#define CERT_SYSTEM_STORE_LOCATION_MASK 0x00FF0000
#define CERT_SYSTEM_STORE_LOCATION_SHIFT 16
#define CERT_SYSTEM_STORE_CURRENT_USER_ID 1
#define CERT_SYSTEM_STORE_LOCAL_MACHINE_ID 2
#define CERT_SYSTEM_STORE_CURRENT_USER                                                             \
    (CERT_SYSTEM_STORE_CURRENT_USER_ID << CERT_SYSTEM_STORE_LOCATION_SHIFT)
#define CERT_SYSTEM_STORE_LOCAL_MACHINE                                                            \
    (CERT_SYSTEM_STORE_LOCAL_MACHINE_ID << CERT_SYSTEM_STORE_LOCATION_SHIFT)

#define CERT_CLOSE_STORE_FORCE_FLAG 0x00000001
#define CERT_CLOSE_STORE_CHECK_FLAG 0x00000002

#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4
#define CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES 5
#define CERT_STORE_ADD_NEWER 6
#define CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES 7

#define CERT_STORE_CTRL_RESYNC 1
#define CERT_STORE_CTRL_NOTIFY_CHANGE 2
#define CERT_STORE_CTRL_COMMIT 3
#define CERT_STORE_CTRL_AUTO_RESYNC 4
#define CERT_STORE_CTRL_CANCEL_NOTIFY 5

// --- names --------------------------------------------------------------------------
#define CERT_SIMPLE_NAME_STR 1
#define CERT_OID_NAME_STR 2
#define CERT_X500_NAME_STR 3
#define CERT_XML_NAME_STR 4

#define CERT_NAME_STR_SEMICOLON_FLAG 0x40000000
#define CERT_NAME_STR_NO_PLUS_FLAG 0x20000000
#define CERT_NAME_STR_NO_QUOTING_FLAG 0x10000000
#define CERT_NAME_STR_CRLF_FLAG 0x08000000
#define CERT_NAME_STR_COMMA_FLAG 0x04000000
#define CERT_NAME_STR_REVERSE_FLAG 0x02000000
#define CERT_NAME_STR_FORWARD_FLAG 0x01000000

#define CERT_NAME_EMAIL_TYPE 1
#define CERT_NAME_RDN_TYPE 2
#define CERT_NAME_ATTR_TYPE 3
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_FRIENDLY_DISPLAY_TYPE 5

#define CERT_NAME_ISSUER_FLAG 0x00000001

#define szOID_COMMON_NAME "2.5.4.3"
#define szOID_COUNTRY_NAME "2.5.4.6"
#define szOID_ORGANIZATION_NAME "2.5.4.10"
#define szOID_ORGANIZATIONAL_UNIT_NAME "2.5.4.11"
#define szOID_RSA_emailAddr "1.2.840.113549.1.9.1"
#define szOID_BASIC_CONSTRAINTS2 "2.5.29.19"
#define szOID_ECC_PUBLIC_KEY "1.2.840.10045.2.1"

// --- certificate contexts ------------------------------------------------------------

// CertCreateCertificateContext: parses cbCertEncoded bytes of a DER certificate
// into a new context (reference count 1; its hCertStore an empty store). Free it with
// CertFreeCertificateContext. Malformed input fails with a CRYPT_E_ASN1_* error.
PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                   const BYTE* pbCertEncoded, DWORD cbCertEncoded);
// CertDuplicateCertificateContext: adds a reference and returns the same context.
PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
// CertFreeCertificateContext: drops a reference (null is fine); always TRUE.
BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

// CertGetCertificateContextProperty: copies a property's value. Null pvData asks
// for the size; a short buffer fails with ERROR_MORE_DATA and the size needed.
// CERT_KEY_PROV_INFO_PROP_ID comes back as one block: a CRYPT_KEY_PROV_INFO
// followed by everything it points to. A missing property: CRYPT_E_NOT_FOUND.
BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                              void* pvData, DWORD* pcbData);
// CertSetCertificateContextProperty: sets (or with null pvData removes) a
// property. pvData is a CRYPT_KEY_PROV_INFO* for CERT_KEY_PROV_INFO_PROP_ID and
// a CRYPT_DATA_BLOB* for the others. A context in a system store writes the
// change through to the store.
BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                              DWORD dwFlags, const void* pvData);

// CertFindExtension: the first extension with that identifier, or null
// (CRYPT_E_NOT_FOUND).
PCERT_EXTENSION WINAPI CertFindExtension(LPCSTR pszObjId, DWORD cExtensions,
                                         CERT_EXTENSION rgExtensions[]);
// CertVerifyTimeValidity: -1 before NotBefore, 1 after NotAfter, else 0. A null
// time means now.
LONG WINAPI CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo);
// CertCompareCertificateName: TRUE when both encoded names are byte-identical.
BOOL WINAPI CertCompareCertificateName(DWORD dwCertEncodingType, PCERT_NAME_BLOB pCertName1,
                                       PCERT_NAME_BLOB pCertName2);

// CertNameToStrW: the encoded name as text. Returns the characters written,
// terminator included; with null psz or csz 0, the characters needed. A short
// buffer receives as much as fits, terminated.
DWORD WINAPI CertNameToStrW(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType,
                            LPWSTR psz, DWORD csz);
// CertGetNameStringW: a display name of the subject (or, with
// CERT_NAME_ISSUER_FLAG, the issuer). Sizes as for CertNameToStrW; no name
// gives the empty string (1).
DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString);

// --- certificate stores ---------------------------------------------------------------

// CertOpenStore: a memory store, a read-only store over a PKCS #7 SignedData
// (pvPara a CRYPT_DATA_BLOB*), or a system store (pvPara its name; the location
// in dwFlags). Close it with CertCloseStore; contexts handed out keep it alive.
HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                                HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags, const void* pvPara);
// CertCloseStore: releases the handle (null is fine).
BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
// CertEnumCertificatesInStore: the certificate after pPrevCertContext (which it
// frees), or the first one; null at the end (CRYPT_E_NOT_FOUND).
PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                  PCCERT_CONTEXT pPrevCertContext);
// CertAddEncodedCertificateToStore / CertAddCertificateContextToStore: add a
// certificate as dwAddDisposition says. ppCertContext (optional) receives the
// store's context; the caller frees it.
BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                             const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                             DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext);
BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                             DWORD dwAddDisposition,
                                             PCCERT_CONTEXT* ppStoreContext);
// CertDeleteCertificateFromStore: removes the certificate from its store and
// frees pCertContext, on failure too.
BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);
// CertControlStore: on a system store CERT_STORE_CTRL_COMMIT and
// CERT_STORE_CTRL_RESYNC succeed (changes are written as they happen); anything
// else, and any control of a memory store, fails with ERROR_CALL_NOT_IMPLEMENTED.
BOOL WINAPI CertControlStore(HCERTSTORE hCertStore, DWORD dwFlags, DWORD dwCtrlType,
                             void const* pvCtrlPara);

#ifdef __cplusplus
}
#endif
