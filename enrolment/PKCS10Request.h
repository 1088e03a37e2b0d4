// Encoding side of the certification request: the PKCS #10 DER written with
// the DER writer (one writer per structure, the subject through
// certificates/Names.h), signed in the provider, as Base64 text.
//
//   CertificationRequest ::= SEQUENCE {
//       certificationRequestInfo  SEQUENCE {
//           version        INTEGER 0,
//           subject        Name,
//           subjectPKInfo  SEQUENCE { AlgorithmIdentifier, BIT STRING },
//           attributes     [0] ... (double certificates only) },
//       signatureAlgorithm SEQUENCE { OBJECT IDENTIFIER, NULL },
//       signature          BIT STRING }
//
// Every step hands out a new[] byte array (caller delete[]s) with its length;
// out parameters are set only on success.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <windows.h>
#include <wincrypt.h>

inline constexpr char kOidRsaEncryption[] = "1.2.840.113549.1.1.1";
inline constexpr char kOidSha1WithRsa[] = "1.2.840.113549.1.1.5";
inline constexpr char kOidEcPublicKey[] = "1.2.840.10045.2.1";
inline constexpr char kOidSM2Curve[] = "1.2.156.10197.1.301";
inline constexpr char kOidSM2WithSM3[] = "1.2.156.10197.1.501";
inline constexpr char kOidChallengePassword[] = "1.2.840.113549.1.9.7";
inline constexpr char kOidTemporaryPublicKey[] = "1.2.840.113549.1.9.63";
// The challenge password every request carries; issuers expect this value.
inline constexpr char kChallengePassword[] = "482915";

// The exported SM2 public-key blob: an 8-byte BLOBHEADER, a 4-byte bit length,
// then two 64-byte fields whose first 32 bytes are X and Y, least significant
// byte first.
inline constexpr DWORD kSM2BlobHeaderSize = 8;
inline constexpr DWORD kSM2FieldSize = 64;
inline constexpr DWORD kSM2CoordinateSize = 32;
inline constexpr DWORD kSM2PublicKeyBlobSize = kSM2BlobHeaderSize + 4 + 2 * kSM2FieldSize;
// The temporary SM2 key as it travels in the request: LE32 0xB400, LE32 256,
// then the two 64-byte fields with X and Y turned big-endian.
inline constexpr DWORD kSM2TemporaryKeySize = 4 + 4 + 2 * kSM2FieldSize;

struct PKCS10RequestParams {
    DWORD dwKeySpec;             // 1 key exchange (single), 2 signature (double)
    HCRYPTPROV hProv;            // provider holding the new keys
    const WCHAR* pwszSubject;    // subject DN text
    const char* pszPublicKeyAlg; // kOidRsaEncryption or kOidEcPublicKey
    const char* pszCurve;        // "" or kOidSM2Curve
    const BYTE* pbSignPublicKey; // RSA: RSAPublicKey DER; SM2: the exported blob
    DWORD cbSignPublicKey;
    DWORD cbTempPublicKey;    // 0 for a single certificate
    ALG_ID algHash;           // CALG_SHA1 or the SM2 providers' SM3
    const char* pszSignAlg;   // kOidSha1WithRsa or kOidSM2WithSM3
    char** ppszRequest;       // out: Base64 text, new[], caller delete[]s
    DWORD* pcchRequest;       // out: its length without the NUL
    BOOL bStandardAttributes; // attribute values inside a SET
    BOOL bSM2;
};

// PKCS10RequestBase64: builds, signs and Base64-encodes the request; the text
// has lines of 64 characters joined by CR LF and no PEM armour.
// pbTempPublicKey (params.cbTempPublicKey bytes) is the temporary key of a
// double certificate: RSAPublicKey DER, or the exported SM2 blob. An SM2 blob
// shorter than 140 bytes is refused with NTE_BAD_KEY.
HRESULT PKCS10RequestBase64(const PKCS10RequestParams& params, const BYTE* pbTempPublicKey);

// ComposeCertRequestInfo: SEQUENCE { 0, Name, SPKI [, [0] attributes] }; the
// attributes are present only when cbTempPublicKey is not 0. The keys come
// ready: RSAPublicKey DER, or 04 X Y and the 136-byte temporary form for SM2.
HRESULT ComposeCertRequestInfo(const PKCS10RequestParams& params, const BYTE* pbSignPublicKey,
                               DWORD cbSignPublicKey, const BYTE* pbTempPublicKey,
                               DWORD cbTempPublicKey, BYTE** ppbEncoded, DWORD* pcbEncoded);

// ComposeSignPublicKeyData: SubjectPublicKeyInfo. RSA: { rsaEncryption, NULL };
// SM2 (pszCurve not empty): { id-ecPublicKey, curve OBJECT IDENTIFIER }.
HRESULT ComposeSignPublicKeyData(const char* pszPublicKeyAlg, const char* pszCurve,
                                 const BYTE* pbPublicKey, DWORD cbPublicKey, BYTE** ppbEncoded,
                                 DWORD* pcbEncoded);

// ComposeAttributes: [0] { challengePassword, temporary key } in the form
// issuers read: SEQUENCE { OBJECT IDENTIFIER, value } without a SET, unless
// bStandard asks for the PKCS #9 form.
//   temporary key value: OCTET STRING { SEQUENCE { INTEGER 1, OCTET STRING key } }
HRESULT ComposeAttributes(BOOL bStandard, const BYTE* pbTempPublicKey, DWORD cbTempPublicKey,
                          BYTE** ppbEncoded, DWORD* pcbEncoded);

// ComposeSignAlgorithm: SEQUENCE { OBJECT IDENTIFIER, NULL }.
HRESULT ComposeSignAlgorithm(const char* pszSignAlg, BYTE** ppbEncoded, DWORD* pcbEncoded);

// PKCS10CalculateHashandSign: hashes pbData in the provider with algHash and
// signs it with the key of dwKeySpec. Hands out the signature most significant
// byte first: RSA as one number, SM2 as r then s (32 bytes each).
HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hProv, DWORD dwKeySpec, ALG_ID algHash,
                                   const char* pszPublicKeyAlg, const BYTE* pbData, DWORD cbData,
                                   BYTE** ppbSignature, DWORD* pcbSignature);

// ComposeSignature: BIT STRING of the RSA signature, or of the DER
// SEQUENCE { INTEGER r, INTEGER s } for SM2.
HRESULT ComposeSignature(BOOL bSM2, const BYTE* pbSignature, DWORD cbSignature, BYTE** ppbEncoded,
                         DWORD* pcbEncoded);

// SM2EncodeRawSignature: the 64-byte r || s (big-endian) as
// SEQUENCE { INTEGER r, INTEGER s } with minimal DER integers (a sign octet
// where the top bit is set, no redundant leading zeros, so that verifiers that
// insist on DER accept every signature). Any other size fails with
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA), 0x8007000D.
HRESULT SM2EncodeRawSignature(const BYTE* pbSignature, DWORD cbSignature, BYTE** ppbEncoded,
                              DWORD* pcbEncoded);

// TransformBase64EncodedDatatoHoldCRLFPer64Chars: drops every CR and LF of the
// cchSource characters and puts CR LF after each 64 characters, none after the
// last line. Hands out a NUL-terminated new[] text and its length.
HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(const char* pszSource, DWORD cchSource,
                                                       char** ppszDest, DWORD* pcchDest);
