// Part of the POSIX stand-in for <wincrypt.h> (include that instead):
// cryptographic service providers, keys and hashes, as advapi32 declares them.
// Implemented in platform/advapi32/crypt_api.cpp over the provider table of
// platform/csp.
#pragma once
#include "../windows.h"

#ifdef __cplusplus
extern "C" {
#endif

// --- handles and algorithm identifiers ----------------------------------------
typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef unsigned int ALG_ID;

#define ALG_CLASS_SIGNATURE (1 << 13)
#define ALG_CLASS_DATA_ENCRYPT (3 << 13)
#define ALG_CLASS_HASH (4 << 13)
#define ALG_CLASS_KEY_EXCHANGE (5 << 13)
#define GET_ALG_CLASS(x) ((x) & (7 << 13))

#define CALG_MD5 0x00008003
#define CALG_SHA1 0x00008004
#define CALG_SHA 0x00008004
#define CALG_RSA_SIGN 0x00002400
#define CALG_RSA_KEYX 0x0000a400
#define CALG_DES 0x00006601
#define CALG_3DES 0x00006603

// The key pair a container holds: AT_KEYEXCHANGE decrypts, AT_SIGNATURE signs.
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

// --- provider names and types -------------------------------------------------
#define PROV_RSA_FULL 1
#define PROV_RSA_AES 24
#define MS_DEF_PROV_W u"Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_W u"Microsoft Enhanced Cryptographic Provider v1.0"
#define MS_ENH_RSA_AES_PROV_W u"Microsoft Enhanced RSA and AES Cryptographic Provider"

// --- CryptAcquireContext flags ------------------------------------------------
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040

// --- CryptGenKey / CryptImportKey / CryptExportKey flags ----------------------
// The upper 16 bits of CryptGenKey's flags carry the key length in bits.
#define CRYPT_EXPORTABLE 0x00000001
#define CRYPT_USER_PROTECTED 0x00000002
#define CRYPT_OAEP 0x00000040

// Blob types.
#define SIMPLEBLOB 0x1
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define CUR_BLOB_VERSION 2

// PUBLICKEYSTRUC / BLOBHEADER: the eight bytes that open every key blob.
typedef struct _PUBLICKEYSTRUC {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

// RSAPUBKEY follows the header of RSA blobs: magic "RSA1" (public) or "RSA2"
// (private), bit length, public exponent; then the numbers, least significant
// byte first.
typedef struct _RSAPUBKEY {
    DWORD magic;
    DWORD bitlen;
    DWORD pubexp;
} RSAPUBKEY;

// --- provider parameters (CryptGetProvParam) ----------------------------------
#define PP_ENUMALGS 1
#define PP_ENUMCONTAINERS 2
#define PP_IMPTYPE 3
#define PP_NAME 4
#define PP_VERSION 5
#define PP_CONTAINER 6
#define PP_PROVTYPE 16
#define PP_ENUMALGS_EX 22
#define PP_KEYEXCHANGE_PIN 32
#define PP_SIGNATURE_PIN 33
#define PP_UNIQUE_CONTAINER 36

#define CRYPT_FIRST 1
#define CRYPT_NEXT 2

#define CRYPT_IMPL_HARDWARE 1
#define CRYPT_IMPL_SOFTWARE 2
#define CRYPT_IMPL_MIXED 3
#define CRYPT_IMPL_UNKNOWN 4
#define CRYPT_IMPL_REMOVABLE 8

// PROV_ENUMALGS_EX: one entry of PP_ENUMALGS_EX. The name fields are ANSI.
typedef struct _PROV_ENUMALGS_EX {
    ALG_ID aiAlgid;
    DWORD dwDefaultLen;
    DWORD dwMinLen;
    DWORD dwMaxLen;
    DWORD dwProtocols;
    DWORD dwNameLen;
    CHAR szName[20];
    DWORD dwLongNameLen;
    CHAR szLongName[40];
} PROV_ENUMALGS_EX;

// --- key parameters (CryptGetKeyParam / CryptSetKeyParam) ---------------------
#define KP_IV 1
#define KP_PADDING 3
#define KP_MODE 4
#define KP_PERMISSIONS 6
#define KP_ALGID 7
#define KP_BLOCKLEN 8
#define KP_KEYLEN 9
#define KP_CERTIFICATE 26

#define CRYPT_MODE_CBC 1
#define CRYPT_MODE_ECB 2

#define CRYPT_EXPORT 0x0004
#define CRYPT_READ 0x0008
#define CRYPT_WRITE 0x0010

// --- hash parameters (CryptGetHashParam) --------------------------------------
#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004

// --- entry points ---------------------------------------------------------------
// Every call returns TRUE on success; on failure FALSE with the reason in the
// thread's last error (NTE_* values, ERROR_MORE_DATA, ERROR_INVALID_HANDLE...).
// Output buffers follow one rule: a null buffer asks for the size (TRUE, size in
// the length argument); a buffer too small fails with ERROR_MORE_DATA and the
// size needed.

// CryptEnumProvidersW: the dwIndex-th installed provider's name and type;
// ERROR_NO_MORE_ITEMS past the last one.
BOOL WINAPI CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags,
                                DWORD* pdwProvType, LPWSTR szProvName, DWORD* pcbProvName);

// CryptAcquireContextW: opens (or with CRYPT_NEWKEYSET creates) the named
// container of the named provider; a null container names the user's default
// one; CRYPT_VERIFYCONTEXT opens no container; CRYPT_DELETEKEYSET deletes the
// container and hands out no handle. Release the handle with
// CryptReleaseContext.
BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                 DWORD dwProvType, DWORD dwFlags);
BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags);
// CryptSetProvParam: PP_KEYEXCHANGE_PIN / PP_SIGNATURE_PIN (a zero-terminated
// ANSI PIN used instead of asking the user) where the provider takes them.
BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer);

