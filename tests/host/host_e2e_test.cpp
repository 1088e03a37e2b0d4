// The real Tandry, started as a browser starts it, spoken to through pipes.
// ORVANE_HOST_COMMAND (a '|'-separated command line) names the program, so
// the same tests run against Tandry.exe under Wine.
#include "tools/nmclient/HostProcess.h"

#include <cJSON.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "host/JsonHandles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using orvane::tools::Frame;
using orvane::tools::HostProcess;

std::vector<std::string> HostCommand() {
    const char* env = std::getenv("ORVANE_HOST_COMMAND");
    return orvane::tools::SplitCommand(env != nullptr && env[0] != 0 ? env : ORVANE_TANDRY_PATH);
}

struct Outcome {
    int exitCode = -1000;
    std::string output;
    bool timedOut = false;
};

// Starts the host, feeds it the pieces of input (pausing between pieces),
// closes its input and collects everything it writes until it exits.
// env adds "NAME=value" entries to the host's environment.
Outcome RunHost(const std::vector<std::string>& pieces, int pauseMs = 0, int timeoutMs = 60000,
                const std::vector<std::string>& env = {}) {
    Outcome o;
    HostProcess host;
    if (!host.Start(HostCommand(), env)) {
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

// CleanRun: the response bodies of a run that ended by itself, with success.
std::vector<std::string> CleanRun(const std::vector<std::string>& pieces, int pauseMs = 0) {
    const Outcome o = RunHost(pieces, pauseMs);
    EXPECT_FALSE(o.timedOut);
    EXPECT_EQ(o.exitCode, 0);
    return Bodies(o.output);
}

const char* kVersion = R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.2.0.1"})";

// Registry hives of their own for one host run, so keys and certificates
// never reach the user's; removed with everything in them afterwards. (A
// host under Wine keeps its registry in the Wine prefix and ignores them.)
class ScratchHives {
public:
    ScratchHives() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orvane-e2e-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            m_dir = pattern;
        else
            ADD_FAILURE() << "no scratch folder";
    }
    ~ScratchHives() {
        std::error_code ec;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ec);
    }
    ScratchHives(const ScratchHives&) = delete;
    ScratchHives& operator=(const ScratchHives&) = delete;

    std::vector<std::string> Env() const {
        return {"ORVANE_USER_HIVE=" + m_dir + "/user.db",
                "ORVANE_MACHINE_HIVE=" + m_dir + "/machine.db"};
    }

private:
    std::string m_dir;
};

// Call: the request body for one method; params is JSON array text.
std::string Call(const std::string& function, const std::string& params,
                 const std::string& randomId = "") {
    std::string body = R"({"function":")" + function + R"(","params":)" + params;
    if (!randomId.empty())
        body += R"(,"randomId":")" + randomId + "\"";
    return body + "}";
}

// Converse: one host run that answers every request in order, then sees its
// input end; the response bodies.
std::vector<std::string> Converse(const std::vector<std::string>& requests,
                                  const std::vector<std::string>& env = {}) {
    std::string input;
    for (const std::string& request : requests)
        input += Frame(request);
    Outcome o = RunHost({input}, 0, 120000, env);
    EXPECT_FALSE(o.timedOut);
    EXPECT_EQ(o.exitCode, 0);
    std::vector<std::string> bodies = Bodies(o.output);
    EXPECT_EQ(bodies.size(), requests.size()) << o.output;
    bodies.resize(requests.size());
    return bodies;
}

// One response read back: its members, whatever their order.
struct Response {
    bool parsed = false;
    std::string function;
    int64_t errorcode = 0;
    bool hasResult = false;
    bool isText = false;
    bool flag = false;
    std::string text;
};

