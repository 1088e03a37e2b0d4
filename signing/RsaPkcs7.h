// RSA signatures as PKCS #7 signed data: a text's bytes or a file, hashed with
// SHA-1 and signed (PKCS #1 v1.5) inside the CSP that holds the key of a
// personal-store certificate, with no authenticated attributes, packed as
// Base64 text. Verifiers and issuers expect this layout byte for byte:
//
//   SignedData: version 1, digestAlgorithms { SHA-1, NULL }, the data
//   content (attached or not), the signer's certificate alone, one
//   SignerInfo:
//   SignerInfo ::= SEQUENCE {
//       version                    INTEGER 1,
//       issuerAndSerialNumber      SEQUENCE { issuer Name, serialNumber INTEGER },
//       digestAlgorithm            AlgorithmIdentifier,   -- { 1.3.14.3.2.26, NULL }
//       digestEncryptionAlgorithm  AlgorithmIdentifier,   -- { 1.2.840.113549.1.1.1, NULL }
//       encryptedDigest            OCTET STRING }         -- the signature, most significant byte
//       first
//
// Text signatures are Base64 on one line; file signatures in lines of 76
// characters joined by CR LF. Out parameters are set only on success; system
// strings handed out are freed by the caller with SysFreeString. The path is
// the one of signing/SigningCredential.h over a personal-store certificate.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "certificates/KeyFamily.h"
#include "signing/SignedData.h"

#include <wincrypt.h>

#include <vector>

// SignBinaryData: signs cbContent bytes at pbContent with the key of
// pCertContext and hands out the message, with the content when
// bIncludeContent is set, as one line of Base64 in *pbstrSignature.
// Returns 0 or the code of the failing step (CalculateHashandSign,
// EncapsulatePKCS7).
[[nodiscard]] HRESULT SignBinaryData(BSTR* pbstrSignature, const BYTE* pbContent,
                                     PCCERT_CONTEXT pCertContext, DWORD cbContent,
                                     BOOL bIncludeContent);

// SignOpenFile: signs the file open at hFile (for reading, at its start) as
// SignBinaryData signs bytes, reading it through that handle only; the Base64
// text comes in lines of 76 characters joined by CR LF. The file is read
// once: an attached message carries exactly the bytes that were hashed, the
// size the file had when the read began (see HashFileForSigning: a file cut
// short meanwhile fails with HRESULT_FROM_WIN32(ERROR_HANDLE_EOF), one over
// cbMaxSize bytes, then or by the end of the read, with
// VURO_E_FILE_SIZE_LIMIT). The handle stays the caller's.
[[nodiscard]] HRESULT SignOpenFile(BSTR* pbstrSignature, HANDLE hFile, PCCERT_CONTEXT pCertContext,
                                   BOOL bIncludeContent, ULONGLONG cbMaxSize);

// SignFile: SignOpenFile over the file pwszFilePath, opened once here, of any
// size; CreateFile's error when it cannot be opened.
[[nodiscard]] HRESULT SignFile(BSTR* pbstrSignature, LPCWSTR pwszFilePath,
                               PCCERT_CONTEXT pCertContext, BOOL bIncludeContent);

// GetAlgorithmIdentifiers: the digest-encryption and digest algorithms'
// object identifiers (static texts, not to be freed). Returns 0.
[[nodiscard]] HRESULT GetAlgorithmIdentifiers(LPCSTR* ppszEncryptionAlgOID,
                                              LPCSTR* ppszDigestAlgOID);

// CalculateHashandSign: SHA-1 of the cbContent bytes at pbContent (hashed in
// one call) signed with the certificate's private key in its CSP; hands out
// the signature most significant byte first in `signature` (set only on
// success). Returns 0, E_INVALIDARG, E_OUTOFMEMORY or the failing call's
// error as a result code ("CryptAcquireCertificatePrivateKey",
// "CryptCreateHash", "CryptHashData", "CryptSignHash").
[[nodiscard]] HRESULT CalculateHashandSign(PCCERT_CONTEXT pCertContext, const BYTE* pbContent,
                                           DWORD cbContent, std::vector<BYTE>& signature);

// CalculateFileHashandSign: as CalculateHashandSign over the file open at
// hFile, read in pieces of 16 KiB (HashFileForSigning, with its cbMaxSize).
// When pContent is given, the bytes hashed are kept there for an attached
// message.
[[nodiscard]] HRESULT CalculateFileHashandSign(PCCERT_CONTEXT pCertContext, HANDLE hFile,
                                               ULONGLONG cbMaxSize, std::vector<BYTE>& signature,
                                               SigningFileContent* pContent = nullptr);

// EncapsulatePKCS7: the message of params around its signature, content from
// pbContent (params.cbContent bytes) or, for a file (params.bContentIsFile),
// from *pFileContent as CalculateFileHashandSign kept it (its pages are given
// back while the text is written); no content is needed for a detached
// message. Sets *params.pbstrBase64 and *params.pcchBase64. Returns 0,
// E_INVALIDARG, E_OUTOFMEMORY, or WriteSignedDataBase64's code.
[[nodiscard]] HRESULT EncapsulatePKCS7(const PKCS7_ENCAPSULATE_PARAMS& params,
                                       const BYTE* pbContent, SigningFileContent* pFileContent);
