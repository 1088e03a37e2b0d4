// Signed messages checked with OpenSSL alone (POSIX): the RSA ones through its
// CMS implementation (in process, and through the openssl command), the SM2
// ones taken apart with its DER header parser, their layout compared with
// what verifiers expect and r and s verified with its SM2 (SM3, the default
// identity). Also the certificates the tests sign with, issued by OpenSSL for
// keys that live in the providers.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "tests/support/OpensslKeys.h"
#include "tests/support/OpensslRequestCheck.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane::checks {

// IssueCertificate: a certificate for subjectKey with the serial number's
// content octets serialBE (most significant first, a leading 00 kept) issued by
// a CA of this run: an RSA CA signing with SHA-256, or for sm2 an SM2 CA
// signing with SM3 (signature algorithm 1.2.156.10197.1.501).
Bytes IssueCertificate(EVP_PKEY* subjectKey, const Bytes& serialBE, bool sm2,
                       const std::string& commonName);

// CmsVerify: OpenSSL's CMS_verify of an RSA message (signer certificate
// taken from the message, not checked against a trust store; binary
// content), with the detached content when the message carries none. Also
// checks that OpenSSL writes the message back byte for byte (it is DER) and
// that an attached message carries exactly `content`.
::testing::AssertionResult CmsVerify(const Bytes& der, const Bytes& content, bool attached);

// CmsVerifyWithCommand: the same through `openssl cms -verify -inform DER
// -noverify -binary` (with -content for a detached message) in dir.
::testing::AssertionResult CmsVerifyWithCommand(const Bytes& der, const Bytes& content,
                                                bool attached, const std::string& dir);

// CmsPrint: the text of `openssl cms -cmsout -print` for the message.
std::string CmsPrint(const Bytes& der, const std::string& dir);

// CmsSignature: the signature value of the message's one SignerInfo.
Bytes CmsSignature(const Bytes& der);

// Sm2Message: what CheckSm2Message found in an SM2 message.
struct Sm2Message {
    Bytes certificate;  // the one certificate, whole
    Bytes issuer;       // issuerAndSerialNumber's issuer Name, whole
    Bytes serial;       // its serialNumber INTEGER, whole
    Bytes signatureSeq; // SEQUENCE { r, s } inside the encrypted digest
    bool attached = false;
    Bytes content; // the attached content
};

// CheckSm2Message: the layout verifiers expect, element by element
// (ContentInfo 1.2.156.10197.6.1.4.2.2; SignedData version 1, digest SM3 with
// NULL, content type 1.2.156.10197.6.1.4.2.1, [0] with one certificate, one
// SignerInfo of version 1, SM3 and SM2 signature 1.2.156.10197.1.301.1 with
// NULL, no attributes), every length in its shortest form, r and s in DER's
// minimal form, and the signature verified over `content` with the
// certificate's key (SM3, identity "1234567812345678").
::testing::AssertionResult CheckSm2Message(const Bytes& der, const Bytes& content, bool attached,
                                           Sm2Message* pFound = nullptr);

// Sm2AttachedContent: the content an SM2 message carries (empty when it
// carries none or cannot be read).
Bytes Sm2AttachedContent(const Bytes& der);

// ShortestLengths: every header of the DER tree uses the shortest length form.
bool ShortestLengths(const Bytes& der);

// Base64Lines: the form Base64EncodeEx gives with line breaks: OpenSSL's
// Base64 of der in lines of 76 characters joined by CR LF, one more CR LF
// when the whole 3-byte groups fill their lines exactly.
std::string Base64Lines(const Bytes& der, bool lineBreaks);

} // namespace orvane::checks
