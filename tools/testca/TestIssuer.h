// A test certificate issuer: takes the Base64 PKCS#10 requests the system
// builds (RSA or SM2, single or signing-plus-encryption), issues certificates
// from a small CA kept in a folder, and for a pair generates the encryption
// key and writes the encrypted-key envelope the system installs. Used in
// process by tests and benchmarks and, through the `testca` tool, by scripts
// and the demo (POSIX).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::tools::testca {

// How the encryption key travels in the envelope.
enum class EnvelopeFormat {
    Old,       // RSA: session key type 306; the system opens both layers itself
    NewRsa,    // RSA token: same layers, handed unopened to the token
    Sm2C1C3C2, // SM2 ciphertext of the private scalar, C1 || C3 || C2
    Sm2C1C2C3, // the same, C1 || C2 || C3
};

// Deliberate faults in the envelope, for tests of the importer's refusals.
enum class Malformation {
    None,
    BadDeviceType,     // device type 3
    BadEncryptType,    // encrypt type 3
    BadSessionKeyType, // session key type 305
    Truncated,         // text cut in the middle of the private key field
    WrongLength,       // private key length one more than the characters left
    NegativeLength,    // private key length -1
    NoTerminator,      // private key field's final comma replaced by 'A'
    NonBase64,         // first character of the private key field is '*'
    ThreeElements,     // private key SEQUENCE { INTEGER, OCTET STRING, OCTET STRING }
    WrongKey,          // enveloped under a fresh key instead of the request's temporary key
};

struct IssueOptions {
    // Folder of the issuing authorities; created (0700) with both CAs on first use.
    std::string caDir;
    // Envelope format; empty: Old for RSA requests, Sm2C1C3C2 for SM2 requests.
    std::optional<EnvelopeFormat> format;
    // RSA encryption key length; 0: the length of the request's signing key.
    int encryptionKeyBits = 0;
    // PEM of a private key to envelope instead of generating one (saves RSA key
    // generation in tests); must match the request's algorithm.
    std::string encryptionKeyPem;
    int deviceType = 0;
    int encryptType = 1;
    // Session key type; empty: 306 for RSA formats, 0 for SM2 formats.
    std::optional<int> sessionKeyType;
    // When not 0, a comma goes after every commaEvery characters of each key
    // field's Base64 text (and of the certificate texts if commasInCertificates).
    size_t commaEvery = 0;
    bool commasInCertificates = false;
    Malformation malformation = Malformation::None;
};

struct IssueResult {
    bool ok = false;
    std::string error;     // why the request was refused; empty on success
    bool sm2 = false;      // the request's keys are SM2 (else RSA)
    bool pair = false;     // the request carried a temporary key: encCert and envelope are set
    std::string signCert;  // Base64 DER of the signing certificate, one line
    std::string encCert;   // Base64 DER of the encryption certificate, one line
    std::string envelope;  // the encrypted-key envelope text
    std::string encKeyPem; // PKCS#8 PEM of the encryption private key
    std::string caCert;    // Base64 DER of the issuing CA's certificate, one line
    std::vector<uint8_t> encKeyEnveloped; // what the envelope protects: PKCS#1 RSAPrivateKey
                                          // DER, or the 32-byte SM2 scalar
};

// Issue: parses requestText (Base64 with or without line breaks, or PEM),
// checks its signature and issues for it. Never throws; on failure ok is false,
// error says why and no other field is set. Safe to call from several threads
// and processes at once, also on a CA folder that does not exist yet.
[[nodiscard]] IssueResult Issue(const IssueOptions& options, std::string_view requestText);

struct Authorities {
    std::string rsaCertPath; // PEM certificate of the RSA-2048 root CA
    std::string rsaKeyPath;  // its PKCS#8 PEM key (mode 0600)
    std::string sm2CertPath; // PEM certificate of the SM2 root CA (SM2 with SM3)
    std::string sm2KeyPath;
};

// EnsureAuthorities: creates the CA folder and both CAs unless they exist,
// safely against concurrent callers, and returns their file paths. On failure
// returns nothing and sets error.
[[nodiscard]] std::optional<Authorities> EnsureAuthorities(const std::string& caDir,
                                                           std::string& error);

// ParseFormat / ParseMalformation: the command-line names ("old", "new-rsa",
// "sm2-c1c3c2", "sm2-c1c2c3"; "bad-device-type", ...); empty when unknown.
[[nodiscard]] std::optional<EnvelopeFormat> ParseFormat(std::string_view name);
[[nodiscard]] std::optional<Malformation> ParseMalformation(std::string_view name);

// The SM2 signer identity used for every SM2 signature here.
inline constexpr std::string_view kSm2DefaultId = "1234567812345678";

} // namespace orvane::tools::testca
