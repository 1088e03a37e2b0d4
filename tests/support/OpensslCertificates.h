// The one maker of signed test certificates on POSIX: OpenSSL encodes and
// signs them, so what the system then reads was written by an implementation
// independent of it. Tests and benchmarks that need a real certificate for a
// key of theirs describe it here; the fixed certificates of
// TestCertificates.h and the made-to-measure, unsigned ones of
// CertificateBuilder.h serve the suites that also run under Wine.
#pragma once

#include "tests/support/OpensslRequestCheck.h"

#include <openssl/x509.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace orvane::checks {

using X509Ptr = orvane::tests::OsslPtr<X509, X509_free>;

// One attribute of a name: OpenSSL's short name ("C", "O", "CN") and the
// value as UTF-8. OpenSSL writes C as PrintableString, the rest as UTF8String.
using NameEntry = std::pair<std::string, std::string>;

struct CertificateDescription {
    EVP_PKEY* key = nullptr;    // the subject's key; required
    EVP_PKEY* signer = nullptr; // null: the subject's key (self-signed)
    // Relative names in encoding order, least specific first.
    std::vector<NameEntry> subject{{"CN", "Test Holder"}};
    std::vector<NameEntry> issuer; // empty: the subject's name
    Bytes serial{0x01};            // the serial number's magnitude, most significant first
    long notBefore = -3600;        // seconds from now
    long notAfter = 365L * 24 * 3600;
    // Key usage as OpenSSL's configuration text ("digitalSignature,keyEncipherment");
    // empty: no extension.
    std::string keyUsage;
    // RSA signers: the digest (null: SHA-256). SM2 signers always sign SM3
    // with the default signer identity, as issuers do.
    const EVP_MD* md = nullptr;
    // The last change before signing, for fields a test writes itself.
    std::function<void(X509*)> adjust;
};

// SerialOf: the magnitude of a serial number, most significant first.
Bytes SerialOf(std::uint64_t serial);

// MakeX509: the signed certificate the description asks for; null when
// OpenSSL refuses a step.
X509Ptr MakeX509(const CertificateDescription& desc);

// MakeCertificate: the same as DER; empty when OpenSSL refuses a step.
Bytes MakeCertificate(const CertificateDescription& desc);

// DerOf: a certificate's DER; empty when OpenSSL cannot encode it.
Bytes DerOf(X509* cert);

} // namespace orvane::checks
