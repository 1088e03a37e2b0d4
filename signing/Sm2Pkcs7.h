// SM2 signatures as signed data with the SM2 object identifiers of the
// Chinese cryptographic message syntax: a text's bytes or a file, hashed (SM3,
// with the signer's identity and public key) and signed inside the vendor CSP
// whose container holds the key of an unregistered certificate, packed as one
// line of Base64.
//
//   ContentInfo { 1.2.156.10197.6.1.4.2.2, [0] SignedData }
//   SignedData: version 1, digestAlgorithms { SM3, NULL }, inner content
//   { 1.2.156.10197.6.1.4.2.1 [, [0] OCTET STRING] }, the signer's
//   certificate alone, one SignerInfo:
//   SignerInfo ::= SEQUENCE {
//       version                    INTEGER 1,
//       issuerAndSerialNumber      SEQUENCE { issuer Name, serialNumber INTEGER },
//       digestAlgorithm            AlgorithmIdentifier,   -- { 1.2.156.10197.1.401, NULL }
//       digestEncryptionAlgorithm  AlgorithmIdentifier,   -- { 1.2.156.10197.1.301.1, NULL }
//       encryptedDigest            OCTET STRING }         -- { SEQUENCE { r INTEGER, s INTEGER } }
//
// The signers take the unregistered certificate context (certificate, CSP,
// container and key pair); which signer runs is the caller's choice. Out
// parameters are set only on success; system strings are freed with
// SysFreeString. The path is the one of signing/SigningCredential.h over a
// container credential.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "certificates/KeyFamily.h"
#include "certificates/VendorCsp.h"
#include "certificates/Signatures.h"
#include "signing/SignedData.h"
#include "selection/UnregisteredCert.h"

#include <wincrypt.h>

#include <vector>
// SM3 as the SM2 CSPs number it.
inline constexpr ALG_ID kSm3AlgId = kAlgSM3;
using orvane::signatures::kSm2RawSignatureSize; // r then s, 32 bytes each

// SM2_SIGNER_INFO: the fields of SM2EncodeSignerInfo, in order.
struct SM2_SIGNER_INFO {
    DWORD dwVersion; // 1
    DWORD cbIssuer;  // the issuer Name as encoded in the certificate
    const BYTE* pbIssuer;
    DWORD cbSerialNumber;       // the certificate's serial number, least
    const BYTE* pbSerialNumber; // significant byte first (as CERT_INFO keeps it)
    LPCSTR pszDigestAlgOID;
    LPCSTR pszSignatureAlgOID;
    DWORD cbEncryptedDigest; // SM2EncodeRawSignature's OCTET STRING
    const BYTE* pbEncryptedDigest;
};

// SM2SignData: signs cbContent bytes at pbContent with the key of pContext
// and hands out the message (with the content when bIncludeContent is set)
// as one line of Base64 in *pbstrSignature. Returns 0 or the code of the
// failing step (SM2CalculateHashandSignbyUnregisteredCert,
// SM2EncodeRawSignature, SM2EncapsulatePKCS7).
[[nodiscard]] HRESULT SM2SignData(BSTR* pbstrSignature, PCUNREGISTERED_CERT_CONTEXT pContext,
                                  const BYTE* pbContent, DWORD cbContent, BOOL bIncludeContent);

// SM2SignOpenFile: the same over the file open at hFile, read through that
// handle only (as for SignOpenFile: the size when the read began is signed, a
// file cut short fails with HRESULT_FROM_WIN32(ERROR_HANDLE_EOF), one over
// cbMaxSize bytes with VURO_E_FILE_SIZE_LIMIT); the Base64 text is one line
// too. The handle stays the caller's.
[[nodiscard]] HRESULT SM2SignOpenFile(BSTR* pbstrSignature, PCUNREGISTERED_CERT_CONTEXT pContext,
                                      HANDLE hFile, BOOL bIncludeContent, ULONGLONG cbMaxSize);

// SM2SignFile: SM2SignOpenFile over the file pwszFilePath, opened once here,
// of any size; CreateFile's error when it cannot be opened.
[[nodiscard]] HRESULT SM2SignFile(BSTR* pbstrSignature, PCUNREGISTERED_CERT_CONTEXT pContext,
                                  LPCWSTR pwszFilePath, BOOL bIncludeContent);

// SM2CalculateHashandSignbyUnregisteredCert: opens the context's container
// (provider type 1), hashes the cbContent bytes at pbContent in one call with
// SM3 (kSm3AlgId) and signs with the context's key pair; hands out r then s,
// each most significant byte first, in `signature` (64 bytes).
// Returns 0, E_INVALIDARG, E_OUTOFMEMORY,
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA) when the CSP's signature is not 64
// bytes, or the failing call's error as a result code.
[[nodiscard]] HRESULT
SM2CalculateHashandSignbyUnregisteredCert(PCUNREGISTERED_CERT_CONTEXT pContext,
                                          const BYTE* pbContent, DWORD cbContent,
                                          std::vector<BYTE>& signature);

// SM2CalculateFileHashandSignbyUnregisteredCert: the same over the file open
// at hFile (HashFileForSigning, with its cbMaxSize); when pContent is given,
// the bytes hashed are kept there for an attached message.
[[nodiscard]] HRESULT
SM2CalculateFileHashandSignbyUnregisteredCert(PCUNREGISTERED_CERT_CONTEXT pContext, HANDLE hFile,
                                              ULONGLONG cbMaxSize, std::vector<BYTE>& signature,
                                              SigningFileContent* pContent = nullptr);

// SM2EncodeRawSignature: the 64-byte r || s (most significant bytes first) as
// OCTET STRING { SEQUENCE { INTEGER r, INTEGER s } }, the integers in DER's
// minimal form (strict verifiers refuse padded ones), in `encoded`. Any other
// length: HRESULT_FROM_WIN32(ERROR_INVALID_DATA).
[[nodiscard]] HRESULT SM2EncodeRawSignature(std::vector<BYTE>& encoded, const BYTE* pbRawSignature,
                                            DWORD cbRawSignature);

// SM2EncodeOID: SEQUENCE { OBJECT IDENTIFIER pszOID, NULL } in `encoded`.
// Returns 0, E_INVALIDARG, E_OUTOFMEMORY or CRYPT_E_ASN1_ERROR for a text that
// is no object identifier.
[[nodiscard]] HRESULT SM2EncodeOID(LPCSTR pszOID, std::vector<BYTE>& encoded);

// SM2EncodeSignerInfo: the SignerInfo above from *pInfo; the serial number's
// octets are written as the certificate has them (turned most significant
// first, nothing added or dropped), the encrypted digest as given.
[[nodiscard]] HRESULT SM2EncodeSignerInfo(const SM2_SIGNER_INFO* pInfo, std::vector<BYTE>& encoded);

// SM2EncapsulatePKCS7: as EncapsulatePKCS7 with the SM2 content types and the
// SignerInfo above; params.pbSignature is the raw r || s, written as
// SM2EncodeRawSignature writes it.
[[nodiscard]] HRESULT SM2EncapsulatePKCS7(const PKCS7_ENCAPSULATE_PARAMS& params,
                                          const BYTE* pbContent, SigningFileContent* pFileContent);