// CryptGenKey: AT_KEYEXCHANGE / AT_SIGNATURE replace the container's key pair
// of that kind; a session algorithm gives a session key. Destroy the handle
// with CryptDestroyKey (the container keeps its key pairs).
BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
// CryptGetUserKey: the container's key pair of that kind, or NTE_NO_KEY.
BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey);
// CryptExportKey: PUBLICKEYBLOB, PRIVATEKEYBLOB (exportable keys only,
// NTE_BAD_KEY_STATE otherwise) or SIMPLEBLOB (a session key under hExpKey).
BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                           BYTE* pbData, DWORD* pdwDataLen);
// CryptImportKey: a blob of the kinds above; a private key pair becomes the
// container's key of its kind. Destroy the handle with CryptDestroyKey.
BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                           DWORD dwFlags, HCRYPTKEY* phKey);
BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                             DWORD dwFlags);
BOOL WINAPI CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
// CryptDecrypt: in place; *pdwDataLen is the ciphertext length on entry and
// the plaintext length on return. RSA keys take the ciphertext least
// significant byte first.
BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                         DWORD* pdwDataLen);

// CryptCreateHash: a hash object of the provider; destroy with CryptDestroyHash.
BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                            HCRYPTHASH* phHash);
BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags);
BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);
// CryptSignHashW: signs the hash with the container's key of dwKeySpec; RSA
// signatures come least significant byte first. The hash is finished after it.
BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                           BYTE* pbSignature, DWORD* pdwSigLen);

// CryptVerifySignatureW: checks a signature (least significant byte first,
// as CryptSignHashW gives it) over the hash with the public key hPubKey.
BOOL WINAPI CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                                  HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags);

// CryptExportPublicKeyInfo: the SubjectPublicKeyInfo of the container's key
// pair of dwKeySpec, as one block in the caller's buffer: the structure
// followed by everything it points to (sizes as for the other calls). RSA
// keys give rsaEncryption with NULL parameters and the DER RSAPublicKey; SM2
// keys give id-ecPublicKey with the SM2 curve and the point 04 X Y. The
// structure itself is declared with the certificate contexts.
struct _CERT_PUBLIC_KEY_INFO;
BOOL WINAPI CryptExportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwKeySpec,
                                     DWORD dwCertEncodingType, struct _CERT_PUBLIC_KEY_INFO* pInfo,
                                     DWORD* pcbInfo);

// CryptAcquireCertificatePrivateKey: the provider and key (exchange or signature) that
// a certificate's CERT_KEY_PROV_INFO_PROP_ID names. CRYPT_ACQUIRE_COMPARE_KEY_FLAG
// also checks that the container's public key is the certificate's
// (NTE_BAD_PUBLIC_KEY otherwise). Without CRYPT_ACQUIRE_CACHE_FLAG the caller
// releases the handle (*pfCallerFreeProvOrNCryptKey TRUE); with it the handle
// is shared and kept for the life of the process (FALSE). A certificate
// without the property, and without a certificate of the same public key
// linked in the user's "MY" store (not looked for with
// CRYPT_ACQUIRE_NO_HEALING), fails with CRYPT_E_NO_KEY_PROPERTY. The certificate
// context is declared with the stores.
typedef ULONG_PTR HCRYPTPROV_OR_NCRYPT_KEY_HANDLE;
#define CRYPT_ACQUIRE_CACHE_FLAG 0x00000001
#define CRYPT_ACQUIRE_USE_PROV_INFO_FLAG 0x00000002
#define CRYPT_ACQUIRE_COMPARE_KEY_FLAG 0x00000004
#define CRYPT_ACQUIRE_NO_HEALING 0x00000008
#define CRYPT_ACQUIRE_SILENT_FLAG 0x00000040
struct _CERT_CONTEXT;
BOOL WINAPI CryptAcquireCertificatePrivateKey(
    const struct _CERT_CONTEXT* pCert, DWORD dwFlags, void* pvParameters,
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
    BOOL* pfCallerFreeProvOrNCryptKey);

#ifdef __cplusplus
}
#endif
