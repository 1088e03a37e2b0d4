// The steps behind ImportEncryptCertEx (CertificateImport.h), for tests and
// for callers that know which envelope format they hold.
//
// Old format (RSA): the system opens the envelope itself with the container's
// temporary key and imports the plain private-key blob. New format (SM2, and
// RSA in vendor tokens): the still-encrypted key goes to the CSP in a blob
// that carries its address, and the CSP opens it inside the container.
//
// Every routine returns 0 or the code of the failing step; a key imported
// before a later step fails stays in the container.
#pragma once
#include "enrolment/ImportHelpers.h"
#include "foundation/Handles.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "certificates/VendorCsp.h"

#include <wincrypt.h>

#include <vector>

// Bytes of the SM2 ciphertext parts: C1 the ephemeral point's coordinates
// without a prefix byte, C3 the SM3 check value; C2 is the rest.
constexpr DWORD SM2_C1_BYTES = 64;
constexpr DWORD SM2_C3_BYTES = 32;

// Sizes of the new-format import blobs: the address field is a pointer of this
// build (4 bytes in 32-bit builds, the 24- and 20-byte blobs of the 32-bit
// tokens; 8 in 64-bit builds).
constexpr DWORD ENVELOPED_RSA_BLOB_BYTES = 20 + sizeof(void*);
constexpr DWORD ENVELOPED_SM2_BLOB_BYTES = 16 + sizeof(void*);

// ImportEncryptCert: the old-format driver: parses both texts, decrypts the
// session key with the container's exchange key, the private key with the
// session key, and imports it with its certificate. Plain keys are wiped
// before their memory is freed.
[[nodiscard]] HRESULT ImportEncryptCert(const WString& wstrCSPName, const WString& wstrContainer,
                                        WString& wstrEncryptedPrivateKey, WString& wstrCert,
                                        KeyAlgorithm eKeyAlgorithm, int nKeyLength, DWORD dwFlags);

// DecryptSessionKeywithTempKey: opens the container (provider type by
// ProviderTypeForEnvelopeImport), reverses the big-endian
// encrypted session key in place at pbEncryptedSessionKey, and decrypts it
// with the exchange key; a 32-byte plaintext is cut to its first 24 bytes.
// Hands out the open provider in `provider` and the plain session key in
// `sessionKey`.
[[nodiscard]] HRESULT
DecryptSessionKeywithTempKey(const WString& wstrCSPName, const WString& wstrContainer,
                             KeyAlgorithm eKeyAlgorithm, BYTE* pbEncryptedSessionKey,
                             DWORD cbEncryptedSessionKey, UniqueProvider& provider,
                             SecretBytes& sessionKey);

// ImportEncryptCert_RSA: imports the plain PKCS#1 key as the container's
// exchange key (PRIVATEKEYBLOB for nKeyLength bits, CryptImportKey with
// dwFlags) and binds the certificate: the user's "MY" store with a link to
// key spec 1 for "Microsoft" providers, KP_CERTIFICATE for the others.
[[nodiscard]] HRESULT ImportEncryptCert_RSA(const WString& wstrContainer, const BYTE* pbCert,
                                            DWORD cbCert, const WString& wstrCSPName,
                                            HCRYPTPROV hProv, int nKeyLength,
                                            const BYTE* pbPkcs1PrivateKey, DWORD cbPkcs1PrivateKey,
                                            DWORD dwFlags);

// ImportEncryptCertByEncryptedFormat: the new-format driver (RSA through
// ImportEncryptCertEx_RSA, SM2 through ImportEncryptCertEx_SM2 with the
// ciphertext as received, then in the other order, then in the third).
[[nodiscard]] HRESULT
ImportEncryptCertByEncryptedFormat(WString& wstrCert, const WString& wstrCSPName,
                                   WString& wstrEncryptedPrivateKey, const WString& wstrContainer,
                                   KeyAlgorithm eKeyAlgorithm, int nKeyLength, DWORD dwFlags);

