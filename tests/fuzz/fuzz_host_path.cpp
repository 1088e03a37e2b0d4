// The host's whole request path on fuzz bytes: they arrive on standard input
// as a browser's frames would, and the real request loop reads, parses and
// dispatches them into the real enrolment agent (its registry a scratch hive
// of the run) and frames its answers. The first byte chooses how the rest is
// sent: as it is (the framing itself is fuzzed), or cut at 0x1E into bodies
// that are each framed correctly (so that the JSON and the methods are).
// Every answer must be one frame of at most 1 MiB holding UTF-8 JSON that
// names a function and carries an error code; the loop must end at the end
// of input.
#include "host/IOStream.h"
#include "host/JSONUtility.h"
#include "host/JsonHandles.h"
#include "host/OrvaneHost.h"
#include "enrolment/EnrolMethods.h"
#include "version/Tandry.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// What a pipe holds without a reader: the whole input is written before the
// loop runs.
constexpr size_t kMaxInput = 60000;

int g_fdOutput = -1;
// The module handle the agent takes its error texts from, as the host's.
HMODULE g_hModule = nullptr;

std::string Frames(const uint8_t* data, size_t size) {
    if (size == 0)
        return {};
    std::string in(reinterpret_cast<const char*>(data + 1), size - 1);
    if ((data[0] & 1) == 0)
        return in;
    std::string out;
    size_t start = 0;
    for (;;) {
        const size_t end = in.find('\x1E', start);
        const std::string body = in.substr(start, end == std::string::npos ? end : end - start);
        const uint32_t n = uint32_t(body.size());
        const char prefix[4] = {char(n), char(n >> 8), char(n >> 16), char(n >> 24)};
        out.append(prefix, 4);
        out += body;
        if (end == std::string::npos)
            return out;
        start = end + 1;
    }
}

void CheckAnswers(const std::string& output) {
    size_t i = 0;
    while (i < output.size()) {
        if (output.size() - i < 4)
            std::abort();
        const auto* p = reinterpret_cast<const unsigned char*>(output.data() + i);
        const uint32_t n =
            uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        if (n > kMaxOutputMessage || output.size() - i - 4 < n)
            std::abort();
        const std::string body = output.substr(i + 4, n);
        if (!IsWellFormedUtf8(body.data(), body.size()))
            std::abort();
        UniqueJson json(cJSON_Parse(body.c_str()));
        if (!json || !cJSON_IsString(cJSON_GetObjectItem(json.get(), "function")) ||
            !cJSON_IsNumber(cJSON_GetObjectItem(json.get(), "errorcode")))
            std::abort();
        i += 4 + n;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/orvane-fuzz-host-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        std::abort();
    setenv("ORVANE_USER_HIVE", (std::string(dir) + "/user.db").c_str(), 1);
    setenv("ORVANE_MACHINE_HIVE", (std::string(dir) + "/machine.db").c_str(), 1);
    char out[] = "/tmp/orvane-fuzz-host-out-XXXXXX";
    g_fdOutput = mkstemp(out);
    if (g_fdOutput < 0)
        std::abort();
    unlink(out);
    g_hModule = GetModuleHandleW(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input = Frames(data, size < kMaxInput ? size : kMaxInput);
    if (input.size() > kMaxInput)
        return 0;
    int fds[2];
    if (pipe(fds) != 0)
        std::abort();
    if (!input.empty() && write(fds[1], input.data(), input.size()) != ssize_t(input.size()))
        std::abort();
    close(fds[1]);
    if (dup2(fds[0], 0) < 0 || ftruncate(g_fdOutput, 0) != 0 ||
        lseek(g_fdOutput, 0, SEEK_SET) != 0 || dup2(g_fdOutput, 1) < 0)
        std::abort();
    close(fds[0]);

    // A fresh agent each time, as each browser conversation starts one.
    static CCryptoAgent* pAgent = nullptr;
    static AgentHost<ICryptoAgent, CCryptoAgent> host(kEnrolMethods, kTandryVersion, pAgent);
    if (!host.CreateAgent(g_hModule))
        std::abort();
    // The loop ends at the input's end or a failed write; either is fine here.
    static_cast<void>(RunRequestLoop(host));
    host.DeleteAgent();

    const off_t cb = lseek(g_fdOutput, 0, SEEK_END);
    std::string output(size_t(cb), '\0');
    if (cb > 0 && pread(g_fdOutput, output.data(), output.size(), 0) != ssize_t(cb))
        std::abort();
    CheckAnswers(output);
    return 0;
}
