#include "tools/nmclient/HostProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace orvane::tools {

std::string Frame(const std::string& body) {
    const auto n = static_cast<uint32_t>(body.size());
    std::string out{char(n & 0xFF), char((n >> 8) & 0xFF), char((n >> 16) & 0xFF),
                    char((n >> 24) & 0xFF)};
    return out + body;
}

std::vector<std::string> SplitCommand(const std::string& text) {
    std::vector<std::string> words;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('|', start);
        words.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return words;
        start = end + 1;
    }
}

HostProcess::~HostProcess() {
    CloseInput();
    if (m_out >= 0)
        close(m_out);
    if (m_pid > 0) {
        Kill();
        Wait();
    }
}

bool HostProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    if (argv.empty()) {
        m_error = "no program";
        return false;
    }
    // A host that exits early must not kill us with SIGPIPE on our next write.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return m_error = std::strerror(errno), false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return m_error = std::strerror(errno), false;
    }
    std::vector<std::string> args(argv);
    std::vector<char*> argp;
    for (auto& a : args)
        argp.push_back(a.data());
    argp.push_back(nullptr);
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e)
        envs.emplace_back(*e);
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    int rc = posix_spawn(&m_pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        m_pid = -1;
        m_error = std::string("cannot start ") + argv[0] + ": " + std::strerror(rc);
        return false;
    }
    m_in = in[1];
    m_out = out[0];
    return true;
}

bool HostProcess::WriteAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m_in, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return m_error = "the host no longer reads its input", false;
        done += size_t(n);
    }
    return true;
}

void HostProcess::CloseInput() {
    if (m_in >= 0)
        close(m_in);
    m_in = -1;
}

bool HostProcess::ReadExactly(char* p, size_t n, int timeoutMs, bool& eof) {
    eof = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return false;
        pollfd pfd{m_out, POLLIN, 0};
        int ready = poll(&pfd, 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        ssize_t got = read(m_out, p + done, n - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            eof = true;
            return false;
        }
        done += size_t(got);
    }
    return true;
}

HostProcess::ReadStatus HostProcess::ReadFrame(std::string& body, int timeoutMs) {
    unsigned char prefix[4];
    bool eof = false;
    if (!ReadExactly(reinterpret_cast<char*>(prefix), 4, timeoutMs, eof))
        return eof ? ReadStatus::EndOfOutput : ReadStatus::TimedOut;
    const uint32_t n = uint32_t(prefix[0]) | uint32_t(prefix[1]) << 8 | uint32_t(prefix[2]) << 16 |
                       uint32_t(prefix[3]) << 24;
    if (n == 0xFFFFFFFFu)
        return ReadStatus::TooLong;
    body.assign(n, '\0');
    if (!ReadExactly(body.data(), n, timeoutMs, eof))
        return eof ? ReadStatus::EndOfOutput : ReadStatus::TimedOut;
    return ReadStatus::Frame;
}

bool HostProcess::ReadToEnd(std::string& bytes, int timeoutMs) {
    char buf[65536];
    for (;;) {
        bool eof = false;
        // Read whatever is there, a byte at least, until the output closes.
        pollfd pfd{m_out, POLLIN, 0};
        int ready = poll(&pfd, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return false;
        ssize_t got = read(m_out, buf, sizeof(buf));
        if (got < 0 && errno == EINTR)
            continue;
        eof = got <= 0;
        if (eof)
            return true;
        bytes.append(buf, size_t(got));
    }
}

int HostProcess::Wait() {
    if (m_pid <= 0)
        return -1;
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void HostProcess::Kill() {
    if (m_pid > 0)
        kill(m_pid, SIGKILL);
}

} // namespace orvane::tools
