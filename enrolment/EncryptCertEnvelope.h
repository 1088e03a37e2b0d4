// The issuer's answer for an encryption key pair: the certificate text and the
// envelope text that carries the private key encrypted under a session key,
// the session key encrypted under the request's temporary key.
//
// Envelope text (positions and lengths count UTF-16 characters):
//   0    16  device type           decimal, 0, 1 or 2
//   16   16  encrypt type          decimal, 1 or 2
//   32   16  session key type      306 = triple DES (0x6603); 0 = none (new format)
//   48   16  session key length N1
//   64   N1  session key field     Base64, commas ignored, the last one ends it
//   64+N1 16 private key length N2
//   80+N1 N2 private key field     as the session key field
// Numbers read as a C library's decimal conversion reads them: blanks first,
// an optional sign, digits up to the first other character; none reads as 0.
// Each key field decodes to SEQUENCE { INTEGER, OCTET STRING }; the key bytes
// are the second element's content.
//
// Every routine returns 0 or a failure code and hands out owning byte values;
// nothing is handed out on failure. Codes:
// VURO_E_ENVELOPE_FORMAT (malformed field or structure), _DEVICE_TYPE,
// _ENCRYPT_TYPE, _SESSION_KEY_TYPE, E_OUTOFMEMORY, and the Base64 and ASN.1
// routines' codes passed through.
#pragma once
#include "certificates/Names.h" // ComposeObjectIdentifier
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

#include <vector>

#include <cstddef>

// Characters of one number field of the envelope.
constexpr size_t ENVELOPE_NUMBER_CHARS = 16;
// The session key type that names triple DES, and its CryptoAPI identifier.
constexpr int ENVELOPE_SESSION_KEY_3DES = 306;

// ReadEnvelopeNumber: the number in the field of ENVELOPE_NUMBER_CHARS
// characters at nPosition (a field cut short by the end of the text is read
// as far as it goes); values beyond 32 bits saturate, as the C library's
// conversion does. Returns 0, or VURO_E_ENVELOPE_FORMAT when the field starts
// at or past the end of the text.
[[nodiscard]] HRESULT ReadEnvelopeNumber(const WString& wstrText, size_t nPosition, int* pnValue);

// GetBase64KeyFromEncryptedData: reads the length field at *pnPosition and
// the key field after it; hands out the field's text without its commas in
// *pwstrKey and moves *pnPosition past the field. A length of 0 gives an
// empty key and moves past the length field only. Returns 0 or
// VURO_E_ENVELOPE_FORMAT (fewer than 16 characters left, a negative length or
// one longer than the rest, a field whose last character is not a comma).
[[nodiscard]] HRESULT GetBase64KeyFromEncryptedData(const WString& wstrEncryptedData,
                                                    WString* pwstrKey, size_t* pnPosition);

// GetSessionKeyorPrivateKeyFromASN1Obj: the content of the second element of
// SEQUENCE { INTEGER, OCTET STRING } (the tags are not checked, the count of
// two is), in `key`.
[[nodiscard]] HRESULT GetSessionKeyorPrivateKeyFromASN1Obj(const BYTE* pbEncoded, DWORD cbEncoded,
                                                           std::vector<BYTE>& key);

// ParseEncryptCertPublicKeyCert: the certificate bytes of the Base64
// certificate text (its commas are removed from wstrCert), in `cert`.
[[nodiscard]] HRESULT ParseEncryptCertPublicKeyCert(WString& wstrCert, std::vector<BYTE>& cert);

// GetSessionKeyandPrivateKeyASN1Obj: checks the header of an old-format
// envelope (session key type 306 only), and hands out the decoded but still
// wrapped DER of both key fields and the session key algorithm (0x6603).
[[nodiscard]] HRESULT GetSessionKeyandPrivateKeyASN1Obj(const WString& wstrEncryptedData,
                                                        ALG_ID* pSessionAlg,
                                                        std::vector<BYTE>& sessionKeyObj,
                                                        std::vector<BYTE>& privateKeyObj);

// GetSessionKeyandPrivateKeyASN1ObjEx: the same for the new format, which also
// takes session key type 0: then *pSessionAlg is 0, the session key field is
// read but not decoded, and sessionKeyObj is empty.
[[nodiscard]] HRESULT GetSessionKeyandPrivateKeyASN1ObjEx(const WString& wstrEncryptedData,
                                                          ALG_ID* pSessionAlg,
                                                          std::vector<BYTE>& sessionKeyObj,
                                                          std::vector<BYTE>& privateKeyObj);

// ParseEncryptCertPrivateKeyData: an old-format envelope unwrapped: the
// encrypted session key bytes, its algorithm (0x6603) and the encrypted
// private key bytes.
[[nodiscard]] HRESULT ParseEncryptCertPrivateKeyData(const WString& wstrEncryptedData,
                                                     std::vector<BYTE>& sessionKey,
                                                     ALG_ID* pSessionAlg,
                                                     std::vector<BYTE>& privateKey);

// ParseEncryptCertPrivateKeyDataEx: the same for the new format; without a
// session key (type 0) sessionKey is empty and *pSessionAlg 0.
[[nodiscard]] HRESULT ParseEncryptCertPrivateKeyDataEx(const WString& wstrEncryptedData,
                                                       std::vector<BYTE>& sessionKey,
                                                       ALG_ID* pSessionAlg,
                                                       std::vector<BYTE>& privateKey);

// ComposeRSAEVPPrivateKey: the structure a vendor RSA token opens itself,
//   SEQUENCE { INTEGER 1, OBJECT IDENTIFIER 1.2.840.113549.1.1.1,
//              OBJECT IDENTIFIER 1.3.6.1.4.1.4929.1.7,
//              OCTET STRING encryptedSessionKey, OCTET STRING encryptedPrivateKey }
// (an empty session key gives an empty OCTET STRING, 04 00), in `encoded`.
[[nodiscard]] HRESULT ComposeRSAEVPPrivateKey(const BYTE* pbEncryptedPrivateKey,
                                              DWORD cbEncryptedPrivateKey,
                                              const BYTE* pbEncryptedSessionKey,
                                              DWORD cbEncryptedSessionKey,
                                              std::vector<BYTE>& encoded);