Response Parse(const std::string& body) {
    Response r;
    UniqueJson root(cJSON_Parse(body.c_str()));
    if (!root)
        return r;
    const cJSON* function = cJSON_GetObjectItemCaseSensitive(root.get(), "function");
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(root.get(), "errorcode");
    const cJSON* result = cJSON_GetObjectItemCaseSensitive(root.get(), "result");
    if (!cJSON_IsString(function) || !cJSON_IsNumber(code))
        return r;
    r.parsed = true;
    r.function = function->valuestring;
    r.errorcode = int64_t(code->valuedouble);
    r.hasResult = result != nullptr;
    r.isText = cJSON_IsString(result);
    r.flag = cJSON_IsTrue(result);
    if (r.isText)
        r.text = result->valuestring;
    return r;
}

std::string Code(uint32_t code) {
    return std::to_string(int32_t(code));
}

// What OpenSSL makes of a Base64 request text.
struct RequestCheck {
    bool decoded = false;
    bool verified = false;
    int bits = 0;
    std::string cn, o, c;
};

std::string NameEntry(X509_NAME* name, int nid) {
    char text[256] = {};
    return X509_NAME_get_text_by_NID(name, nid, text, sizeof text) >= 0 ? text : "";
}

RequestCheck CheckRequest(const std::string& base64) {
    RequestCheck r;
    std::string compact;
    for (char ch : base64)
        if (ch != '\r' && ch != '\n')
            compact += ch;
    if (compact.empty() || compact.size() % 4 != 0)
        return r;
    std::vector<unsigned char> der(compact.size() / 4 * 3);
    const int n = EVP_DecodeBlock(
        der.data(), reinterpret_cast<const unsigned char*>(compact.data()), int(compact.size()));
    if (n < 0)
        return r;
    size_t size = size_t(n);
    for (size_t i = compact.size(); i > 0 && compact[i - 1] == '='; --i)
        --size; // EVP_DecodeBlock counts the padding as bytes
    const unsigned char* p = der.data();
    UniqueHandle<X509_REQ*, X509_REQ_free> req(d2i_X509_REQ(nullptr, &p, long(size)));
    if (!req || p != der.data() + size)
        return r;
    r.decoded = true;
    EVP_PKEY* key = X509_REQ_get0_pubkey(req.get());
    r.verified = key != nullptr && X509_REQ_verify(req.get(), key) == 1;
    r.bits = key != nullptr ? EVP_PKEY_get_bits(key) : 0;
    X509_NAME* subject = X509_REQ_get_subject_name(req.get());
    r.cn = NameEntry(subject, NID_commonName);
    r.o = NameEntry(subject, NID_organizationName);
    r.c = NameEntry(subject, NID_countryName);
    return r;
}

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
    const auto bodies = CleanRun(
        {Frame(R"({"function":"vuro_getversion","params":[]})") +
         Frame(R"({"function":"checkHost","params":[]})") +
         Frame(R"({"function":"Foo","params":[],"randomId":"9"})") +
         Frame(R"({"function":"Foo","params":[]})") +
         Frame(R"({"function":"VURO_GetVersion","randomId":"3"})") + Frame("not json at all") +
         Frame(R"({"function":"VURO_GetVersion","params":[],"randomId":"17"})")});
    const std::vector<std::string> expected = {
        kVersion,
        R"({"function":"CheckHost","errorcode":0,"result":true})",
        R"({"function":"Foo", "errorcode":-2146893779, "result":false, "randomId":"9"})",
        R"({"function":"Foo", "errorcode":-2146893779, "result":false})",
        R"({"function":"", "errorcode":-2146893779, "result":false})",
        R"({"function":"", "errorcode":-2146893779, "result":false})",
        R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.2.0.1","randomId":"17"})",
    };
    EXPECT_EQ(bodies, expected);
}

TEST_F(HostEndToEnd, PiecesArrivingApartMakeOneRequest) {
    const std::string frame = Frame("{\"function\":\"VURO_GetVersion\",\r\n\"params\":[]}");
    EXPECT_EQ(
        CleanRun({frame.substr(0, 1), frame.substr(1, 3), frame.substr(4, 10), frame.substr(14)},
                 100),
        std::vector<std::string>{kVersion});
}

