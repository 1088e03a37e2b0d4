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
// Every step hands out an owning value; out parameters are set only on
// success. What differs between RSA and SM2 comes from the request's key
// family (certificates/KeyFamily.h).
#pragma once
#include "certificates/KeyFamily.h"
#include "der/Der.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

inline constexpr char kOidChallengePassword[] = "1.2.840.113549.1.9.7";
inline constexpr char kOidTemporaryPublicKey[] = "1.2.840.113549.1.9.63";
// The challenge password every request carries; issuers expect this value.
inline constexpr char kChallengePassword[] = "482915";

struct PKCS10RequestParams {
    DWORD dwKeySpec;                        // 1 key exchange (single), 2 signature (double)
    HCRYPTPROV hProv;                       // provider holding the new keys
    const WCHAR* pwszSubject;               // subject DN text
    const orvane::keys::KeyFamily* pFamily; // the keys' family
    orvane::der::Bytes signPublicKey;       // as the family exported it
    orvane::der::Bytes tempPublicKey;       // the same; empty for a single certificate
    BOOL bStandardAttributes;               // attribute values inside a SET
};

// PKCS10RequestBase64: builds, signs and Base64-encodes the request into
// `request`; the text has lines of 64 characters joined by CR LF and no PEM
// armour. tempPublicKey is the temporary key of a double certificate. A key
// the family cannot read (an SM2 blob shorter than 140 bytes) is refused with
// NTE_BAD_KEY.
[[nodiscard]] HRESULT PKCS10RequestBase64(const PKCS10RequestParams& params, std::string& request);

// ComposeCertRequestInfo: SEQUENCE { 0, Name, SPKI [, [0] attributes] }; the
// attributes are present only when tempPublicKey is not empty. The keys come
// ready, as the family's RequestPublicKey and RequestTemporaryKey made them.
[[nodiscard]] HRESULT ComposeCertRequestInfo(const PKCS10RequestParams& params,
                                             orvane::der::Bytes signPublicKey,
                                             orvane::der::Bytes tempPublicKey,
                                             std::vector<BYTE>& encoded);

// ComposeSignPublicKeyData: SubjectPublicKeyInfo. RSA: { rsaEncryption, NULL };
// SM2 (pszCurve not empty): { id-ecPublicKey, curve OBJECT IDENTIFIER }.
[[nodiscard]] HRESULT ComposeSignPublicKeyData(const char* pszPublicKeyAlg, const char* pszCurve,
                                               const BYTE* pbPublicKey, DWORD cbPublicKey,
                                               std::vector<BYTE>& encoded);

// ComposeAttributes: [0] { challengePassword, temporary key } in the form
// issuers read: SEQUENCE { OBJECT IDENTIFIER, value } without a SET, unless
// bStandard asks for the PKCS #9 form.
//   temporary key value: OCTET STRING { SEQUENCE { INTEGER 1, OCTET STRING key } }
[[nodiscard]] HRESULT ComposeAttributes(BOOL bStandard, const BYTE* pbTempPublicKey,
                                        DWORD cbTempPublicKey, std::vector<BYTE>& encoded);

// ComposeSignAlgorithm: SEQUENCE { OBJECT IDENTIFIER, NULL }.
[[nodiscard]] HRESULT ComposeSignAlgorithm(const char* pszSignAlg, std::vector<BYTE>& encoded);

// PKCS10CalculateHashandSign: hashes pbData in the provider with the family's
// hash and signs it with the key of dwKeySpec. Hands out the signature most
// significant byte first: RSA as one number, SM2 as r then s (32 bytes each).
[[nodiscard]] HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hProv, DWORD dwKeySpec,
                                                 const orvane::keys::KeyFamily& family,
                                                 const BYTE* pbData, DWORD cbData,
                                                 std::vector<BYTE>& signature);

// ComposeSignature: BIT STRING of the family's signature value: the RSA
// signature as it is, the DER SEQUENCE { INTEGER r, INTEGER s } for SM2.
[[nodiscard]] HRESULT ComposeSignature(const orvane::keys::KeyFamily& family,
                                       const BYTE* pbSignature, DWORD cbSignature,
                                       std::vector<BYTE>& encoded);

// SM2EncodeRawSignature: the 64-byte r || s (big-endian) as
// SEQUENCE { INTEGER r, INTEGER s } with minimal DER integers (a sign octet
// where the top bit is set, no redundant leading zeros, so that verifiers that
// insist on DER accept every signature). Any other size fails with
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA), 0x8007000D.
[[nodiscard]] HRESULT SM2EncodeRawSignature(const BYTE* pbSignature, DWORD cbSignature,
                                            std::vector<BYTE>& encoded);

// TransformBase64EncodedDatatoHoldCRLFPer64Chars: drops every CR and LF of the
// cchSource characters and puts CR LF after each 64 characters, none after the
// last line.
[[nodiscard]] HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(const char* pszSource,
                                                                     DWORD cchSource,
                                                                     std::string& dest);
