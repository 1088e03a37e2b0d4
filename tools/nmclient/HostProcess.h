// A native-messaging host as the browser sees it: a child process spoken to
// through its standard streams with length-prefixed frames. Used by the
// conversation tool, the end-to-end tests and the benchmarks (POSIX).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace orvane::tools {

// Frame: the 4-byte little-endian length followed by the body.
std::string Frame(const std::string& body);

// SplitCommand: a command line written as one text with '|' between its
// words (how tests are told which program to start, "wine-run.sh|Tandry.exe").
std::vector<std::string> SplitCommand(const std::string& text);

class HostProcess {
public:
    enum class ReadStatus { Frame, EndOfOutput, TooLong, TimedOut };

    HostProcess() = default;
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Start: runs argv[0] (a path) with argv; extra environment entries
    // ("NAME=value") are added to ours. Returns false with a message in Error().
    [[nodiscard]] bool Start(const std::vector<std::string>& argv,
                             const std::vector<std::string>& env = {});

    // WriteAll: writes bytes to the host's input; false when the host is gone.
    [[nodiscard]] bool WriteAll(const std::string& bytes);
    // CloseInput: ends the host's input, as a browser does when it disconnects.
    void CloseInput();

    // ReadFrame: the next response body. FF FF FF FF (the host's marker for a
    // response it would not send) gives TooLong.
    ReadStatus ReadFrame(std::string& body, int timeoutMs);
    // ReadToEnd: everything the host writes until it closes its output; false
    // when timeoutMs pass without a byte.
    [[nodiscard]] bool ReadToEnd(std::string& bytes, int timeoutMs);

    // Wait: waits for the host to exit; its exit code, or -signal.
    int Wait();
    void Kill();

    const std::string& Error() const { return m_error; }

private:
    [[nodiscard]] bool ReadExactly(char* p, size_t n, int timeoutMs, bool& eof);

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_error;
};

} // namespace orvane::tools
