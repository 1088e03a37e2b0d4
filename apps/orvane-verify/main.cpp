// orvane-verify: a relying party's check of a message Orvane's signers made
// (or any PKCS #7 or SM2 signed data of one signer).
//   orvane-verify [--ca FILE|DIR]... [--untrusted FILE]... [--at TIME] [--sm2-id ID] [--json]
//                 MESSAGE [CONTENT]
// Exit status: 0 verified, 1 not verified, 2 a usage error.
#include "verify/SignedMessage.h"
#include "verify/Verifier.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

using namespace orvane::verify;

constexpr char kUsage[] =
    "usage: orvane-verify [--ca FILE|DIR]... [--untrusted FILE]... [--at TIME] [--sm2-id ID]\n"
    "                     [--json] MESSAGE [CONTENT]\n"
    "  MESSAGE   the signed message: Base64 text (one line or broken lines) or DER; - reads\n"
    "            standard input\n"
    "  CONTENT   the signed content of a detached message\n"
    "  --ca      trust anchors: a PEM bundle, or a folder of PEM or DER files\n"
    "  --untrusted  intermediate certificates (PEM bundle or DER)\n"
    "  --at      the validation time, 2031-01-01T00:00:00Z (default: now)\n"
    "  --sm2-id  the SM2 signer's identity (default 1234567812345678)\n"
    "  --json    a JSON report instead of the verdict line\n"
    "Exit status: 0 verified, 1 not verified, 2 usage error.\n";

int UsageError(const std::string& why) {
    std::fprintf(stderr, "orvane-verify: %s\n%s", why.c_str(), kUsage);
    return 2;
}

struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// The message's bytes, at most kMaxMessageBytes: a larger input is refused
// after reading one byte past the limit, never held whole.
bool ReadMessage(const std::string& path, std::vector<std::uint8_t>& out, std::string& why) {
    std::unique_ptr<std::FILE, FileClose> owned;
    std::FILE* f = stdin;
    if (path != "-") {
        owned.reset(std::fopen(path.c_str(), "rb"));
        if (!owned) {
            why = "the message " + path + " cannot be opened";
            return false;
        }
        f = owned.get();
    } else {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
    }
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), f);
        if (out.size() + n > kMaxMessageBytes) {
            why = "the message is larger than " + std::to_string(kMaxMessageBytes >> 20) +
                  " MiB; a large signed file belongs in a detached message's CONTENT";
            return false;
        }
        out.insert(out.end(), buffer.begin(), buffer.begin() + long(n));
        if (n < buffer.size()) {
            if (std::ferror(f)) {
                why = "the message could not be read to its end";
                return false;
            }
            return true;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    VerifyOptions options;
    options.at = std::int64_t(std::time(nullptr));
    bool json = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v, why;
        if (arg == "--ca" || arg == "--untrusted") {
            if (!value(v))
                return UsageError(arg + " needs a file");
            if (!LoadCertificates(v, arg == "--ca" ? options.anchors : options.untrusted, why))
                return UsageError(arg + ": " + why);
        } else if (arg == "--at") {
            if (!value(v) || !ParseUtcTime(v, options.at))
                return UsageError("--at needs a time such as 2031-01-01T00:00:00Z");
        } else if (arg == "--sm2-id") {
            if (!value(options.sm2Id) || options.sm2Id.empty())
                return UsageError("--sm2-id needs an identity");
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return UsageError("unknown option " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty() || positional.size() > 2)
        return UsageError(positional.empty() ? "name the message" : "too many arguments");

    std::vector<std::uint8_t> message;
    std::string why;
    const Report report =
        ReadMessage(positional[0], message, why)
            ? VerifyMessage(message, positional.size() > 1 ? positional[1] : "", options)
            : RefusedMessage(why);
    if (json)
        std::printf("%s\n", report.Json().c_str());
    else
        std::printf("orvane-verify: %s\n", report.Verdict().c_str());
    return report.Verified() ? 0 : 1;
}
