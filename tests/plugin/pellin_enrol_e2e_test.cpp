// A page's enrolment through npPellin, as the test browser makes the calls:
// choose the provider and algorithm, make the request, have the test issuer
// sign it, and install the signing certificate beside its key. Two browser
// sessions, as when a page is left and come back to once the certificate is
// issued: the key stays in its container in between.
//
// ORVANE_NPSHELL_COMMAND (a '|'-separated command line ending with the
// plug-in) names the browser and plug-in, so the same conversation runs with
// npshell.exe and npPellin.dll under Wine; ORVANE_NPSHELL_WINE=1 then leaves
// out the providers only the POSIX stand-in has.
#include "tools/nmclient/HostProcess.h"
#include "tools/npshell/Script.h"
#include "tools/testca/TestIssuer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// Scratch: this run's folder for hives and the issuer. Each ctest entry names
// its own (the Linux and the Wine runs may go at the same time and each
// starts by emptying it).
std::string Scratch() {
    const char* dir = std::getenv("ORVANE_TEST_SCRATCH");
    return dir != nullptr && dir[0] != 0 ? dir : ORVANE_TEST_SCRATCH;
}

using orvane::tools::HostProcess;
namespace testca = orvane::tools::testca;

std::vector<std::string> BrowserCommand() {
    const char* env = std::getenv("ORVANE_NPSHELL_COMMAND");
    std::string text = env != nullptr && env[0] != 0
                           ? env
                           : std::string(ORVANE_NPSHELL_PATH "|" ORVANE_NPPELLIN_PATH);
    std::vector<std::string> parts = orvane::tools::SplitCommand(text);
    parts.push_back("-"); // the script comes on standard input
    return parts;
}

bool UnderWine() {
    const char* env = std::getenv("ORVANE_NPSHELL_WINE");
    return env != nullptr && env[0] == '1';
}

struct Answer {
    std::string strLabel;
    std::string strStatus;
    npshell::Value value;
};

struct Session {
    int nExit = -1;
    std::string strOutput;
    std::vector<Answer> answers;
};

// RunSession: one browser session over the script; every output line parsed.
Session RunSession(const std::string& strScript) {
    Session s;
    HostProcess browser;
    const std::string strScratch = Scratch();
    if (!browser.Start(BrowserCommand(), {"ORVANE_USER_HIVE=" + strScratch + "/user.db",
                                          "ORVANE_MACHINE_HIVE=" + strScratch + "/machine.db",
                                          "LC_ALL=en_US.UTF-8"})) {
        ADD_FAILURE() << browser.Error();
        return s;
    }
    EXPECT_TRUE(browser.WriteAll(strScript));
    browser.CloseInput();
    EXPECT_TRUE(browser.ReadToEnd(s.strOutput, 120000)) << "no answer in time";
    s.nExit = browser.Wait();
    size_t pos = 0;
    while (pos < s.strOutput.size()) {
        size_t end = s.strOutput.find('\n', pos);
        std::string line = s.strOutput.substr(pos, end - pos);
        pos = end == std::string::npos ? s.strOutput.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos)
            continue;
        Answer a;
        a.strLabel = line.substr(0, arrow);
        std::string rest = line.substr(arrow + 4);
        size_t space = rest.find(' ');
        a.strStatus = rest.substr(0, space);
        if (space != std::string::npos) {
            EXPECT_TRUE(npshell::ParseValueText(rest.substr(space + 1), &a.value)) << line;
        }
        s.answers.push_back(std::move(a));
    }
    return s;
}

// Quote: a text as a script string literal.
std::string Quote(const std::string& s) {
    return npshell::FormatValue(npshell::Value::String(s));
}

struct Case {
    const char* pszWhat;
    const char* pszCSP;
    int nKeyLength;
    const char* pszAlgorithm;
    int nCertType;
    bool bInStore; // software providers put the certificate into "My"
    bool bStandInOnly;
};

