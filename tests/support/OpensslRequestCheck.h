// Certification requests read with OpenSSL alone, for tests that check what
// the system produced with an implementation independent of it (POSIX).
// The double request's attributes are in the issuers' form, which
// d2i_X509_REQ refuses, so the request is split with OpenSSL's DER header
// parser and its signature checked over the exact signed bytes.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include "tests/support/OsslPtr.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvane::checks {

using Bytes = std::vector<std::uint8_t>;

using Pkey = orvane::tests::OsslPtr<EVP_PKEY, EVP_PKEY_free>;

// Base64Decode: the bytes of a Base64 text; CR and LF are skipped.
Bytes Base64Decode(const std::string& text);

// One DER element, found with OpenSSL's own header parser.
struct Element {
    int tag = -1;
    size_t headerStart = 0, contentStart = 0, contentLength = 0;
    size_t End() const { return contentStart + contentLength; }
};
bool ReadElement(const Bytes& der, size_t at, size_t limit, Element& e);
std::vector<Element> Children(const Bytes& der, const Element& parent);
Bytes Content(const Bytes& der, const Element& e);
Bytes Whole(const Bytes& der, const Element& e);
// OidText: the dotted text of a whole OBJECT IDENTIFIER element.
std::string OidText(const Bytes& whole);

// The parts of a request, as OpenSSL reads them.
struct ParsedRequest {
    Bytes info; // the signed CertificationRequestInfo, whole
    std::vector<Element> infoParts;
    Bytes der;
    std::string signatureAlg;
    Bytes algorithmWhole; // SEQUENCE { OID, NULL }
    Bytes signature;      // BIT STRING content without the unused-bits octet
    Pkey key;             // the SubjectPublicKeyInfo's key
};
::testing::AssertionResult ParseRequest(const Bytes& der, ParsedRequest& out);

// VerifySignature: a DER signature over `data`, checked as SHA-1 with RSA, or
// as SM2 with SM3 and the default signer identity (OpenSSL refuses
// SM2Signature INTEGERs that are not in their minimal form).
bool VerifySignature(EVP_PKEY* key, bool bSM2, const Bytes& data, const Bytes& signature);

// VerifyRequestSignature: SHA-1 with RSA, or SM2 with SM3 and the default
// signer identity, over the request information.
bool VerifyRequestSignature(const ParsedRequest& req, bool bSM2);

// VerifyRequestText: both of the above on a Base64 request text.
::testing::AssertionResult VerifyRequestText(const std::string& text, bool bSM2);

} // namespace orvane::checks