TEST_F(HostEndToEnd, ControlBytesPassThroughUntranslated) {
    // CR LF and Ctrl-Z between the tokens (the parser takes every control
    // byte for white space), escaped CR LF echoed in the token.
    const auto bodies =
        CleanRun({Frame("{\"function\":\"VURO_GetVersion\",\r\n\x1a\"params\":[],\r\n"
                        "\"randomId\":\"a\\r\\nb\"}") +
                  Frame(R"({"function":"VURO_GetVersion","params":[],"randomId":"a\r\nb"})")});
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

TEST_F(HostEndToEnd, ResponsesUpToOneMebibyteAndAnErrorResponseBeyond) {
    // An unknown name is echoed in the fixed text, so its size sets the
    // response's size exactly (tokens are bounded far below the limit).
    const std::string head = R"({"function":")";
    const std::string tail = R"(", "errorcode":-2146893779, "result":false})";
    const size_t fits = 1048576 - head.size() - tail.size();
    const auto request = [](size_t nameSize) {
        return Frame(R"({"function":")" + std::string(nameSize, 'n') + R"(","params":[]})");
    };
    const std::string check = Frame(R"({"function":"checkHost","params":[]})");
    auto bodies = CleanRun({request(fits) + check});
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0].size(), 1048576u); // its prefix read as little-endian

    // One byte more: the page gets the limit's code (in the shorter form of
    // an error response, which still fits), can ask what it means, and the
    // host goes on.
    bodies = CleanRun({request(fits + 1) +
                       Frame(R"({"function":"VURO_GetLastErrorDesc","params":[],"randomId":"d"})") +
                       check});
    ASSERT_EQ(bodies.size(), 3u) << (bodies.empty() ? "" : bodies[0].substr(0, 200));
    const std::string refused = R"({"function":")" + std::string(fits + 1, 'n') +
                                R"(","errorcode":)" + Code(0xA0071101) + R"(,"result":false})";
    EXPECT_TRUE(bodies[0] == refused)
        << bodies[0].substr(0, 100) << " ... " << bodies[0].substr(bodies[0].size() - 100);
    const Response desc = Parse(bodies[1]);
    EXPECT_TRUE(desc.text == "Data length exceeds limited\n(0xa0071101)" ||
                desc.text == "数据长度超出最大限制\n(0xa0071101)")
        << bodies[1];
    EXPECT_EQ(bodies[2], R"({"function":"CheckHost","errorcode":0,"result":true})");
}

TEST_F(HostEndToEnd, EveryRefusalIsDescribedByTheNextQuestion) {
    // Each refused call follows one that succeeded (last result 0); the
    // page's next question for the last error must explain the refusal. A
    // refused argument list is answered -1 ("ask what went wrong") and
    // described as the bad argument it was.
    const struct {
        std::string request;
        uint32_t answer;    // the refusal's errorcode
        uint32_t described; // the code the description ends with
        const char* why;
    } cases[] = {
        {Call("VURO_SetCSPInfo", "[1024]"), 0xFFFFFFFF, 0x80070057, "an argument too few"},
        {Call("VURO_SetCSPInfo", R"(["name",2048])"), 0xA0073204, 0xA0073204,
         "a text for a number"},
        {Call("VURO_PKCS10CertRequisition", R"(["CN=a\u0000b",1,0])"), 0x80070057, 0x80070057,
         "a NUL in a text"},
        {Call("VURO_GetLastErrorDesc", "[0]"), 0xFFFFFFFF, 0x80070057,
         "an argument to a question that takes none"},
        {Call("VURO_Nothing", "[]"), 0x8009002D, 0x8009002D, "a method no table has"},
        {Call("VURO_GetVersion", "[]", std::string(257, 'r')), 0xA0071101, 0xA0071101,
         "a randomId one byte over the bound"},
    };
    std::vector<std::string> requests;
    for (const auto& c : cases) {
        requests.push_back(Call("VURO_GetContainer", "[]"));
        requests.push_back(c.request);
        requests.push_back(Call("VURO_GetLastErrorDesc", "[]"));
    }
    ScratchHives hives;
    const auto bodies = Converse(requests, hives.Env());
    ASSERT_EQ(bodies.size(), requests.size());
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(Parse(bodies[3 * i]).errorcode, 0) << c.why << ": " << bodies[3 * i];
        const Response refused = Parse(bodies[3 * i + 1]);
        EXPECT_EQ(refused.errorcode, int64_t(int32_t(c.answer)))
            << c.why << ": " << bodies[3 * i + 1];
        EXPECT_EQ(bodies[3 * i + 1].find("randomId"), std::string::npos) << c.why;
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "\n(0x%08x)", c.described);
        const std::string text = Parse(bodies[3 * i + 2]).text;
        EXPECT_TRUE(text.size() >= std::strlen(suffix) &&
                    text.compare(text.size() - std::strlen(suffix), std::string::npos, suffix) == 0)
            << c.why << ": the last error then is " << bodies[3 * i + 2];
    }
}

