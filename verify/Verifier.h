// The relying party's checks of one signed message (see SignedMessage.h for
// the forms read), each reported by name with its outcome and a reason:
//
//   structure           the message is one signed-data message of either family, one signer
//   signer-certificate  the signer's certificate, by issuer and serial number (or key id),
//                       among the message's certificates and the intermediates given
//   content-digest      the content's digest against what was signed (the messageDigest
//                       attribute, or the digest inside an RSA signature)
//   signature           RSA PKCS #1 v1.5, or SM2 with SM3 and the signer's identity
//   chain               the signer's certificate leads to a trust anchor
//   validity            the signer's certificate is valid at the validation time
//   key-usage           it may sign: digitalSignature or nonRepudiation
//
// A message verifies only when every check passes. Detached content is read
// from its file in pieces and never held whole.
#pragma once
#include "verify/Asn1Reader.h"

#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace orvane::verify {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

inline constexpr char kDefaultSm2Id[] = "1234567812345678";

// LoadCertificates: every certificate of a PEM bundle, of a DER file, or of
// each file in a folder (PEM or DER), appended to out. False with a reason
// when the path cannot be read or holds no certificate.
bool LoadCertificates(const std::string& path, std::vector<X509Ptr>& out, std::string& why);

// ParseUtcTime: "2031-01-01T00:00:00Z" as seconds since 1970.
bool ParseUtcTime(const std::string& text, std::int64_t& seconds);

struct VerifyOptions {
    std::vector<X509Ptr> anchors;
    std::vector<X509Ptr> untrusted;
    std::int64_t at = 0; // validation time, seconds since 1970 UTC
    std::string sm2Id = kDefaultSm2Id;
};

enum class Outcome { kPass, kFail, kSkipped };

struct Check {
    std::string name;
    Outcome outcome = Outcome::kSkipped;
    std::string reason;
};

struct Report {
    std::string family; // "PKCS #7" or "SM2"
    std::string subject, issuer, serial;
    std::string algorithm;       // "RSA with SHA-256", "SM2 with SM3"
    std::string digestAlgorithm; // "SHA-256", "SM3"
    std::string digest;          // the content's digest, hex
    bool attached = false;
    bool signedAttributes = false;
    std::uint64_t contentLength = 0;
    std::vector<Check> checks;

    bool Verified() const;
    // One line: "verified: ..." or "NOT verified: <check>: <reason>".
    std::string Verdict() const;
    std::string Json() const;
};

// VerifyMessage: the checks above over the message as received (input) and,
// for a detached message, the content file contentPath (empty: none).
Report VerifyMessage(Bytes input, const std::string& contentPath, const VerifyOptions& options);

// RefusedMessage: the report for a message that could not even be read
// (too large, unreadable): its structure fails for reason.
Report RefusedMessage(const std::string& reason);

} // namespace orvane::verify
