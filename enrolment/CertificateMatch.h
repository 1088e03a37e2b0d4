// What an import checks about a certificate before anything is written: that
// the bytes are one whole certificate (a provider trusts the DER length it
// finds, and CryptSetKeyParam has no length argument), and that the
// certificate's public key is the key it is to be bound to.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <windows.h>
#include <wincrypt.h>

// CheckWholeCertificate: 0 when the cb bytes at pb are exactly one X.509
// certificate: its outer length agrees with cb and it decodes.
// CRYPT_E_ASN1_BADTAG when they do not start with a SEQUENCE, NTE_BAD_DATA
// for anything else (a length that runs past the bytes or stops short of
// them, contents that are no certificate).
[[nodiscard]] HRESULT CheckWholeCertificate(const BYTE* pb, DWORD cb);

// CheckCertificateMatchesKey: CheckWholeCertificate, then 0 when the
// certificate's public key is the public key of hKey (the key of dwKeySpec
// in hProv's container; fRSA: an RSA key, compared by modulus and exponent;
// otherwise an SM2 key, compared by its point). NTE_BAD_PUBLIC_KEY when it is
// another key; the export's code when the key cannot be read.
[[nodiscard]] HRESULT CheckCertificateMatchesKey(const BYTE* pbCert, DWORD cbCert, HCRYPTPROV hProv,
                                                 HCRYPTKEY hKey, DWORD dwKeySpec, bool fRSA);

// CheckCertificateMatchesRsaPrivateKey: CheckWholeCertificate, then 0 when
// the certificate's public key has the modulus and public exponent of the
// PKCS#1 RSAPrivateKey DER at pbPkcs1 (the key an envelope is about to
// install). NTE_BAD_PUBLIC_KEY when it does not; NTE_BAD_DATA when the
// private key cannot be read.
[[nodiscard]] HRESULT CheckCertificateMatchesRsaPrivateKey(const BYTE* pbCert, DWORD cbCert,
                                                           const BYTE* pbPkcs1, DWORD cbPkcs1);
