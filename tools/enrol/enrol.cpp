// enrol: holds a whole enrolment with a native-messaging host, as a page
// would, with the test issuer standing in for the certification authority.
#include "tools/enrol/EnrolConversation.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Usage(FILE* out) {
    std::fputs(
        "usage: enrol --host PROGRAM --ca-dir DIR [options]\n"
        "  --host PROGRAM     the native-messaging host to talk to (its arguments follow\n"
        "                     as further --host-arg ARG)\n"
        "  --ca-dir DIR       the test issuer's folder (made on first use)\n"
        "  --provider NAME    the CSP (default: Microsoft Enhanced Cryptographic Provider v1.0)\n"
        "  --algorithm RSA|SM2  (default RSA)\n"
        "  --bits N           key length (default 2048; 256 for SM2)\n"
        "  --type 1|2         single certificate, or signing + encryption (default 2)\n"
        "  --subject DN       (default CN=Alice Example,OU=Retail,O=Orvane Demo,C=CN)\n"
        "  --format FORM      envelope form: old, new-rsa, sm2-c1c3c2, sm2-c1c2c3\n"
        "                     (default: the one the host's import rule expects)\n"
        "  --quiet            print only the outcome\n"
        "Exit status: 0 enrolled, 1 a step failed, 2 usage error.\n",
        out);
}

} // namespace

int main(int argc, char** argv) {
    orvane::tools::EnrolOptions options;
    bool quiet = false, bitsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "enrol: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--host")
            options.hostCommand.insert(options.hostCommand.begin(), value());
        else if (arg == "--host-arg")
            options.hostCommand.push_back(value());
        else if (arg == "--ca-dir")
            options.caDir = value();
        else if (arg == "--provider")
            options.provider = value();
        else if (arg == "--algorithm")
            options.algorithm = value();
        else if (arg == "--bits")
            options.keyBits = std::atoi(value()), bitsGiven = true;
        else if (arg == "--type")
            options.certType = std::atoi(value());
        else if (arg == "--subject")
            options.subject = value();
        else if (arg == "--format")
            options.envelopeFormat = value();
        else if (arg == "--quiet")
            quiet = true;
        else if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "enrol: unknown argument %s\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (options.hostCommand.empty() || options.caDir.empty()) {
        Usage(stderr);
        return 2;
    }
    if (!bitsGiven && (options.algorithm == "SM2" || options.algorithm == "sm2"))
        options.keyBits = 256;
    if (!quiet)
        options.print = [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        };

    const orvane::tools::EnrolResult result = orvane::tools::RunEnrolment(options);
    if (!result.ok) {
        std::fprintf(stderr, "enrol: %s\n", result.error.c_str());
        return 1;
    }
    const char* hive = std::getenv("ORVANE_USER_HIVE");
    const bool microsoft = options.provider.find("Microsoft") != std::string::npos;
    std::printf("\nenrolled: container %s in \"%s\"\n", result.container.c_str(),
                options.provider.c_str());
    std::printf("  keys: the %s, in the %s\n",
                options.certType == 2 ? "signing key pair and encryption key pair" : "key pair",
                hive != nullptr ? (std::string("registry hive ") + hive).c_str()
                                : "user's registry hive");
    std::printf("  certificates: %s\n",
                microsoft ? "in the personal store \"MY\" of that hive, linked to the container"
                          : "kept with their keys in the token's container");
    // The host's list of the personal store, one certificate a line.
    std::printf("  personal certificates now:\n");
    const std::string& list = result.certList;
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find("||", start);
        if (end == std::string::npos)
            end = list.size();
        std::printf("    %s\n", list.substr(start, end - start).c_str());
        start = end + 2;
    }
    if (list.empty())
        std::printf("    (none)\n");
    return 0;
}
