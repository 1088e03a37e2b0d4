// Running the PIN prompt program (see pin_prompt.h for the protocol). The
// program is started directly (posix_spawn, no shell) with its own standard
// input and output: a host's standard streams carry the browser's messages,
// so the prompt must never read or write them. Only the pipe ends meant for
// it reach the child; every other descriptor is closed in it.
#include "csp/pkcs11/pin_prompt.h"
#include "csp/pkcs11/prompt_output.h"

#include "internal/util.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

#ifndef ORVANE_PIN_PROMPT_INSTALLED
#define ORVANE_PIN_PROMPT_INSTALLED "/usr/lib/orvane/orvane-pin"
#endif

namespace orvane::platform::csp {

namespace {

// How long a PIN pad notice may take to close after its input ends before it
// is stopped: the login must not wait on a window that does not go away.
constexpr int kNoticeCloseMs = 2000;

constexpr DWORD kNoWindow = 0x8007057E; // HRESULT_FROM_WIN32(ERROR_TLW_WITH_WSCHILD)

bool HasDisplay() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && x11[0] != 0) || (wayland != nullptr && wayland[0] != 0);
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// ModuleFolder: the folder of the executable or shared object that holds this
// code. The main program's entry in the loader's list carries no usable name
// (or the name it was started by, relative to a folder since left), so it is
// read from /proc instead.
std::string ModuleFolder() {
    Dl_info info{};
    link_map* map = nullptr;
    std::string path;
    if (dladdr1(reinterpret_cast<void*>(&AskForPin), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) != 0 &&
        map != nullptr && map->l_name != nullptr && map->l_name[0] == '/') {
        path = map->l_name;
    } else {
        char buffer[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (n <= 0)
            return {};
        path.assign(buffer, size_t(n));
    }
    // A plug-in is often reached through a link in the browser's plug-in
    // folder; the prompt sits beside the real file.
    if (char* real = realpath(path.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// FindPrompt: $ORVANE_PIN_PROMPT (a path, never searched for in PATH), else
// orvane-pin beside this module, else the installed one.
Status FindPrompt(std::string& program) {
    if (const char* chosen = std::getenv("ORVANE_PIN_PROMPT");
        chosen != nullptr && chosen[0] != 0) {
        program = chosen;
        return IsExecutableFile(program) ? Status() : Status(ERROR_FILE_NOT_FOUND);
    }
    const std::string folder = ModuleFolder();
    if (!folder.empty() && IsExecutableFile(folder + "/orvane-pin")) {
        program = folder + "/orvane-pin";
        return {};
    }
    program = ORVANE_PIN_PROMPT_INSTALLED;
    return IsExecutableFile(program) ? Status() : Status(ERROR_FILE_NOT_FOUND);
}

const char* TriesArgument(PinTries tries) {
    switch (tries) {
    case PinTries::Low:
        return "low";
    case PinTries::Final:
        return "final";
    case PinTries::Unknown:
        break;
    }
    return "unknown";
}

std::vector<std::string> Arguments(const std::string& program, const std::u16string& token) {
    const bool chinese = PRIMARYLANGID(CurrentUiLanguage()) == LANG_CHINESE;
    return {program, "--token", ToUtf8(token.c_str()), "--lang", chinese ? "zh" : "en"};
}

struct Fd {
    int fd = -1;
    Fd() = default;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Close(); }
    void Close() {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

// Spawn: starts program with childIn as its standard input and childOut as
// its standard output (stderr is shared: what a prompt says about its own
// failure belongs in the caller's log). Every other descriptor is closed in
// the child.
Status Spawn(const std::vector<std::string>& args, int childIn, int childOut, pid_t& pid) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return ERROR_NOT_ENOUGH_MEMORY;
    int err = posix_spawn_file_actions_adddup2(&actions, childIn, STDIN_FILENO);
    if (err == 0)
        err = posix_spawn_file_actions_adddup2(&actions, childOut, STDOUT_FILENO);
    if (err == 0)
        err = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // The caller may ignore SIGPIPE or block signals; the prompt starts with
    // the defaults so that it can be stopped and sees a closed pipe normally.
    posix_spawnattr_t attr;
    bool attrMade = false;
    if (err == 0) {
        err = posix_spawnattr_init(&attr);
        attrMade = err == 0;
    }
    if (err == 0) {
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        err = posix_spawnattr_setsigmask(&attr, &none);
        if (err == 0)
            err = posix_spawnattr_setsigdefault(&attr, &all);
        if (err == 0)
            err = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    if (err == 0)
        err = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    if (attrMade)
        posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return err == 0 ? Status() : Status(Win32ErrorFromErrno(err));
}

// Reap: waits for the child; false when its status cannot be known (a caller
// that set SIGCHLD to be ignored has the system reap it).
bool Reap(pid_t pid, int& status) {
    for (;;) {
        if (waitpid(pid, &status, 0) == pid)
            return true;
        if (errno != EINTR)
            return false;
    }
}

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// ReapWithin: waits up to ms for the child, then stops it.
void ReapWithin(pid_t pid, int ms) {
    const int64_t end = NowMs() + ms;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return;
        if (NowMs() >= end)
            break;
        const timespec pause{0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    kill(pid, SIGKILL);
    Reap(pid, status);
}

// ReadOutput: the child's whole output, to end of file, into out. Each piece
// read is wiped from the stack once handed over.
Status ReadOutput(int fd, PromptOutput& out) {
    BYTE chunk[128];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : 0;
            OPENSSL_cleanse(chunk, sizeof chunk);
            return Win32ErrorFromErrno(err);
        }
        out.Add(chunk, size_t(n));
    }
}

} // namespace

Status AskForPin(const PinRequest& request, SecureBytes& pin) {
    pin.Wipe();
    pin.clear();
    if (!HasDisplay())
        return kNoWindow;
    std::string program;
    if (Status s = FindPrompt(program); s != 0)
        return s;

    std::vector<std::string> args = Arguments(program, request.token);
    args.push_back("--tries");
    args.push_back(TriesArgument(request.tries));
    if (request.retry)
        args.push_back("--retry");

    Fd out[2]; // read end, write end
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return Win32ErrorFromErrno(errno);
    out[0].fd = ends[0];
    out[1].fd = ends[1];
    Fd nullIn;
    nullIn.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nullIn.fd < 0)
        return Win32ErrorFromErrno(errno);

    pid_t pid = -1;
    if (Status s = Spawn(args, nullIn.fd, out[1].fd, pid); s != 0)
        return s;
    out[1].Close();
    nullIn.Close();

    PromptOutput output;
    const Status readStatus = ReadOutput(out[0].fd, output);
    out[0].Close();
    int status = 0;
    if (!Reap(pid, status))
        return ERROR_INTERNAL_ERROR;
    if (!WIFEXITED(status))
        return ERROR_INTERNAL_ERROR; // killed: nothing it wrote can be trusted
    switch (WEXITSTATUS(status)) {
    case 0:
        break;
    case 1:
        return Err(SCARD_W_CANCELLED_BY_USER);
    case 2:
        return kNoWindow;
    default:
        return ERROR_INTERNAL_ERROR;
    }
    if (readStatus != 0)
        return readStatus;
    return output.Take(pin);
}

void PromptOutput::Add(const BYTE* data, size_t length) {
    const size_t room = kMaxPromptPinBytes + 1 - kept_.size();
    kept_.insert(kept_.end(), data, data + std::min(room, length));
    overflow_ = overflow_ || length > room;
}

Status PromptOutput::Take(SecureBytes& pin) {
    pin.Wipe();
    pin.clear();
    const bool oneLine = !overflow_ && !kept_.empty() && kept_.back() == '\n' &&
                         std::memchr(kept_.data(), '\n', kept_.size() - 1) == nullptr;
    if (oneLine) {
        pin.reserve(kept_.size() - 1);
        pin.assign(kept_.begin(), kept_.end() - 1);
    }
    kept_.Wipe();
    kept_.clear();
    overflow_ = false;
    return oneLine ? Status() : Status(ERROR_INVALID_DATA);
}

namespace {

class PinPadWindow final : public PinPadNotice {
public:
    PinPadWindow(pid_t pid, int input) : pid_(pid), input_(input) {}
    ~PinPadWindow() override {
        close(input_); // end of file: the notice closes itself
        ReapWithin(pid_, kNoticeCloseMs);
    }
    PinPadWindow(const PinPadWindow&) = delete;
    PinPadWindow& operator=(const PinPadWindow&) = delete;

private:
    pid_t pid_;
    int input_;
};

} // namespace

// Show: null when no notice can be shown (no display, no prompt program, a
// failure to start it); the login goes on either way.
std::unique_ptr<PinPadNotice> PinPadNotice::Show(const std::u16string& token) {
    if (!HasDisplay())
        return nullptr;
    std::string program;
    if (FindPrompt(program) != 0)
        return nullptr;
    std::vector<std::string> args = Arguments(program, token);
    args.push_back("--pinpad");

    Fd in[2]; // read end (the child's input), write end (kept)
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return nullptr;
    in[0].fd = ends[0];
    in[1].fd = ends[1];
    Fd nullOut;
    nullOut.fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nullOut.fd < 0)
        return nullptr;
    pid_t pid = -1;
    if (Spawn(args, in[0].fd, nullOut.fd, pid) != 0)
        return nullptr;
    auto notice = std::make_unique<PinPadWindow>(pid, in[1].fd);
    in[1].fd = -1; // owned by the notice now
    return notice;
}

} // namespace orvane::platform::csp
