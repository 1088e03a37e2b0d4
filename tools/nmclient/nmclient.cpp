// nmclient: holds a native-messaging conversation with a host, the way a
// browser extension would, and shows it readably.
//
//   nmclient [--script FILE] [--quiet] [--] HOST [HOST-ARGS...]
//
// Each non-empty line of FILE (standard input by default) is one JSON request;
// lines starting with '#' are printed as commentary. Every request is framed
// and sent, the response is read and both are printed, one line each (the
// request as the parser reads it, the response byte for byte). At the
// end the host's input is closed and its exit code reported. Exits 0 when the
// host answered every request and ended with 0.
#include "host/JsonHandles.h"
#include "tools/nmclient/HostProcess.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

// One line per message: the JSON as the parser sees it, or the raw text.
std::string Show(const std::string& text) {
    UniqueJson json(cJSON_Parse(text.c_str()));
    if (!json)
        return text + "   (not JSON)";
    UniqueJsonText printed(cJSON_PrintUnformatted(json.get()));
    return printed ? std::string(printed.get()) : text;
}

int Usage() {
    std::fprintf(stderr, "usage: nmclient [--script FILE] [--quiet] [--] HOST [HOST-ARGS...]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string script;
    bool quiet = false;
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--script") == 0 && i + 1 < argc)
            script = argv[++i];
        else if (std::strcmp(argv[i], "--quiet") == 0)
            quiet = true;
        else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else if (argv[i][0] == '-')
            return Usage();
        else
            break;
    }
    if (i >= argc)
        return Usage();
    std::vector<std::string> host(argv + i, argv + argc);

    std::ifstream file;
    if (!script.empty()) {
        file.open(script);
        if (!file) {
            std::fprintf(stderr, "nmclient: cannot read %s\n", script.c_str());
            return 2;
        }
    }
    std::istream& in = script.empty() ? std::cin : file;

    orvane::tools::HostProcess process;
    if (!process.Start(host)) {
        std::fprintf(stderr, "nmclient: %s\n", process.Error().c_str());
        return 1;
    }
    bool allAnswered = true;
    std::string line;
    int n = 0;
    bool inComment = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (line[0] == '#') {
            // A blank line before each block of commentary, not before every line.
            if (!quiet)
                std::printf(inComment ? "%s\n" : "\n%s\n", line.c_str());
            inComment = true;
            continue;
        }
        inComment = false;
        ++n;
        if (!quiet)
            std::printf("%3d -> %s\n", n, Show(line).c_str());
        if (!process.WriteAll(orvane::tools::Frame(line))) {
            std::printf("    <- <%s>\n", process.Error().c_str());
            allAnswered = false;
            break;
        }
        std::string body;
        auto status = process.ReadFrame(body, 120000);
        if (status != orvane::tools::HostProcess::ReadStatus::Frame) {
            const char* why = status == orvane::tools::HostProcess::ReadStatus::TooLong
                                  ? "response too long (FF FF FF FF)"
                              : status == orvane::tools::HostProcess::ReadStatus::TimedOut
                                  ? "no response within 120 s"
                                  : "the host closed its output";
            std::printf("    <- <%s>\n", why);
            allAnswered = false;
            break;
        }
        std::printf("    <- %s\n", body.c_str()); // exactly as the host sent it
    }
    process.CloseInput();
    int exitCode = process.Wait();
    if (!quiet)
        std::printf("\nhost ended with exit code %d after %d request(s)\n", exitCode, n);
    return allAnswered && exitCode == 0 ? 0 : 1;
}
