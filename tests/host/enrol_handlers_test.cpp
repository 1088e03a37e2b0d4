// The enrolment handlers of the host: argument lists and conversions, which
// code a failure is reported with, and the response shapes. A recording agent
// stands behind the handlers, so each case also shows whether (and with what)
// the agent was called; the last cases go through the dispatcher to the real
// agent.
#include "enrolment/CryptoAgent.h"
#include "host/OrvaneHost.h"
#include "tests/support/TestSupport.h"
#include "host/JsonHandles.h"
#include "tests/host/EnrolHost.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// Answers every operation as told and remembers the last call.
class RecordingAgent final : public ICryptoAgent {
public:
    HRESULT hrAnswer = S_OK;
    VARIANT_BOOL vbAnswer = VARIANT_TRUE;
    const WCHAR* pwszTextAnswer = TEXT("answer");

    int nCalls = 0;
    std::string strOperation;
    std::vector<std::string> texts; // text arguments, UTF-8, "(null)" for null
    std::vector<long> numbers;      // integer arguments

    HRESULT VURO_GetCSPInfo(BSTR* pbstr) override { return Text("GetCSPInfo", pbstr); }
    HRESULT VURO_GetVersion(BSTR* pbstr) override { return Text("GetVersion", pbstr); }
    HRESULT VURO_SetCSPInfo(LONG lKeyLength, const WCHAR* pwszName, VARIANT_BOOL* pvb) override {
        Record("SetCSPInfo", {pwszName}, {lKeyLength});
        return Boolean(pvb);
    }
    HRESULT VURO_SetKeyAlgorithm(const WCHAR* pwszAlg, VARIANT_BOOL* pvb) override {
        Record("SetKeyAlgorithm", {pwszAlg}, {});
        return Boolean(pvb);
    }
    HRESULT VURO_ImportEncryptCert(const WCHAR* pwszKey, const WCHAR* pwszCert,
                                   const WCHAR* pwszContainer, LONG lFlags,
                                   VARIANT_BOOL* pvb) override {
        Record("ImportEncryptCert", {pwszKey, pwszCert, pwszContainer}, {lFlags});
        return Boolean(pvb);
    }
    HRESULT VURO_GetContainer(BSTR* pbstr) override { return Text("GetContainer", pbstr); }
    HRESULT VURO_ImportSignCert(LONG lCertType, const WCHAR* pwszCert, const WCHAR* pwszContainer,
                                VARIANT_BOOL* pvb) override {
        Record("ImportSignCert", {pwszCert, pwszContainer}, {lCertType});
        return Boolean(pvb);
    }
    HRESULT VURO_PKCS10CertRequisition(const WCHAR* pwszSubject, LONG lCertType, LONG lFlags,
                                       BSTR* pbstr) override {
        Record("PKCS10CertRequisition", {pwszSubject}, {lCertType, lFlags});
        *pbstr = SysAllocString(SUCCEEDED(hrAnswer) ? pwszTextAnswer : TEXT(""));
        return hrAnswer;
    }
    HRESULT VURO_GetAllCertInfo(BSTR* pbstr) override { return Text("GetAllCertInfo", pbstr); }
    HRESULT VURO_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pvb) override {
        Record("HavePermissiontoGenerateKeyPair", {}, {});
        return Boolean(pvb);
    }
    HRESULT VURO_GetLastErrorDesc(BSTR* pbstr) override { return Text("GetLastErrorDesc", pbstr); }

private:
    void Record(const char* pszOperation, std::initializer_list<const WCHAR*> textArgs,
                std::initializer_list<long> numberArgs) {
        ++nCalls;
        strOperation = pszOperation;
        texts.clear();
        for (const WCHAR* p : textArgs)
            texts.push_back(p != nullptr ? U8(p) : "(null)");
        numbers.assign(numberArgs.begin(), numberArgs.end());
    }
    HRESULT Boolean(VARIANT_BOOL* pvb) {
        if (SUCCEEDED(hrAnswer))
            *pvb = vbAnswer;
        return hrAnswer;
    }
    HRESULT Text(const char* pszOperation, BSTR* pbstr) {
        Record(pszOperation, {}, {});
        if (SUCCEEDED(hrAnswer))
            *pbstr = SysAllocString(pwszTextAnswer);
        return hrAnswer;
    }
};

