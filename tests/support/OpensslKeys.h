// RSA and SM2 keys and ciphertexts made or read by OpenSSL, for tests that check the
// providers and the importers against an independent implementation (POSIX).
#pragma once

#include "tests/support/OpensslRequestCheck.h"
#include "tests/support/OsslPtr.h"

namespace orvane::checks {

using PkeyCtx = orvane::tests::OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;

// Sm2PublicFromBlob: a provider's 140-byte SM2 public blob (X and Y least
// significant byte first, each at the head of a 64-byte field) as an OpenSSL
// key; null for any other size.
Pkey Sm2PublicFromBlob(const Bytes& blob);

// RsaPublicFromBlob: a provider's PUBLICKEYBLOB (modulus least significant
// byte first) as an OpenSSL key; null for a blob of the wrong size.
Pkey RsaPublicFromBlob(const Bytes& blob);

// GenerateRsa: a fresh RSA key pair of that many bits.
Pkey GenerateRsa(unsigned bits);

// RsaEncrypt: OpenSSL's PKCS #1 v1.5 encryption to the key, most significant
// byte first; empty when OpenSSL refuses.
Bytes RsaEncrypt(EVP_PKEY* key, const Bytes& plain);

// TripleDesEcb: the plain text under the 24-byte key, triple DES in ECB mode
// with PKCS #5 padding; empty when OpenSSL refuses.
Bytes TripleDesEcb(const Bytes& key, const Bytes& plain);

// GenerateSm2: a fresh SM2 key pair.
Pkey GenerateSm2();

// Sm2Point: the key's uncompressed point, 04 || X || Y.
Bytes Sm2Point(EVP_PKEY* key);

// Sm2EncryptC1C3C2: OpenSSL's SM2 encryption to the key, taken out of its
// DER form into the raw C1 (X || Y, 64 bytes) || C3 || C2 issuers send.
Bytes Sm2EncryptC1C3C2(EVP_PKEY* key, const Bytes& plain);

// PublicKeyFromSpki: a DER SubjectPublicKeyInfo as an OpenSSL key; null when
// it is not one.
Pkey PublicKeyFromSpki(const Bytes& der);

// Encode: the key in one of OpenSSL's encoder output types ("DER" with the
// type-specific structure, "MSBLOB"); empty when OpenSSL refuses.
Bytes Encode(EVP_PKEY* key, const char* type, const char* structure);

// EvpStructure: the RSA tokens' enveloped key, SEQUENCE { INTEGER 1, OID
// rsaEncryption, OID symOid, OCTET STRING sessionKey, OCTET STRING privateKey }.
Bytes EvpStructure(const Bytes& sessionCipher, const Bytes& keyCipher, const Bytes& symOid);

} // namespace orvane::checks
