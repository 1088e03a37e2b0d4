// testca: issues test certificates for the system's PKCS#10 requests (see
// TestIssuer.h); the command-line face of the issuer for scripts and the demo.
#include "host/JsonText.h"
#include "tools/testca/TestIssuer.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <new>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace orvane::tools::testca;
namespace fs = std::filesystem;

constexpr const char* kUsage = R"(usage: testca --ca-dir DIR [options] [--request FILE]
       testca --ca-dir DIR --init

Issues certificates for a PKCS#10 request as the system builds it (Base64 in
CR LF lines of 64 characters, or one line, or PEM), read from FILE or from
standard input ("-" or no --request). The request's signature must verify.
Every request gets a signing certificate; a request with a temporary key
(certificate type 2) also gets an encryption key pair generated here, its
certificate and the encrypted-key envelope.

The CA folder holds an RSA-2048 root (signs RSA requests, SHA-256) and an SM2
root (signs SM2 requests, SM2 with SM3, default identity); both are created on
first use, safely when several processes start at once.

options:
  --ca-dir DIR            CA folder (required)
  --init                  only create the CAs; print their file paths as JSON
  --request FILE          the request text ("-": standard input)
  --out-dir DIR           write sign.b64, and for pairs enc.b64, envelope.txt and
                          enc-key.pem (PKCS#8, mode 0600); nothing on failure
  --json                  print {"algorithm","signCert","encCert","envelope","caCert"}
                          on standard output (the default without --out-dir)
  --format F              envelope format:
                            old         RSA (default for RSA): session key type 306;
                                        24-byte triple-DES key, RSA PKCS#1 v1.5 under
                                        the temporary key (most significant byte
                                        first); PKCS#1 RSAPrivateKey DER encrypted
                                        with DES-EDE3 ECB, PKCS#5 padding
                            new-rsa     RSA token: the same two layers, which the
                                        system hands to the token unopened
                            sm2-c1c3c2  SM2 (default for SM2): SM2 encryption of the
                                        32-byte private scalar under the temporary
                                        key; C1 = X || Y (64 bytes, no 04), C3, C2;
                                        session key type 0, empty session key
                            sm2-c1c2c3  the same in the order C1 || C2 || C3
  --enc-key-bits N        RSA encryption key length (default: the signing key's)
  --enc-key FILE          envelope this PEM private key instead of a new one
  --device-type N         envelope device type (default 0)
  --encrypt-type N        envelope encrypt type (default 1)
  --session-key-type N    envelope session key type (default 306 RSA, 0 SM2)
  --commas N              a comma after every N Base64 characters in key fields
  --comma-certs           ... and in the certificate texts too
  --malformed KIND        a deliberate envelope fault:
                            bad-device-type       device type 3
                            bad-encrypt-type      encrypt type 3
                            bad-session-key-type  session key type 305
                            truncated             text cut inside the private key field
                            wrong-length          private key length one too large
                            negative-length       private key length -1
                            no-terminator         private key field without final comma
                            non-base64            '*' in the private key field
                            three-elements        key SEQUENCE with three elements
                            wrong-key             enveloped under a stranger's key
  --help                  this text

Exit status: 0 success, 1 request refused or issuing failed, 2 usage error.
)";

bool ParseNumber(const char* text, long long low, long long high, long long& value) {
    const char* end = text + std::strlen(text);
    const auto [p, ec] = std::from_chars(text, end, value);
    return ec == std::errc() && p == end && value >= low && value <= high;
}

std::string JsonString(const std::string& text) {
    std::string out;
    if (!AppendJsonString(out, text))
        throw std::bad_alloc();
    return out;
}

bool ReadAll(const std::string& path, std::string& text) {
    if (path.empty() || path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return !std::cin.bad();
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return !in.bad();
}

bool WriteFile(const fs::path& path, const std::string& data, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, mode) == 0;
    for (size_t done = 0; ok && done < data.size();) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        ok = n > 0 || (n < 0 && errno == EINTR);
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    return close(fd) == 0 && ok;
}

int Usage(const std::string& message) {
    std::cerr << "testca: " << message << "\n(see testca --help)\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    IssueOptions options;
    std::string requestPath, outDir, encKeyPath;
    bool json = false, init = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](const char*& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        long long n = 0;
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--init") {
            init = true;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--comma-certs") {
            options.commasInCertificates = true;
        } else if (!value(v)) {
            return Usage(arg.rfind("--", 0) == 0 ? "missing value for " + arg
                                                 : "unexpected argument " + arg);
        } else if (arg == "--ca-dir") {
            options.caDir = v;
        } else if (arg == "--request") {
            requestPath = v;
        } else if (arg == "--out-dir") {
            outDir = v;
        } else if (arg == "--enc-key") {
            encKeyPath = v;
        } else if (arg == "--format") {
            options.format = ParseFormat(v);
            if (!options.format)
                return Usage(std::string("unknown format ") + v);
        } else if (arg == "--malformed") {
            const auto kind = ParseMalformation(v);
            if (!kind)
                return Usage(std::string("unknown fault ") + v);
            options.malformation = *kind;
        } else if (arg == "--enc-key-bits") {
            if (!ParseNumber(v, 512, 16384, n))
                return Usage("bad key length");
            options.encryptionKeyBits = static_cast<int>(n);
        } else if (arg == "--device-type" || arg == "--encrypt-type" ||
                   arg == "--session-key-type") {
            if (!ParseNumber(v, INT32_MIN, INT32_MAX, n))
                return Usage("bad number for " + arg);
            if (arg == "--device-type")
                options.deviceType = static_cast<int>(n);
            else if (arg == "--encrypt-type")
                options.encryptType = static_cast<int>(n);
            else
                options.sessionKeyType = static_cast<int>(n);
        } else if (arg == "--commas") {
            if (!ParseNumber(v, 0, 1 << 20, n))
                return Usage("bad comma interval");
            options.commaEvery = static_cast<size_t>(n);
        } else {
            return Usage("unknown option " + arg);
        }
    }
    if (options.caDir.empty())
        return Usage("--ca-dir is required");

    if (init) {
        std::string error;
        const auto paths = EnsureAuthorities(options.caDir, error);
        if (!paths) {
            std::cerr << "testca: " << error << "\n";
            return 1;
        }
        std::cout << "{\"rsaCaCert\":" << JsonString(paths->rsaCertPath)
                  << ",\"rsaCaKey\":" << JsonString(paths->rsaKeyPath)
                  << ",\"sm2CaCert\":" << JsonString(paths->sm2CertPath)
                  << ",\"sm2CaKey\":" << JsonString(paths->sm2KeyPath) << "}\n";
        return 0;
    }

    std::string request;
    if (!ReadAll(requestPath, request)) {
        std::cerr << "testca: cannot read the request " << requestPath << "\n";
        return 1;
    }
    if (!encKeyPath.empty() && !ReadAll(encKeyPath, options.encryptionKeyPem)) {
        std::cerr << "testca: cannot read the key " << encKeyPath << "\n";
        return 1;
    }
    const IssueResult result = Issue(options, request);
    if (!result.ok) {
        std::cerr << "testca: request refused: " << result.error << "\n";
        return 1;
    }

    if (!outDir.empty()) {
        const fs::path dir(outDir);
        std::error_code ec;
        fs::create_directories(dir, ec);
        bool ok = WriteFile(dir / "sign.b64", result.signCert, 0644);
        if (result.pair)
            ok = ok && WriteFile(dir / "enc.b64", result.encCert, 0644) &&
                 WriteFile(dir / "envelope.txt", result.envelope, 0644) &&
                 WriteFile(dir / "enc-key.pem", result.encKeyPem, 0600);
        if (!ok) {
            std::cerr << "testca: cannot write to " << outDir << ": " << std::strerror(errno)
                      << "\n";
            return 1;
        }
    }
    if (json || outDir.empty()) {
        std::cout << "{\"algorithm\":" << JsonString(result.sm2 ? "SM2" : "RSA")
                  << ",\"signCert\":" << JsonString(result.signCert);
        if (result.pair)
            std::cout << ",\"encCert\":" << JsonString(result.encCert)
                      << ",\"envelope\":" << JsonString(result.envelope);
        std::cout << ",\"caCert\":" << JsonString(result.caCert) << "}\n";
    }
    return std::cout.flush() ? 0 : 1;
}