TEST_F(HostEndToEnd, FramesAboveTheBoundAreRefusedAndTheConversationGoesOn) {
    // 5 MiB of one long argument list, then an ordinary request.
    std::string huge = R"({"function":"VURO_SetCSPInfo","params":[)";
    while (huge.size() < 5 * 1024 * 1024)
        huge += "1,";
    huge += "1]}";
    const auto bodies =
        CleanRun({Frame(huge) + Frame(R"({"function":"VURO_GetLastErrorDesc","params":[]})") +
                  Frame(R"({"function":"VURO_GetVersion","params":[]})")});
    ASSERT_EQ(bodies.size(), 3u);
    EXPECT_EQ(bodies[0],
              R"({"function":"","errorcode":)" + Code(0xA0071101) + R"(,"result":false})");
    EXPECT_NE(bodies[1].find(R"x(\n(0xa0071101)")x"), std::string::npos) << bodies[1];
    EXPECT_EQ(bodies[2], kVersion);
}

// A sanitized host keeps freed memory aside and shadows all of it: its
// resident size says nothing about what a request costs.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// PeakResidentKb: the high-water mark of the resident memory of this
// process's newest child (the host just started), in KiB; 0 when unknown.
long PeakResidentKb() {
    long child = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::FILE* f = std::fopen((task.path() / "children").c_str(), "r");
        for (long pid = 0; f != nullptr && std::fscanf(f, "%ld", &pid) == 1;)
            child = std::max(child, pid);
        if (f != nullptr)
            std::fclose(f);
    }
    std::FILE* f = std::fopen(("/proc/" + std::to_string(child) + "/status").c_str(), "r");
    long kb = 0;
    char line[256];
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1)
            break;
    if (f != nullptr)
        std::fclose(f);
    return kb;
}

TEST_F(HostEndToEnd, AnAcceptedFrameCostsAtMostEightTimesItsSize) {
    // The costliest request measured: one argument as long as the bound
    // allows, converted, copied and decoded on its way into the import.
    if (HostCommand().size() != 1)
        GTEST_SKIP() << "the host runs under another program";
    if (kSanitized)
        GTEST_SKIP() << "a sanitized host's memory is no measure";
    ScratchHives hives;
    orvane::tools::HostProcess host;
    ASSERT_TRUE(host.Start(HostCommand(), hives.Env())) << host.Error();
    std::string body;
    const auto ask = [&](const std::string& request) {
        return host.WriteAll(Frame(request)) &&
               host.ReadFrame(body, 60000) == orvane::tools::HostProcess::ReadStatus::Frame;
    };
    ASSERT_TRUE(
        ask(Call("VURO_SetCSPInfo", R"([1024,"Microsoft Enhanced Cryptographic Provider v1.0"])")));
    ASSERT_TRUE(ask(Call("VURO_SetKeyAlgorithm", R"(["RSA"])")));
    ASSERT_TRUE(ask(Call("VURO_ImportSignCert", R"([1,"AAAA","c"])")));
    const long baseline = PeakResidentKb();
    if (baseline == 0)
        GTEST_SKIP() << "no /proc to read the host's memory from";
    const std::string head = R"({"function":"VURO_ImportSignCert","params":[1,")";
    const std::string tail = R"(","c"]})";
    const std::string request = head + std::string(4194304 - head.size() - tail.size(), 'A') + tail;
    ASSERT_TRUE(ask(request));
    EXPECT_NE(Parse(body).errorcode, 0) << body;
    const long peak = PeakResidentKb();
    EXPECT_LE((peak - baseline) * 1024, 8 * long(request.size()))
        << "peak " << peak << " KiB over a baseline of " << baseline << " KiB";
    host.CloseInput();
    EXPECT_EQ(host.Wait(), 0);
}

