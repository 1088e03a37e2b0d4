// Opening the inner layer of an old-format envelope in software: the private
// key is triple-DES encrypted under a session key the system already holds in
// the clear. The session key reaches a CSP through the exponent-of-one
// technique: in a throw-away container of the operating system's software
// provider an RSA key pair whose exponents are all 1 is made, so "encrypting"
// the session key under it is the identity, and a simple key blob holding the
// plain PKCS#1 block imports it. The decrypted PKCS#1 RSA private key then
// becomes the plain private-key blob every CSP imports.
//
// What is handed out holds key material: SecretBytes (ImportHelpers.h), wiped
// when it goes.
#pragma once
#include "enrolment/ImportHelpers.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <wincrypt.h>

// The software provider that hosts the throw-away container.
#define SOFT_DECRYPT_CSP_NAME TEXT("Microsoft Enhanced Cryptographic Provider v1.0")

// DecryptPrivateKeywithSessionKey: decrypts cbEncryptedPrivateKey bytes (ECB,
// block padding removed) with the plain session key of algSession (0x6603,
// triple DES), in a throw-away container named by a fresh GUID that is deleted
// again on every path. Hands out the plaintext in `privateKey`. Returns 0,
// the result of
// CreateGUIDStr, VURO_E_ENVELOPE_FORMAT when the exponent-one key or the
// session key cannot be made, E_OUTOFMEMORY, or a failing system call's code.
[[nodiscard]] HRESULT DecryptPrivateKeywithSessionKey(ALG_ID algSession, const BYTE* pbSessionKey,
                                                      DWORD cbSessionKey,
                                                      const BYTE* pbEncryptedPrivateKey,
                                                      DWORD cbEncryptedPrivateKey,
                                                      SecretBytes& privateKey);

// CreatePrivateExponentOneKey: an exchange key pair in hProv at the provider's
// default length whose public, private and CRT exponents are all 1 (modulus,
// primes and coefficient as generated), so its encryption and decryption are
// the identity. Hands out the key in *phKey (caller destroys it). Returns
// TRUE, or FALSE with the thread's last error set by the failing call.
[[nodiscard]] BOOL CreatePrivateExponentOneKey(HCRYPTPROV hProv, HCRYPTKEY* phKey);

// ImportPlainSessionBlob: imports the plain session key of algSession under
// the exponent-one key hExchangeKey as an exportable session key: a simple key
// blob holding 00 02 <non-zero random> 00 <key>, least significant byte first.
// The provider must offer algSession with keys at least cbSessionKey bytes
// long. Hands out *phSessionKey (caller destroys it). Returns TRUE, or FALSE
// with the thread's last error set.
[[nodiscard]] BOOL ImportPlainSessionBlob(HCRYPTPROV hProv, HCRYPTKEY hExchangeKey,
                                          ALG_ID algSession, const BYTE* pbSessionKey,
                                          DWORD cbSessionKey, HCRYPTKEY* phSessionKey);

// PKCS1_PRIVATE_KEY: the numbers of a PKCS#1 RSA private key, least
// significant byte first, one leading zero byte of the DER dropped; wiped
// when they go.
struct PKCS1_PRIVATE_KEY {
    SecretBytes modulus;
    SecretBytes privateExponent;
    SecretBytes prime1;
    SecretBytes prime2;
    SecretBytes exponent1;
    SecretBytes exponent2;
    SecretBytes coefficient;

    // Clear: wipes and frees every number.
    void Clear() { *this = PKCS1_PRIVATE_KEY(); }
};

// DecodePrivateKey: reads RSAPrivateKey ::= SEQUENCE { version, modulus,
// publicExponent, privateExponent, prime1, prime2, exponent1, exponent2,
// coefficient, ... } into *pKey (cleared first; filled only on success).
// version and publicExponent are not read. The key is read under
// der::kEngineRules. Returns 0, VURO_E_ASN1_DECODE for an outermost header
// that cannot be read with an octet after it, HRESULT(ASN1_E_PARSE) for
// bytes below it that cannot be read, VURO_E_ENVELOPE_FORMAT
// for fewer than nine elements or an element that is not an INTEGER, or
// E_OUTOFMEMORY.
[[nodiscard]] HRESULT DecodePrivateKey(const BYTE* pbEncoded, DWORD cbEncoded,
                                       PKCS1_PRIVATE_KEY* pKey);

// CopyPrivateKeyAttribute: a DER INTEGER's content as CryptoAPI keeps numbers:
// one leading zero byte dropped, the rest reversed, in `copy`.
[[nodiscard]] HRESULT CopyPrivateKeyAttribute(const BYTE* pbValue, DWORD cbValue,
                                              SecretBytes& copy);

// getMicrosoftSoftPkcs1PrivateKeyBlob_RSA: the plain PRIVATEKEYBLOB of a
// PKCS#1 private key for a key of dwKeyBits bits (a positive multiple of 16 up
// to 16384): RSA key exchange, "RSA2", public exponent 65537 always, then
// modulus, primes, CRT exponents, coefficient (zero-filled at its high end
// when one byte short) and private exponent, dwKeyBits * 9 / 16 + 20 bytes in
// all, in `blob`. Returns 0,
// DecodePrivateKey's code, VURO_E_ENVELOPE_FORMAT when a number's length does
// not fit dwKeyBits, or E_OUTOFMEMORY.
[[nodiscard]] HRESULT getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(const BYTE* pbPkcs1, DWORD cbPkcs1,
                                                              DWORD dwKeyBits, SecretBytes& blob);
