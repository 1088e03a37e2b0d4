// The two issuing authorities of the test issuer (an RSA-2048 root and an SM2
// root), kept as PEM files in a folder, and the certificate-making steps
// shared by the authorities and the issued certificates.
#pragma once

#include "tools/testca/Ossl.h"
#include "tools/testca/TestIssuer.h"

namespace orvane::tools::testca {

struct Authority {
    PkeyPtr key;
    X509Ptr cert;
    bool sm2 = false;
};

// LoadAuthorities: EnsureAuthorities, then both keys and certificates read
// back (and each key checked against its certificate).
[[nodiscard]] bool LoadAuthorities(const std::string& caDir, Authority& rsa, Authority& sm2,
                                   std::string& error);

// MakeCertificate: an X.509 v3 certificate for `subject` and `publicKey`,
// random positive serial, valid from an hour ago for `days`, with the given
// extensions (name, value in OpenSSL's configuration syntax), signed by
// `issuer` (nullptr: self-signed with `signingKey`). SHA-256 for an RSA
// signer, SM3 with the default identity for an SM2 signer.
struct Extension {
    int nid;
    const char* value;
};
[[nodiscard]] X509Ptr MakeCertificate(const X509_NAME* subject, EVP_PKEY* publicKey,
                                      const X509* issuer, EVP_PKEY* signingKey, long days,
                                      std::span<const Extension> extensions, std::string& error);

// PemOfKey: the private key as unencrypted PKCS#8 PEM (empty on failure).
[[nodiscard]] std::string PemOfKey(EVP_PKEY* key);

// DerOfCertificate: the certificate's DER encoding (empty on failure).
[[nodiscard]] Bytes DerOfCertificate(const X509* cert);

} // namespace orvane::tools::testca
