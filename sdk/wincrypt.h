// POSIX stand-in for <wincrypt.h>: only what the system calls, with the SDK's
// names, values and layouts. Implemented under platform/crypt32 (and, for the
// provider entry points, platform/advapi32).
//
// Sections, in the order the SDK keeps them apart:
//   encoding types
//   blobs and the structures built from them
//   object identifiers
//   structure types for the encoder and decoder
//   encoder and decoder flags and entry points
// Certificate stores, contexts and providers get their own sections when the
// stand-in grows them.
#pragma once
#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif

// --- encoding types -----------------------------------------------------------
// The low word names the certificate encoding, the high word the message
// encoding; callers usually pass both.
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000
#define CERT_ENCODING_TYPE_MASK 0x0000ffff
#define CMSG_ENCODING_TYPE_MASK 0xffff0000
#define GET_CERT_ENCODING_TYPE(X) ((X)&CERT_ENCODING_TYPE_MASK)
#define GET_CMSG_ENCODING_TYPE(X) ((X)&CMSG_ENCODING_TYPE_MASK)

// --- blobs and the structures built from them ---------------------------------
typedef struct _CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_UINT_BLOB, *PCRYPT_UINT_BLOB, CRYPT_OBJID_BLOB,
    *PCRYPT_OBJID_BLOB, CERT_NAME_BLOB, *PCERT_NAME_BLOB, CERT_RDN_VALUE_BLOB,
    *PCERT_RDN_VALUE_BLOB, CERT_BLOB, *PCERT_BLOB, CRL_BLOB, *PCRL_BLOB, DATA_BLOB, *PDATA_BLOB,
    CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB, *PCRYPT_HASH_BLOB, CRYPT_DIGEST_BLOB,
    *PCRYPT_DIGEST_BLOB, CRYPT_DER_BLOB, *PCRYPT_DER_BLOB, CRYPT_ATTR_BLOB, *PCRYPT_ATTR_BLOB;

// Integer blobs (serial numbers and the like) hold the value least significant
// byte first, as a two's-complement number.

typedef struct _CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
} CRYPT_BIT_BLOB, *PCRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER, *PCRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CRYPT_ATTRIBUTE {
    LPSTR pszObjId;
    DWORD cValue;
    PCRYPT_ATTR_BLOB rgValue;
} CRYPT_ATTRIBUTE, *PCRYPT_ATTRIBUTE;

typedef struct _CRYPT_ATTRIBUTES {
    DWORD cAttr;
    PCRYPT_ATTRIBUTE rgAttr;
} CRYPT_ATTRIBUTES, *PCRYPT_ATTRIBUTES;

typedef struct _CRYPT_CONTENT_INFO {
    LPSTR pszObjId;
    CRYPT_DER_BLOB Content;
} CRYPT_CONTENT_INFO, *PCRYPT_CONTENT_INFO;

typedef struct _CMSG_SIGNER_INFO {
    DWORD dwVersion;
    CERT_NAME_BLOB Issuer;
    CRYPT_INTEGER_BLOB SerialNumber;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
    CRYPT_DATA_BLOB EncryptedHash;
    CRYPT_ATTRIBUTES AuthAttrs;
    CRYPT_ATTRIBUTES UnauthAttrs;
} CMSG_SIGNER_INFO, *PCMSG_SIGNER_INFO;

// Value types of a name value. For CERT_RDN_UTF8_STRING and CERT_RDN_BMP_STRING
// (and the universal string) Value.pbData holds UTF-16 code units and
// Value.cbData their length in bytes; for the others it holds the encoded
// characters themselves.
#define CERT_RDN_ANY_TYPE 0
#define CERT_RDN_ENCODED_BLOB 1
#define CERT_RDN_OCTET_STRING 2
#define CERT_RDN_NUMERIC_STRING 3
#define CERT_RDN_PRINTABLE_STRING 4
#define CERT_RDN_TELETEX_STRING 5
#define CERT_RDN_T61_STRING 5
#define CERT_RDN_VIDEOTEX_STRING 6
#define CERT_RDN_IA5_STRING 7
#define CERT_RDN_GRAPHIC_STRING 8
#define CERT_RDN_VISIBLE_STRING 9
#define CERT_RDN_ISO646_STRING 9
#define CERT_RDN_GENERAL_STRING 10
#define CERT_RDN_UNIVERSAL_STRING 11
#define CERT_RDN_INT4_STRING 11
#define CERT_RDN_BMP_STRING 12
#define CERT_RDN_UNICODE_STRING 12
#define CERT_RDN_UTF8_STRING 13

typedef struct _CERT_NAME_VALUE {
    DWORD dwValueType;
    CERT_RDN_VALUE_BLOB Value;
} CERT_NAME_VALUE, *PCERT_NAME_VALUE;