TEST_F(HostEndToEnd, AnOverlongSubjectIsRefusedBeforeAnyKeyIsMade) {
    ScratchHives hives;
    const std::string cn = "CN=" + std::string(1000000, 'a');
    const auto bodies = Converse(
        {
            Call("VURO_SetCSPInfo", R"([1024,"Microsoft Enhanced Cryptographic Provider v1.0"])"),
            Call("VURO_SetKeyAlgorithm", R"(["RSA"])"),
            Call("VURO_PKCS10CertRequisition", "[\"" + cn + "\",1,0]"),
            Call("VURO_GetContainer", "[]"),
            Call("VURO_PKCS10CertRequisition", "[\"" + cn.substr(0, 65536) + "\",1,0]"),
        },
        hives.Env());
    ASSERT_EQ(bodies.size(), 5u);
    EXPECT_EQ(bodies[2], R"({"function":"VURO_PKCS10CertRequisition","errorcode":)" +
                             Code(0xA0071101) + R"(,"result":false})");
    EXPECT_EQ(bodies[3], R"({"function":"VURO_GetContainer","errorcode":0,"result":""})");
    // The longest name taken still gives a response the browser takes.
    const Response longest = Parse(bodies[4]);
    EXPECT_EQ(longest.errorcode, 0) << bodies[4].substr(0, 200);
    EXPECT_LE(bodies[4].size(), 1048576u);
}

TEST_F(HostEndToEnd, TheAgentKeepsThePagesChoicesBetweenRequests) {
    ScratchHives hives;
    const std::string base = "Microsoft Base Cryptographic Provider v1.0";
    const auto bodies = Converse(
        {
            Call("VURO_GetContainer", "[]"),
            Call("VURO_SetCSPInfo", R"([2048,")" + base + R"("])"),
            Call("VURO_GetLastErrorDesc", "[]"),
            Call("vuro_setcspinfo", R"([{"param":1024},"  )" + base + R"( "])", "r2"),
            Call("VURO_SetCSPInfo", R"([1024])"),
            Call("VURO_SetCSPInfo", R"(["name",2048])"),
            Call("VURO_SetKeyAlgorithm", R"(["ECC"])"),
            Call("VURO_GetLastErrorDesc", "[]"),
            Call("VURO_SetKeyAlgorithm", R"([" rsa "])"),
            Call("VURO_PKCS10CertRequisition", R"(["CN=Alice",3,0])"),
            Call("VURO_GetCSPInfo", "[]"),
            Call("VURO_GetContainer", "[]"),
            Call("VURO_GetLastErrorDesc", "[]", "r13"),
        },
        hives.Env());
    ASSERT_EQ(bodies.size(), 13u);
    EXPECT_EQ(bodies[0], R"({"function":"VURO_GetContainer","errorcode":0,"result":""})");
    EXPECT_EQ(bodies[1], R"({"function":"VURO_SetCSPInfo","errorcode":)" + Code(0xA0072400) +
                             R"(,"result":false})");
    // The key-length code's text (in the interface language), then its number.
    const std::string head = R"({"function":"VURO_GetLastErrorDesc","errorcode":0,"result":")";
    const std::string tail = R"x(\n(0xa0072400)"})x";
    ASSERT_GT(bodies[2].size(), head.size() + tail.size());
    EXPECT_EQ(bodies[2].substr(0, head.size()), head);
    EXPECT_EQ(bodies[2].substr(bodies[2].size() - tail.size()), tail);
    EXPECT_EQ(bodies[3],
              R"({"function":"VURO_SetCSPInfo","errorcode":0,"result":true,"randomId":"r2"})");
    EXPECT_EQ(bodies[4], R"({"function":"VURO_SetCSPInfo","errorcode":-1,"result":false})");
    EXPECT_EQ(bodies[5],
              R"({"function":"VURO_SetCSPInfo","errorcode":-1610141180,"result":false})");
    EXPECT_EQ(bodies[6], R"({"function":"VURO_SetKeyAlgorithm","errorcode":)" + Code(0xA0072401) +
                             R"(,"result":false})");
    const Response keyAlgDesc = Parse(bodies[7]);
    ASSERT_TRUE(keyAlgDesc.parsed) << bodies[7];
    EXPECT_TRUE(keyAlgDesc.text == "Invalid key algorithm.\n(0xa0072401)" ||
                keyAlgDesc.text == "无效的密钥算法\n(0xa0072401)")
        << keyAlgDesc.text;
    EXPECT_EQ(bodies[8], R"({"function":"VURO_SetKeyAlgorithm","errorcode":0,"result":true})");
    EXPECT_EQ(bodies[9], R"({"function":"VURO_PKCS10CertRequisition","errorcode":)" +
                             Code(0x80070057) + R"(,"result":false})");
    const Response csps = Parse(bodies[10]);
    EXPECT_EQ(csps.function, "VURO_GetCSPInfo");
    EXPECT_EQ(csps.errorcode, 0);
    EXPECT_NE(csps.text.find(base), std::string::npos) << csps.text;
    EXPECT_NE(csps.text.find("||"), std::string::npos) << csps.text;
    // A refused request made no container.
    EXPECT_EQ(bodies[11], R"({"function":"VURO_GetContainer","errorcode":0,"result":""})");
    const Response success = Parse(bodies[12]);
    EXPECT_EQ(success.text.substr(success.text.size() - 13), "\n(0x00000000)");
    EXPECT_NE(bodies[12].find(R"("randomId":"r13")"), std::string::npos);
}

