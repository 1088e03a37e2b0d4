// Test requests in the system's PKCS#10 layout (non-standard attributes, SM2
// signature halves as the request builder writes them), built with OpenSSL
// alone so the issuer's tests do not depend on the system's request builder.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>
#include "tests/support/OsslPtr.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvane::tools::testca::testing {

using Bytes = std::vector<uint8_t>;

using Pkey = orvane::tests::OsslPtr<EVP_PKEY, EVP_PKEY_free>;
using Cert = orvane::tests::OsslPtr<X509, X509_free>;

Pkey RsaKey(int bits);
Pkey Sm2Key();

struct RequestShape {
    EVP_PKEY* signingKey = nullptr;   // RSA or SM2 key pair
    EVP_PKEY* temporaryKey = nullptr; // the pair's exchange key; null for type 1
    // Keep signing until r's 32-byte form starts with a zero byte (SM2).
    bool sm2LeadingZeroR = false;
    bool corruptSignature = false;
    // Use this signature algorithm OID instead of the one that fits.
    std::string signatureOid;
};

// Tlv: one DER element.
Bytes Tlv(uint8_t tag, const Bytes& content);
Bytes Concat(std::initializer_list<Bytes> parts);

// SubjectName: the request's Name (with a UTF-8 common name), and its DER.
Bytes SubjectNameDer();

// RequestDer / RequestText: the request, and as the system hands it out:
// Base64 in lines of 64 characters joined by CR LF.
Bytes RequestDer(const RequestShape& shape);
std::string Base64Lines(const Bytes& der, const char* separator = "\r\n", size_t width = 64);
inline std::string RequestText(const RequestShape& shape) {
    return Base64Lines(RequestDer(shape));
}

// Base64Decode: strict decoding; false on malformed text.
bool Base64Decode(const std::string& text, Bytes& out);
Cert CertificateFromBase64(const std::string& text);

} // namespace orvane::tools::testca::testing