// --- object identifiers -------------------------------------------------------
#define szOID_RSA_RSA "1.2.840.113549.1.1.1"
#define szOID_RSA_SHA256RSA "1.2.840.113549.1.1.11"
#define szOID_RSA_data "1.2.840.113549.1.7.1"
#define szOID_RSA_contentType "1.2.840.113549.1.9.3"
#define szOID_RSA_messageDigest "1.2.840.113549.1.9.4"
#define szOID_OIWSEC_sha1 "1.3.14.3.2.26"
#define szOID_NIST_sha256 "2.16.840.1.101.3.4.2.1"
#define szOID_SUBJECT_KEY_IDENTIFIER "2.5.29.14"
#define szOID_KEY_USAGE "2.5.29.15"

// --- structure types for the encoder and decoder ------------------------------
// A structure type is either a small number cast to LPCSTR or an object
// identifier string (an extension is decoded by its own identifier).
#define X509_NAME_VALUE ((LPCSTR)6)
#define X509_KEY_USAGE ((LPCSTR)14)
#define PKCS_ATTRIBUTE ((LPCSTR)22)
#define X509_ANY_STRING X509_NAME_VALUE
#define X509_OCTET_STRING ((LPCSTR)25)
#define X509_BITS ((LPCSTR)26)
#define PKCS_CONTENT_INFO ((LPCSTR)33)
#define X509_ALGORITHM_IDENTIFIER ((LPCSTR)74)
#define PKCS7_SIGNER_INFO ((LPCSTR)500)

// --- encoder and decoder flags and entry points -------------------------------
typedef LPVOID(WINAPI* PFN_CRYPT_ALLOC)(size_t cbSize);
typedef VOID(WINAPI* PFN_CRYPT_FREE)(LPVOID pv);

typedef struct _CRYPT_ENCODE_PARA {
    DWORD cbSize;
    PFN_CRYPT_ALLOC pfnAlloc;
    PFN_CRYPT_FREE pfnFree;
} CRYPT_ENCODE_PARA, *PCRYPT_ENCODE_PARA;

typedef struct _CRYPT_DECODE_PARA {
    DWORD cbSize;
    PFN_CRYPT_ALLOC pfnAlloc;
    PFN_CRYPT_FREE pfnFree;
} CRYPT_DECODE_PARA, *PCRYPT_DECODE_PARA;

#define CRYPT_ENCODE_ALLOC_FLAG 0x8000
#define CRYPT_DECODE_NOCOPY_FLAG 0x1
#define CRYPT_DECODE_ALLOC_FLAG 0x8000

// CryptEncodeObjectEx: encodes *pvStructInfo as the DER of lpszStructType.
// Without CRYPT_ENCODE_ALLOC_FLAG, pvEncoded is the caller's buffer of
// *pcbEncoded bytes: null asks for the size (TRUE); too small fails with
// ERROR_MORE_DATA and the size needed in *pcbEncoded. With the flag,
// pvEncoded is a BYTE** that receives a block from pEncodePara->pfnAlloc, or
// else from LocalAlloc (free it with LocalFree). A character outside the
// value type's alphabet fails with CRYPT_E_INVALID_*_STRING and its index in
// *pcbEncoded; an unknown structure or encoding type with ERROR_FILE_NOT_FOUND.
BOOL WINAPI CryptEncodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                const void* pvStructInfo, DWORD dwFlags,
                                PCRYPT_ENCODE_PARA pEncodePara, void* pvEncoded, DWORD* pcbEncoded);
// CryptEncodeObject: CryptEncodeObjectEx without flags, into the caller's buffer.
BOOL WINAPI CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                              const void* pvStructInfo, BYTE* pbEncoded, DWORD* pcbEncoded);

// CryptDecodeObjectEx: decodes cbEncoded bytes as lpszStructType into one
// block that starts with the structure and also holds everything it points
// to. Sizes and CRYPT_DECODE_ALLOC_FLAG work as for CryptEncodeObjectEx
// (pvStructInfo then receives the block's address). Malformed input fails
// with a CRYPT_E_ASN1_* error.
BOOL WINAPI CryptDecodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                const BYTE* pbEncoded, DWORD cbEncoded, DWORD dwFlags,
                                PCRYPT_DECODE_PARA pDecodePara, void* pvStructInfo,
                                DWORD* pcbStructInfo);
// CryptDecodeObject: CryptDecodeObjectEx into the caller's buffer only;
// CRYPT_DECODE_ALLOC_FLAG fails with E_INVALIDARG.
BOOL WINAPI CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                              const BYTE* pbEncoded, DWORD cbEncoded, DWORD dwFlags,
                              void* pvStructInfo, DWORD* pcbStructInfo);

#ifdef __cplusplus
}
#endif

// Providers, keys and hashes (advapi32), then certificate contexts and stores
// (crypt32): each in a header of its own, so that they can grow apart. Code
// includes <wincrypt.h> only, as on Windows.
#include "orvane/wincrypt_csp.h"
#include "orvane/wincrypt_store.h"