using Handler = std::function<int(UniqueJson*, cJSON*, ICryptoAgent*)>;

// The handler's response to "params" given as JSON text (nullptr: no list).
std::string Respond(const Handler& handler, const char* pszParams, ICryptoAgent* pAgent) {
    UniqueJson args(pszParams != nullptr ? cJSON_Parse(pszParams) : nullptr);
    if (pszParams != nullptr && !args)
        return "<bad test params>";
    UniqueJson response;
    EXPECT_EQ(handler(&response, args.get(), pAgent), 0) << "handlers always return 0";
    if (!response)
        return "<no response>";
    UniqueJsonText text(cJSON_PrintUnformatted(response.get()));
    return std::string(text.get());
}

std::string Failure(const char* pszMethod, int nCode) {
    return std::string(R"({"function":")") + pszMethod + R"(","errorcode":)" +
           std::to_string(nCode) + R"(,"result":false})";
}

std::string Success(const char* pszMethod, const char* pszResultJson) {
    return std::string(R"({"function":")") + pszMethod + R"(","errorcode":0,"result":)" +
           pszResultJson + "}";
}

constexpr int kArgType = int(0xA0073204); // -1610141180

} // namespace

TEST(EnrolHandlers, ArgumentListsAndConversions) {
    struct Case {
        const char* params; // nullptr: no argument list at all
        int expectedCode;   // 0: the agent is called and succeeds
        std::vector<std::string> texts = {};
        std::vector<long> numbers = {};
    };
    struct Method {
        Handler handler;
        const char* name;
        bool textResult;
        std::vector<Case> cases;
    };
    const Method methods[] = {
        {ENROL_ROW(VURO_SetCSPInfo),
         "VURO_SetCSPInfo",
         false,
         {
             // Key length and name, in that order; numbers as numbers.
             {R"([2048,"My CSP"])", 0, {"My CSP"}, {2048}},
             {R"([{"param":1024},{"param":"X"}])", 0, {"X"}, {1024}},
             {R"([3.9,"X"])", 0, {"X"}, {3}},
             {R"([-5,"X"])", 0, {"X"}, {-5}},
             {R"([0,"国密 CSP"])", 0, {"国密 CSP"}, {0}},
             {R"([512,""])", 0, {""}, {512}},             // the agent judges empty names
             {R"({"a":1024,"b":"X"})", 0, {"X"}, {1024}}, // an object's members are the list
             {R"(["name",2048])", kArgType},              // swapped
             {R"(["2048","X"])", kArgType},               // a number as text is not a number
             {R"([true,"X"])", kArgType},
             {R"([1024,null])", kArgType},
             {R"([{"value":1024},"X"])", kArgType}, // an object without "param"
             {R"([2048])", -1},
             {R"([2048,"X",1])", -1},
             {nullptr, -1},
             {R"("X")", -1}, // not a list: no elements
         }},
        {ENROL_ROW(VURO_SetKeyAlgorithm),
         "VURO_SetKeyAlgorithm",
         false,
         {
             {R"([" sm2 "])", 0, {" sm2 "}}, // trimming is the agent's
             {R"([2])", kArgType},
             {R"([])", -1},
         }},
        {ENROL_ROW(VURO_ImportEncryptCert),
         "VURO_ImportEncryptCert",
         false,
         {
             {R"(["KEY","CERT","C1",1])", 0, {"KEY", "CERT", "C1"}, {1}},
             {R"(["KEY","CERT","C1","1"])", kArgType},
             {R"(["KEY","CERT",7,1])", kArgType},
             {R"(["KEY","CERT","C1"])", -1},
         }},
        {ENROL_ROW(VURO_ImportSignCert),
         "VURO_ImportSignCert",
         false,
         {
             {R"([7,"CERT","C1"])", 0, {"CERT", "C1"}, {7}},
             {R"(["1","CERT","C1"])", kArgType},
             {R"([1,"CERT","C1","x"])", -1},
         }},
        {ENROL_ROW(VURO_PKCS10CertRequisition),
         "VURO_PKCS10CertRequisition",
         true,
         {
             {R"(["CN=Alice, O=\"A,B\"",2,16])", 0, {"CN=Alice, O=\"A,B\""}, {2, 16}},
             {R"(["CN=A","1",0])", kArgType},
             {R"([1,1,0])", kArgType},
             {R"(["CN=A",1])", -1},
         }},
        // Methods without arguments want an empty list.
        {ENROL_ROW(VURO_GetContainer),
         "VURO_GetContainer",
         true,
         {{"[]", 0}, {"[1]", -1}, {nullptr, -1}}},
        {ENROL_ROW(VURO_GetAllCertInfo),
         "VURO_GetAllCertInfo",
         true,
         {{"[]", 0}, {R"(["x"])", -1}}},
        {ENROL_ROW(VURO_HavePermissiontoGenerateKeyPair),
         "VURO_HavePermissiontoGenerateKeyPair",
         false,
         {{"{}", 0}, {"[0]", -1}}},
        {ENROL_ROW(VURO_GetLastErrorDesc),
         "VURO_GetLastErrorDesc",
         true,
         {{"[]", 0}, {"[[]]", -1}}},
    };
    for (const Method& m : methods) {
        for (const Case& c : m.cases) {
            SCOPED_TRACE(std::string(m.name) + " " + (c.params != nullptr ? c.params : "(none)"));
            RecordingAgent agent;
            const std::string response = Respond(m.handler, c.params, &agent);
            if (c.expectedCode != 0) {
                EXPECT_EQ(response, Failure(m.name, c.expectedCode));
                EXPECT_EQ(agent.nCalls, 0) << "a refused list never reaches the agent";
                continue;
            }
            EXPECT_EQ(agent.nCalls, 1);
            EXPECT_EQ(agent.texts, c.texts);
            EXPECT_EQ(agent.numbers, c.numbers);
            EXPECT_EQ(response, Success(m.name, m.textResult ? R"("answer")" : "true"));
        }
    }
}

