// The JSON face of a method table, on a table shaped like the signing methods
// to come: a boolean argument, the order in which names are matched, the
// rows answered without an agent, and which code a failure is reported with.
#include "host/JsonHandles.h"
#include "host/JsonMethods.h"
#include "tests/support/ScratchMethods.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace orvane::methods;

struct IOther {
    HRESULT Get(BSTR*) { return S_OK; }
};

// The kinds a table declares must be the operation's parameters, in order,
// then the result's out parameter; the table refuses anything else when it
// is compiled (the cases that must not compile are built by CTest).
static_assert(AgreesWithAgent<&IScratchAgent::VURO_SignData, Text(Text, Text)>);
static_assert(!AgreesWithAgent<&IScratchAgent::VURO_SignData, Boolean(Text, Text)>);
static_assert(!AgreesWithAgent<&IScratchAgent::VURO_SignData, Text(Text)>);
static_assert(!AgreesWithAgent<&IScratchAgent::VURO_SignData, Text(Text, Number)>);
static_assert(
    AgreesWithAgent<&IScratchAgent::VURO_SelectUserCert, Text(Text, Text, Text, Text, Boolean)>);
static_assert(
    !AgreesWithAgent<&IScratchAgent::VURO_SelectUserCert, Text(Text, Text, Text, Text, Number)>);
static_assert(!AgreesWithAgent<&IOther::Get, Number()>);

// The response to one call through the dispatcher ("<none>" without one).
std::string Respond(IScratchAgent* pAgent, const char* pszName, const char* pszParams) {
    UniqueJson args(cJSON_Parse(pszParams));
    UniqueJson response;
    const int nResult =
        InvokeMethod(scratch::kTable, scratch::kVersion, pAgent, &response, pszName, args.get());
    if (!response)
        return "<none> " + std::to_string(nResult);
    UniqueJsonText text(cJSON_PrintUnformatted(response.get()));
    return std::string(text.get());
}

constexpr const char* kSelect = "VURO_SelectUserCert";

TEST(MethodTableHost, BooleanArguments) {
    struct Case {
        const char* params;
        int expectedFlag; // the value the agent gets; 2: the agent is not called
        const char* response;
    };
    const Case kCases[] = {
        {R"(["a","b","c","d",true])", -1,
         R"({"function":"VURO_SelectUserCert","errorcode":0,"result":"answer"})"},
        {R"(["a","b","c","d",false])", 0, nullptr},
        {R"(["a","b","c","d",{"param":true}])", -1, nullptr},
        // Only JSON's true and false are booleans.
        {R"(["a","b","c","d",1])", 2,
         R"({"function":"VURO_SelectUserCert","errorcode":-1610141180,"result":false})"},
        {R"(["a","b","c","d","true"])", 2, nullptr},
        {R"(["a","b","c","d",null])", 2, nullptr},
        {R"(["a","b","c","d",{"value":true}])", 2, nullptr},
        {R"(["a","b","c","d"])", 2,
         R"({"function":"VURO_SelectUserCert","errorcode":-1,"result":false})"},
        {R"(["a","b","c",true,"d"])", 2, nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.params);
        ScratchAgent agent;
        const std::string response = Respond(&agent, kSelect, c.params);
        if (c.response != nullptr) {
            EXPECT_EQ(response, c.response);
        }
        if (c.expectedFlag == 2) {
            EXPECT_EQ(agent.nCalls, 0);
            EXPECT_NE(response.find(R"("result":false)"), std::string::npos) << response;
            continue;
        }
        ASSERT_EQ(agent.nCalls, 1);
        EXPECT_EQ(agent.texts, (std::vector<std::string>{"a", "b", "c", "d"}));
        EXPECT_EQ(agent.flags, std::vector<int>{c.expectedFlag});
    }
}

TEST(MethodTableHost, FirstRowInTableOrderWhateverTheCase) {
    for (const char* pszName : {"VURO_Echo", "VURO_ECHO", "vuro_echo"}) {
        SCOPED_TRACE(pszName);
        ScratchAgent agent;
        EXPECT_EQ(Respond(&agent, pszName, "[]"),
                  R"({"function":"VURO_Echo","errorcode":0,"result":"answer"})");
        EXPECT_EQ(agent.strOperation, "EchoFirst");
    }
    ScratchAgent agent;
    EXPECT_EQ(Respond(&agent, "VURO_Ech", "[]"), "<none> -1");
    EXPECT_EQ(Respond(&agent, nullptr, "[]"), "<none> -1");
    EXPECT_EQ(agent.nCalls, 0);
}

TEST(MethodTableHost, RowsWithoutAnAgent) {
    EXPECT_EQ(Respond(nullptr, "vuro_getversion", R"({"any":1})"),
              R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.4.0.3"})");
    EXPECT_EQ(Respond(nullptr, "CHECKHOST", "[]"),
              R"({"function":"CheckHost","errorcode":0,"result":true})");
    // A row that needs the agent is refused without one.
    EXPECT_EQ(Respond(nullptr, "VURO_SignData", R"(["m","SHA-1"])"),
              R"({"function":"VURO_SignData","errorcode":-1,"result":false})");
}

TEST(MethodTableHost, FailureCodes) {
    ScratchAgent failing(HRESULT(0xA0072001));
    EXPECT_EQ(Respond(&failing, "VURO_SignData", R"(["m","SHA-1"])"),
              R"({"function":"VURO_SignData","errorcode":-1610145791,"result":false})");
    EXPECT_EQ(failing.texts, (std::vector<std::string>{"m", "SHA-1"}));
    EXPECT_EQ(Respond(&failing, "VURO_GetLastErrorDesc", "[]"),
              R"({"function":"VURO_GetLastErrorDesc","errorcode":-1,"result":false})");
}

} // namespace