class PellinEnrolment : public ::testing::TestWithParam<Case> {
public:
    // Fresh hives and a fresh issuer for every run of the suite.
    static void SetUpTestSuite() {
        std::filesystem::remove_all(Scratch());
        std::filesystem::create_directories(Scratch());
    }
};

TEST_P(PellinEnrolment, RequestIssueAndInstall) {
    const Case& c = GetParam();
    if (c.bStandInOnly && UnderWine())
        GTEST_SKIP() << "the provider exists only in the POSIX stand-in";
    const std::string strSubject = std::string("CN=npshell ") + c.pszWhat + ",O=Orvane,C=CN";
    const std::string strChoose = "VURO_SetCSPInfo(" + std::to_string(c.nKeyLength) + ", " +
                                  Quote(c.pszCSP) + ") => ok true\n" + "VURO_SetKeyAlgorithm(" +
                                  Quote(c.pszAlgorithm) + ") => ok true\n";

    // First session: the request.
    Session first = RunSession(strChoose + "$request = VURO_PKCS10CertRequisition(" +
                               Quote(strSubject) + ", " + std::to_string(c.nCertType) +
                               ", 0) => ok\n"
                               "VURO_GetContainer() => ok\n"
                               "VURO_GetLastErrorDesc() => ok ~\"(0x00000000)\"\n");
    ASSERT_EQ(first.nExit, 0) << first.strOutput;
    ASSERT_EQ(first.answers.size(), 6u) << first.strOutput;
    const std::string strRequest = first.answers[2].value.s;
    const std::string strContainer = first.answers[3].value.s;
    ASSERT_FALSE(strRequest.empty());
    ASSERT_FALSE(strContainer.empty());
    // Base64 in CR LF lines of 64 characters, as pages pass it on.
    EXPECT_EQ(strRequest.find("\r\n"), 64u);

    testca::IssueOptions options;
    options.caDir = Scratch() + "/ca";
    testca::IssueResult issued = testca::Issue(options, strRequest);
    ASSERT_TRUE(issued.ok) << issued.error;
    EXPECT_EQ(issued.sm2, std::string(c.pszAlgorithm) == "SM2");
    EXPECT_EQ(issued.pair, c.nCertType == 2);

    // Second session: a new instance installs what the issuer answered.
    std::string strInstall = strChoose + "VURO_ImportSignCert(" + std::to_string(c.nCertType) +
                             ", " + Quote(issued.signCert) + ", " + Quote(strContainer) +
                             ") => ok true\n" + "VURO_GetLastErrorDesc() => ok ~\"(0x00000000)\"\n";
    if (c.bInStore)
        strInstall +=
            "VURO_GetAllCertInfo() => ok ~" + Quote(std::string("npshell ") + c.pszWhat) + "\n";
    // The same certificate into a container that does not exist is refused.
    strInstall += "VURO_ImportSignCert(" + std::to_string(c.nCertType) + ", " +
                  Quote(issued.signCert) + ", \"no-such-container\") => failed false\n";
    Session second = RunSession(strInstall);
    EXPECT_EQ(second.nExit, 0) << second.strOutput;
}

const Case kCases[] = {
    {"rsa-single", "Microsoft Enhanced Cryptographic Provider v1.0", 2048, "RSA", 1, true, false},
    {"rsa-pair", "Microsoft Enhanced RSA and AES Cryptographic Provider", 1024, "rsa", 2, true,
     false},
    {"sm2-token", "Orvane Soft SM2 Token CSP v1.0", 256, "SM2", 1, false, true},
    {"rsa-token-pair", "Orvane Soft RSA Token CSP v1.0", 2048, "RSA", 2, false, true},
};

INSTANTIATE_TEST_SUITE_P(Cases, PellinEnrolment, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             std::string name = param.param.pszWhat;
                             for (char& ch : name)
                                 if (ch == '-')
                                     ch = '_';
                             return name;
                         });

} // namespace