TEST(EnrolHandlers, FailureCodesAndAnswers) {
    struct Case {
        Handler handler;
        const char* method;
        const char* params;
        bool reportsAgentCode; // false: every failure is -1
    };
    // The CSP list's handler is given no argument list.
    const auto cspInfo = [](UniqueJson* pp, cJSON*, ICryptoAgent* a) {
        return ENROL_ROW(VURO_GetCSPInfo)(pp, nullptr, a);
    };
    const Case cases[] = {
        {cspInfo, "VURO_GetCSPInfo", "[]", false},
        {ENROL_ROW(VURO_GetAllCertInfo), "VURO_GetAllCertInfo", "[]", false},
        {ENROL_ROW(VURO_SetCSPInfo), "VURO_SetCSPInfo", R"([1,"x"])", true},
        {ENROL_ROW(VURO_SetKeyAlgorithm), "VURO_SetKeyAlgorithm", R"(["x"])", true},
        {ENROL_ROW(VURO_ImportEncryptCert), "VURO_ImportEncryptCert", R"(["k","c","n",0])", true},
        {ENROL_ROW(VURO_GetContainer), "VURO_GetContainer", "[]", false},
        {ENROL_ROW(VURO_ImportSignCert), "VURO_ImportSignCert", R"([1,"c","n"])", true},
        {ENROL_ROW(VURO_PKCS10CertRequisition), "VURO_PKCS10CertRequisition", R"(["CN=A",1,0])",
         true},
        {ENROL_ROW(VURO_HavePermissiontoGenerateKeyPair), "VURO_HavePermissiontoGenerateKeyPair",
         "[]", false},
        {ENROL_ROW(VURO_GetLastErrorDesc), "VURO_GetLastErrorDesc", "[]", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        // The agent's failure: its own code, or -1 for the methods that only
        // say that they failed.
        RecordingAgent failing;
        failing.hrAnswer = VURO_E_INVALID_KEY_ALG;
        EXPECT_EQ(Respond(c.handler, c.params, &failing),
                  Failure(c.method, c.reportsAgentCode ? int(VURO_E_INVALID_KEY_ALG) : -1));
        EXPECT_EQ(failing.nCalls, 1);
        // No agent at all is refused, not followed.
        EXPECT_EQ(Respond(c.handler, c.params, nullptr), Failure(c.method, -1));
    }
}

TEST(EnrolHandlers, BooleansAreTrueOnlyForVariantTrue) {
    for (VARIANT_BOOL vb : {VARIANT_BOOL(VARIANT_TRUE), VARIANT_BOOL(0), VARIANT_BOOL(1)}) {
        SCOPED_TRACE(vb);
        RecordingAgent agent;
        agent.vbAnswer = vb;
        const char* expected = vb == VARIANT_TRUE ? "true" : "false";
        EXPECT_EQ(Respond(ENROL_ROW(VURO_SetKeyAlgorithm), R"(["RSA"])", &agent),
                  Success("VURO_SetKeyAlgorithm", expected));
        EXPECT_EQ(Respond(ENROL_ROW(VURO_HavePermissiontoGenerateKeyPair), "[]", &agent),
                  Success("VURO_HavePermissiontoGenerateKeyPair", expected));
    }
}

TEST(EnrolHandlers, TextsAreUTF8AndEscaped) {
    RecordingAgent agent;
    agent.pwszTextAnswer = TEXT("证书 \"A\"\\B\r\n");
    EXPECT_EQ(Respond(ENROL_ROW(VURO_GetContainer), "[]", &agent),
              Success("VURO_GetContainer", R"("证书 \"A\"\\B\r\n")"));
    // The CSP list ignores whatever "params" holds.
    agent.pwszTextAnswer = TEXT("A||B");
    EXPECT_EQ(ENROL_ROW(VURO_GetCSPInfo)(nullptr, nullptr, &agent), 0)
        << "no response wanted is not a crash";
    UniqueJson response;
    EXPECT_EQ(ENROL_ROW(VURO_GetCSPInfo)(&response, nullptr, &agent), 0);
    ASSERT_TRUE(response);
    UniqueJsonText text(cJSON_PrintUnformatted(response.get()));
    EXPECT_STREQ(text.get(), R"({"function":"VURO_GetCSPInfo","errorcode":0,"result":"A||B"})");
    // A failed request still answers false, never the agent's empty text.
    agent.hrAnswer = E_INVALIDARG;
    EXPECT_EQ(Respond(ENROL_ROW(VURO_PKCS10CertRequisition), R"(["CN=A",3,0])", &agent),
              Failure("VURO_PKCS10CertRequisition", int(E_INVALIDARG)));
}

// Through the dispatcher to the one agent of the host, as pages reach it.
TEST(EnrolHandlers, DispatcherReachesTheHostAgent) {
    const auto answer = [](const char* request) {
        std::string response;
        EXPECT_EQ(RespondToRequest(EnrolHost(), request, &response), 0);
        return !response.empty() ? response : std::string("<null>");
    };
    // Outside a host run there is no agent: every method fails, none crashes.
    ASSERT_EQ(EnrolHostAgent(), nullptr);
    EXPECT_EQ(answer(R"({"function":"VURO_GetContainer","params":[]})"),
              Failure("VURO_GetContainer", -1));

    CCryptoAgent agent;
    EnrolHostAgent() = &agent;
    EXPECT_EQ(
        answer(
            R"({"function":"vuro_setcspinfo","params":[2048,"Vendor &amp; Co"],"randomId":"r1"})"),
        R"({"function":"VURO_SetCSPInfo","errorcode":0,"result":true,"randomId":"r1"})");
    EXPECT_EQ(U8(agent.CSPName()), "Vendor & Co");
    EXPECT_EQ(answer(R"({"function":"VURO_SetKeyAlgorithm","params":["ECC"]})"),
              Failure("VURO_SetKeyAlgorithm", int(VURO_E_INVALID_KEY_ALG)));
    const std::string desc = answer(R"({"function":"VURO_GetLastErrorDesc","params":[]})");
    EXPECT_NE(desc.find(R"x(\n(0xa0072401))x"), std::string::npos) << desc;
    EXPECT_EQ(desc.rfind(R"({"function":"VURO_GetLastErrorDesc","errorcode":0,"result":")", 0), 0u)
        << desc;
    EXPECT_EQ(answer(R"({"function":"VURO_GETCONTAINER","params":[]})"),
              Success("VURO_GetContainer", R"("")"));
    EnrolHostAgent() = nullptr;
}