// GetCSPHandleofTempPublickey: opens the container that holds the temporary
// key (type 1; for every key algorithm but RSA with the SM2 providers' access
// flags kSM2AccessFlags), in `provider`.
[[nodiscard]] HRESULT GetCSPHandleofTempPublickey(const WString& wstrCSPName,
                                                  const WString& wstrContainer,
                                                  KeyAlgorithm eKeyAlgorithm,
                                                  UniqueProvider& provider);

// ImportEncryptCertEx_RSA: hands the token the EVP structure
// (ComposeRSAEVPPrivateKey) through the enveloped RSA blob, then binds the
// certificate with KP_CERTIFICATE. No certificate store is touched.
[[nodiscard]] HRESULT
ImportEncryptCertEx_RSA(const BYTE* pbCert, DWORD cbCert, const BYTE* pbEncryptedPrivateKey,
                        DWORD cbEncryptedPrivateKey, const BYTE* pbEncryptedSessionKey,
                        DWORD cbEncryptedSessionKey, const WString& wstrCSPName, HCRYPTPROV hProv,
                        int nKeyLength, DWORD dwFlags);

// ImportEncryptCertEx_SM2: hands the token the SM2 ciphertext through the
// enveloped SM2 blob, then binds the certificate with KP_CERTIFICATE.
[[nodiscard]] HRESULT ImportEncryptCertEx_SM2(const BYTE* pbCert, DWORD cbCert,
                                              const BYTE* pbCipher, DWORD cbCipher,
                                              HCRYPTPROV hProv, DWORD dwFlags);

// ImportEncryptCertEx_SM2WithRetry: the retry sequence: as received; then
// ConvertC1C3C2ToC1C2C3 of it; then ConvertC1C2C3ToC1C3C2 of it. The first
// success ends it with 0; otherwise the last attempt's code. A ciphertext
// shorter than C1 and C3 cannot be reordered: the first attempt's code.
[[nodiscard]] HRESULT ImportEncryptCertEx_SM2WithRetry(const BYTE* pbCert, DWORD cbCert,
                                                       const BYTE* pbCipher, DWORD cbCipher,
                                                       HCRYPTPROV hProv, DWORD dwFlags);

// ConvertC1C3C2ToC1C2C3 / ConvertC1C2C3ToC1C3C2: the ciphertext in the other
// order, cbCipher bytes, in `reordered`. Returns 0, E_INVALIDARG for fewer
// than 96 bytes, or E_OUTOFMEMORY.
[[nodiscard]] HRESULT ConvertC1C3C2ToC1C2C3(const BYTE* pbCipher, DWORD cbCipher,
                                            std::vector<BYTE>& reordered);
[[nodiscard]] HRESULT ConvertC1C2C3ToC1C3C2(const BYTE* pbCipher, DWORD cbCipher,
                                            std::vector<BYTE>& reordered);

// BuildEnvelopedRSABlob / BuildEnvelopedSM2Blob: the new-format import blobs,
// pointing at pbData (which must stay valid until the import returns).
// Return 0 or VURO_E_ENVELOPE_FORMAT when cbData * 8 does not fit 32 bits.
//   RSA: { 7, 2, 0x0001, 0xA400 } 0xA400, key bits, data bits, address
//   SM2: { 7, 2, 0x0001, 0xBE00 } 0xBE00, data bits, address
[[nodiscard]] HRESULT BuildEnvelopedRSABlob(DWORD dwKeyBits, const BYTE* pbData, DWORD cbData,
                                            BYTE (&rgbBlob)[ENVELOPED_RSA_BLOB_BYTES]);
[[nodiscard]] HRESULT BuildEnvelopedSM2Blob(const BYTE* pbData, DWORD cbData,
                                            BYTE (&rgbBlob)[ENVELOPED_SM2_BLOB_BYTES]);
