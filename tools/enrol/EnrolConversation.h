// A whole enrolment held with a native-messaging host through frames, as a
// page's script would hold it: choose a provider and algorithm, request a
// certificate, have the test issuer answer, import what it issued, list the
// personal certificates. Used by the demo (scripts/run.sh), the end-to-end
// tests and the enrolment benchmark (POSIX).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvane::tools {

struct EnrolOptions {
    std::vector<std::string> hostCommand;     // argv of the host
    std::vector<std::string> hostEnvironment; // extra "NAME=value" entries
    std::string provider = "Microsoft Enhanced Cryptographic Provider v1.0";
    std::string algorithm = "RSA"; // "RSA" or "SM2"
    int keyBits = 2048;
    int certType = 2; // 1 single, 2 signing + encryption
    std::string subject = "CN=Alice Example,OU=Retail,O=Orvane Demo,C=CN";
    int generationFlags = 1; // the signing key may be exported
    int importFlags = 1;     // the encryption key may be exported
    std::string caDir;       // the test issuer's folder
    // The envelope form: "" lets the host's rule decide ("old" for RSA in
    // "Microsoft" providers or with 1024 bits, "new-rsa" for other RSA
    // providers, "sm2-c1c3c2" for SM2); or any form the issuer knows.
    std::string envelopeFormat;
    int timeoutMs = 120000;
    // Each request and response in readable form, one call per line; empty
    // for silence.
    std::function<void(const std::string&)> print;
};

struct EnrolStep {
    std::string name; // the method, or "issue" for the test issuer
    double ms = 0;    // wall time of the round trip
};

struct EnrolResult {
    bool ok = false;
    std::string error; // what failed, when !ok
    std::string cspList;
    std::string request; // the Base64 request as the host answered it
    std::string container;
    std::string signCert;  // Base64 DER
    std::string encCert;   // Base64 DER (double certificates)
    std::string encKeyPem; // the issued encryption key (double certificates)
    std::string certList;  // the host's list of personal certificates
    std::vector<EnrolStep> steps;
};

// RunEnrolment: starts the host, holds the conversation, closes the host.
EnrolResult RunEnrolment(const EnrolOptions& options);

// DefaultEnvelopeFormat: the form the host's import rule expects.
std::string DefaultEnvelopeFormat(const EnrolOptions& options);

} // namespace orvane::tools
