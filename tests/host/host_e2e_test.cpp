// The real Tandry, started as a browser starts it, spoken to through pipes.
// ORVANE_HOST_COMMAND (a '|'-separated command line) names the program, so
// the same tests run against Tandry.exe under Wine.
#include "HostProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using orvane::tools::Frame;
using orvane::tools::HostProcess;

std::vector<std::string> HostCommand() {
    const char* env = std::getenv("ORVANE_HOST_COMMAND");
    std::string text = env != nullptr && env[0] != 0 ? env : ORVANE_TANDRY_PATH;
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('|', start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return parts;
}

struct Outcome {
    int exitCode = -1000;
    std::string output;
    bool timedOut = false;
};

// Starts the host, feeds it the pieces of input (pausing between pieces),
// closes its input and collects everything it writes until it exits.
Outcome RunHost(const std::vector<std::string>& pieces, int pauseMs = 0, int timeoutMs = 60000) {
    Outcome o;
    HostProcess host;
    if (!host.Start(HostCommand())) {
        ADD_FAILURE() << host.Error();
        return o;
    }
    std::thread writer([&] {
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (!host.WriteAll(pieces[i]))
                break;
            if (pauseMs > 0 && i + 1 < pieces.size())
                std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
        host.CloseInput();
    });
    o.timedOut = !host.ReadToEnd(o.output, timeoutMs);
    if (o.timedOut)
        host.Kill();
    writer.join();
    o.exitCode = host.Wait();
    return o;
}

// Splits the output into frame bodies; a malformed tail fails the test.
std::vector<std::string> Bodies(const std::string& output) {
    std::vector<std::string> bodies;
    size_t i = 0;
    while (i + 4 <= output.size()) {
        uint32_t n = uint32_t(uint8_t(output[i])) | uint32_t(uint8_t(output[i + 1])) << 8 |
                     uint32_t(uint8_t(output[i + 2])) << 16 |
                     uint32_t(uint8_t(output[i + 3])) << 24;
        if (i + 4 + n > output.size())
            break;
        bodies.push_back(output.substr(i + 4, n));
        i += 4 + n;
    }
    EXPECT_EQ(i, output.size()) << "trailing bytes that are no whole frame";
    return bodies;
}

const char* kVersion = R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.2.0.1"})";

class HostEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        struct stat st;
        const std::string program = HostCommand().back();
        if (stat(program.c_str(), &st) != 0)
            GTEST_SKIP() << "host program not built: " << program;
    }
};

} // namespace

TEST_F(HostEndToEnd, AConversationIsAnsweredInOrder) {
    Outcome o = RunHost({Frame(R"({"function":"vuro_getversion","params":[]})") +
                         Frame(R"({"function":"checkHost","params":[]})") +
                         Frame(R"({"function":"Foo","params":[],"randomId":"9"})") +
                         Frame(R"({"function":"Foo","params":[]})") +
                         Frame(R"({"function":"VURO_GetVersion","randomId":"3"})") +
                         Frame("not json at all") +
                         Frame(R"({"function":"VURO_GetVersion","params":[],"randomId":"17"})")});
    ASSERT_FALSE(o.timedOut);
    EXPECT_EQ(o.exitCode, 0);
    const std::vector<std::string> expected = {
        kVersion,
        R"({"function":"CheckHost","errorcode":0,"result":true})",
        R"({"function":"Foo", "errorcode":-2146893779, "result":false, "randomId":"9"})",
        R"({"function":"Foo", "errorcode":-2146893779, "result":false})",
        R"({"function":"", "errorcode":-2146893779, "result":false})",
        R"({"function":"", "errorcode":-2146893779, "result":false})",
        R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.2.0.1","randomId":"17"})",
    };
    EXPECT_EQ(Bodies(o.output), expected);
}

TEST_F(HostEndToEnd, PiecesArrivingApartMakeOneRequest) {
    const std::string frame = Frame("{\"function\":\"VURO_GetVersion\",\r\n\"params\":[]}");
    Outcome o = RunHost(
        {frame.substr(0, 1), frame.substr(1, 3), frame.substr(4, 10), frame.substr(14)}, 100);
    ASSERT_FALSE(o.timedOut);
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(Bodies(o.output), std::vector<std::string>{kVersion});
}

TEST_F(HostEndToEnd, ControlBytesPassThroughUntranslated) {
    // CR LF and Ctrl-Z between the tokens (the parser takes every control
    // byte for white space), escaped CR LF echoed in the token.
    Outcome o =
        RunHost({Frame("{\"function\":\"VURO_GetVersion\",\r\n\x1a\"params\":[],\r\n"
                       "\"randomId\":\"a\\r\\nb\"}") +
                 Frame(R"({"function":"VURO_GetVersion","params":[],"randomId":"a\r\nb"})")});
    ASSERT_FALSE(o.timedOut);
    EXPECT_EQ(o.exitCode, 0);
    auto bodies = Bodies(o.output);
    const std::string expected =
        R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.2.0.1","randomId":"a\r\nb"})";
    EXPECT_EQ(bodies, std::vector<std::string>(2, expected));
}

TEST_F(HostEndToEnd, EndOfInputEndsTheHost) {
    struct {
        std::string input;
        bool success;
        const char* why;
    } const cases[] = {
        {"", true, "no input at all"},
        {std::string(4, '\0') + Frame(R"({"function":"checkHost","params":[]})"), true,
         "a zero prefix ends the conversation; nothing after it is read"},
        {std::string(4, '\xFF'), true, "FF FF FF FF ends the conversation"},
        {Frame(R"({"function":"checkHost","params":[]})").substr(0, 20), false,
         "input ends inside a body: a failure, never a wait"},
        {std::string("\x10\x00", 2), false, "input ends inside the prefix"},
    };
    for (const auto& c : cases) {
        Outcome o = RunHost({c.input});
        ASSERT_FALSE(o.timedOut) << c.why;
        EXPECT_EQ(o.output, "") << c.why;
        if (c.success)
            EXPECT_EQ(o.exitCode, 0) << c.why;
        else
            EXPECT_NE(o.exitCode, 0) << c.why;
    }
}

TEST_F(HostEndToEnd, ResponsesUpToOneMebibyteAndNotOneByteMore) {
    // The token is echoed, so its size sets the response's size exactly.
    const std::string head =
        R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.2.0.1","randomId":")";
    const size_t fits = 1048576 - head.size() - 2;
    const auto request = [](size_t tokenSize) {
        return Frame(R"({"function":"VURO_GetVersion","params":[],"randomId":")" +
                     std::string(tokenSize, 't') + "\"}");
    };
    Outcome o = RunHost({request(fits) + Frame(R"({"function":"checkHost","params":[]})")});
    ASSERT_FALSE(o.timedOut);
    EXPECT_EQ(o.exitCode, 0);
    auto bodies = Bodies(o.output);
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0].size(), 1048576u);
    EXPECT_EQ(o.output.substr(0, 4), std::string("\x00\x00\x10\x00", 4));

    o = RunHost({request(fits + 1) + Frame(R"({"function":"checkHost","params":[]})")});
    ASSERT_FALSE(o.timedOut);
    EXPECT_EQ(o.output, "\xFF\xFF\xFF\xFF") << "only the marker, and the host stops";
    EXPECT_NE(o.exitCode, 0);
}