TEST_F(HostEndToEnd, AnRsaRequestVerifiesWithOpenSSL) {
    ScratchHives hives;
    const auto bodies = Converse(
        {
            Call("VURO_HavePermissiontoGenerateKeyPair", "[]"),
            Call("VURO_SetCSPInfo", R"([1024,"Microsoft Enhanced Cryptographic Provider v1.0"])"),
            Call("VURO_SetKeyAlgorithm", R"(["RSA"])"),
            Call("VURO_PKCS10CertRequisition", R"(["CN=Alice,O=Orvane,C=CN",1,0])", "req"),
            Call("VURO_GetContainer", "[]"),
            Call("VURO_GetLastErrorDesc", "[]"),
        },
        hives.Env());
    ASSERT_EQ(bodies.size(), 6u);
    EXPECT_EQ(bodies[0],
              R"({"function":"VURO_HavePermissiontoGenerateKeyPair","errorcode":0,"result":true})");
    const Response request = Parse(bodies[3]);
    ASSERT_TRUE(request.parsed) << bodies[3];
    EXPECT_EQ(request.function, "VURO_PKCS10CertRequisition");
    ASSERT_EQ(request.errorcode, 0) << bodies[3];
    ASSERT_TRUE(request.isText);
    EXPECT_NE(bodies[3].find(R"("randomId":"req")"), std::string::npos);
    const RequestCheck check = CheckRequest(request.text);
    ASSERT_TRUE(check.decoded) << request.text;
    EXPECT_TRUE(check.verified) << "the request's own signature";
    EXPECT_EQ(check.bits, 1024);
    EXPECT_EQ(check.cn, "Alice");
    EXPECT_EQ(check.o, "Orvane");
    EXPECT_EQ(check.c, "CN");
    const Response container = Parse(bodies[4]);
    EXPECT_EQ(container.errorcode, 0);
    EXPECT_FALSE(container.text.empty()) << "the new container is the agent's now";
    EXPECT_EQ(Parse(bodies[5]).text.substr(Parse(bodies[5]).text.size() - 13), "\n(0x00000000)");
}
