// The provider's side of the PIN prompt protocol, against small prompts written
// by each test: what a prompt's exit and output become, what the prompt gets
// to see of its caller (arguments, standard streams, descriptors), and how
// long a PIN pad notice may outlive its login.
#include "csp/pkcs11/pin_prompt.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using orvane::platform::csp::AskForPin;
using orvane::platform::csp::PinPadNotice;
using orvane::platform::csp::PinRequest;
using orvane::platform::csp::PinTries;
using orvane::platform::csp::SecureBytes;

constexpr DWORD kNoWindow = 0x8007057E;
constexpr DWORD kCancelled = 0x8010006E;

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

class PinPrompt : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/orvane-pin-prompt-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        log_ = dir_ / "log";
        setenv("DISPLAY", ":orvane-test", 1);
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("LC_ALL");
        setenv("LANG", "en_US.UTF-8", 1);
    }
    void TearDown() override {
        unsetenv("ORVANE_PIN_PROMPT");
        fs::remove_all(dir_);
    }

    // Prompt: a shell script as the prompt; $LOG is where it may write.
    void Prompt(const std::string& body) {
        const fs::path script = dir_ / "prompt.sh";
        std::ofstream(script) << "#!/bin/sh\nLOG='" << log_.string() << "'\n" << body << "\n";
        chmod(script.c_str(), 0700);
        setenv("ORVANE_PIN_PROMPT", script.c_str(), 1);
    }

    DWORD Ask(std::string& pin, const PinRequest& request = {u"Token", PinTries::Unknown, false}) {
        SecureBytes bytes{'s', 't', 'a', 'l', 'e'};
        const DWORD status = AskForPin(request, bytes);
        pin.assign(bytes.begin(), bytes.end());
        return status;
    }

    fs::path dir_;
    fs::path log_;
};

TEST_F(PinPrompt, ExitAndOutputBecomeResults) {
    struct {
        const char* body;
        DWORD status;
        const char* pin;
    } const rows[] = {
        {"printf '1234\\n'", 0, "1234"},
        {"printf '\\n'", 0, ""}, // the token judges an empty PIN, not the provider
        {"printf 'p\\303\\251 \\344\\270\\255\\n'", 0,
         "p\xc3\xa9 \xe4\xb8\xad"},                // UTF-8, blanks kept
        {"printf 'x\\n'; exit 1", kCancelled, ""}, // what a cancelling prompt printed is dropped
        {"exit 2", kNoWindow, ""},
        {"printf '1234\\n'; exit 3", ERROR_INTERNAL_ERROR, ""},
        {"kill -9 $$", ERROR_INTERNAL_ERROR, ""},
        // One line exactly: a PIN cut short or followed by more would be
        // tried on the token and cost a try.
        {"printf '1234'", ERROR_INVALID_DATA, ""},
        {"printf ''", ERROR_INVALID_DATA, ""},
        {"printf '12\\n34\\n'", ERROR_INVALID_DATA, ""},
        {"printf '1234\\n\\n'", ERROR_INVALID_DATA, ""},
        // The bound: 256 bytes pass, one more does not; a prompt that floods
        // the pipe is read to its end, not left blocked on a full pipe.
        {"head -c 256 /dev/zero | tr '\\0' 7; echo", 0, nullptr},
        {"head -c 257 /dev/zero | tr '\\0' 7; echo", ERROR_INVALID_DATA, ""},
        {"head -c 1000000 /dev/zero | tr '\\0' 7; echo", ERROR_INVALID_DATA, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.body);
        Prompt(row.body);
        std::string pin;
        EXPECT_EQ(Ask(pin), row.status);
        EXPECT_EQ(pin, row.pin != nullptr ? row.pin : std::string(256, '7'));
    }
}

TEST_F(PinPrompt, ArgumentsFollowTheRequestAndTheLanguage) {
    Prompt(R"(for a in "$@"; do printf '[%s]' "$a" >>"$LOG"; done; echo >>"$LOG"; echo 0000)");
    std::string pin;
    ASSERT_EQ(Ask(pin, {u"Bank \u4ee4\u724c --retry", PinTries::Unknown, false}), 0u);
    ASSERT_EQ(Ask(pin, {u"T", PinTries::Low, true}), 0u);
    setenv("LC_ALL", "zh_CN.UTF-8", 1);
    ASSERT_EQ(Ask(pin, {u"T", PinTries::Final, false}), 0u);
    // The name travels as one argument whatever it holds.
    EXPECT_EQ(Slurp(log_), "[--token][Bank \xe4\xbb\xa4\xe7\x89\x8c --retry][--lang][en][--tries]"
                           "[unknown]\n"
                           "[--token][T][--lang][en][--tries][low][--retry]\n"
                           "[--token][T][--lang][zh][--tries][final]\n");
}

TEST_F(PinPrompt, NoDisplayStartsNothing) {
    Prompt("echo started >>\"$LOG\"; echo 1234");
    unsetenv("DISPLAY");
    std::string pin;
    EXPECT_EQ(Ask(pin), kNoWindow);
    setenv("DISPLAY", "", 1);
    EXPECT_EQ(Ask(pin), kNoWindow);
    EXPECT_EQ(PinPadNotice::Show(u"Token"), nullptr);
    EXPECT_FALSE(fs::exists(log_));
    // Wayland alone is a display.
    setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    EXPECT_EQ(Ask(pin), 0u);
    EXPECT_EQ(pin, "1234");
}

TEST_F(PinPrompt, AMissingPromptIsAClearFailure) {
    std::string pin;
    setenv("ORVANE_PIN_PROMPT", (dir_ / "absent").c_str(), 1);
    EXPECT_EQ(Ask(pin), DWORD(ERROR_FILE_NOT_FOUND));
    // A name alone is not looked up in PATH: the prompt is a path.
    setenv("ORVANE_PIN_PROMPT", "sh", 1);
    EXPECT_EQ(Ask(pin), DWORD(ERROR_FILE_NOT_FOUND));
    Prompt("echo 1234");
    chmod((dir_ / "prompt.sh").c_str(), 0600);
    EXPECT_EQ(Ask(pin), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(PinPadNotice::Show(u"Token"), nullptr);
}

// Without a choice in the environment the prompt is the orvane-pin beside the
// program that holds the provider (here the test itself).
TEST_F(PinPrompt, ThePromptBesideTheProgramIsFound) {
    const fs::path beside = fs::read_symlink("/proc/self/exe").parent_path() / "orvane-pin";
    ASSERT_FALSE(fs::exists(beside)) << "left over from an earlier run: " << beside;
    std::ofstream(beside) << "#!/bin/sh\necho beside\n";
    chmod(beside.c_str(), 0700);
    unsetenv("ORVANE_PIN_PROMPT");
    std::string pin;
    const DWORD status = Ask(pin);
    fs::remove(beside);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(pin, "beside");
}

// A host's standard input and output are the browser's message channel: the
// prompt must get neither, nor any other descriptor of its caller.
TEST_F(PinPrompt, ThePromptSeesNoneOfItsCallersStreams) {
    Prompt(R"(
if IFS= read -r line; then echo "stdin gave: $line" >>"$LOG"; fi
for fd in 3 4 5 6 7 8 9; do
  if [ -e /proc/$$/fd/$fd ]; then echo "fd $fd open" >>"$LOG"; fi
done
echo 1234)");
    int host[2];
    ASSERT_EQ(pipe(host), 0); // stands in for the browser's pipe, not close-on-exec
    const int savedIn = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(host[0], STDIN_FILENO), STDIN_FILENO);
    ASSERT_EQ(write(host[1], "browser message\n", 16), 16);
    std::string pin;
    const DWORD status = Ask(pin);
    dup2(savedIn, STDIN_FILENO);
    close(savedIn);
    // The message is still there for the host to read.
    char buffer[32] = {};
    EXPECT_EQ(read(host[0], buffer, sizeof buffer), 16);
    close(host[0]);
    close(host[1]);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(pin, "1234");
    EXPECT_EQ(Slurp(log_), "");
}

TEST_F(PinPrompt, PinPadNoticeLastsAsLongAsItsLogin) {
    // A notice that ends when its input does, and one that ignores it: the
    // second is stopped within the bound rather than holding up the login.
    struct {
        const char* body;
        bool stops;
    } const rows[] = {
        {R"(echo "$*" >>"$LOG"; cat >/dev/null; echo closed >>"$LOG")", true},
        {R"(echo "$*" >>"$LOG"; cat >/dev/null; exec sleep 30)", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.body);
        fs::remove(log_);
        Prompt(row.body);
        auto notice = PinPadNotice::Show(u"Pad");
        ASSERT_NE(notice, nullptr);
        usleep(300 * 1000);
        EXPECT_EQ(Slurp(log_), "--token Pad --lang en --pinpad\n") << "running while alive";
        const auto start = std::chrono::steady_clock::now();
        notice.reset();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(4));
        EXPECT_EQ(Slurp(log_),
                  std::string("--token Pad --lang en --pinpad\n") + (row.stops ? "closed\n" : ""));
    }
}

} // namespace
