// One request in, one response out: dispatch by name and the answers for bad
// requests.
#include "host/OrvaneHost.h"
#include "host/JSONUtility.h"
#include "tests/host/EnrolHost.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

std::string Answer(const char* request) {
    std::string response;
    EXPECT_EQ(RespondToRequest(EnrolHost(), request, &response), 0);
    return !response.empty() ? response : std::string("<null>");
}

} // namespace

TEST(Dispatch, KnownMethodsAnyCase) {
    const std::string version =
        R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.2.0.1"})";
    EXPECT_EQ(Answer(R"({"function":"vuro_getversion","params":[]})"), version);
    EXPECT_EQ(Answer(R"({"function":"VURO_GETVERSION","params":[]})"), version);
    EXPECT_EQ(Answer(R"({"function":"VURO_GetVersion","params":[],"randomId":"17"})"),
              R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.2.0.1","randomId":"17"})");
    EXPECT_EQ(Answer(R"({"function":"checkHost","params":[]})"),
              R"({"function":"CheckHost","errorcode":0,"result":true})");
}

TEST(Dispatch, UnknownAndMalformedRequestsGetTheFixedText) {
    EXPECT_EQ(Answer(R"({"function":"Foo","params":[],"randomId":"9"})"),
              R"({"function":"Foo", "errorcode":-2146893779, "result":false, "randomId":"9"})");
    EXPECT_EQ(Answer(R"({"function":"Foo","params":[]})"),
              R"({"function":"Foo", "errorcode":-2146893779, "result":false})");
    // Prefixes and near misses of real names are not names.
    EXPECT_EQ(Answer(R"({"function":"VURO_GetVersio","params":[]})"),
              R"({"function":"VURO_GetVersio", "errorcode":-2146893779, "result":false})");
    const std::string bad = R"({"function":"", "errorcode":-2146893779, "result":false})";
    for (const char* request :
         {R"({"function":"VURO_GetVersion"})", // no params
                                               // params that are no list are no params
          R"({"function":"VURO_GetVersion","params":{"a":1,"b":2}})",
          R"({"function":"VURO_GetVersion","params":"x"})",
          // text after the value
          R"({"function":"VURO_GetVersion","params":[]}x)",
          R"({"function":"VURO_GetVersion","params":[]}{})",
          R"({"function":"VURO_GetVersion","params":[]}])", R"(["VURO_GetVersion"])",
          R"({"function":5,"params":[]})", "not json", "",
          R"({"function":"VURO_GetVersion","params":[],"randomId":5})",
          R"({"function":"x","params":[],"randomId":"1")"})
        EXPECT_EQ(Answer(request), bad) << request;
    EXPECT_EQ(Answer(R"({"function":"VURO_GetVersion","params":[],"randomId":""})"),
              R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.2.0.1"})");
}

TEST(Dispatch, InvokeReportsUnknownNamesWithoutAResponse) {
    UniqueJson response;
    EXPECT_EQ(EnrolHost().Invoke(&response, "nope", nullptr), -1);
    EXPECT_FALSE(response);
    EXPECT_EQ(EnrolHost().Invoke(&response, nullptr, nullptr), -1);
}

TEST(Dispatch, NulAndIllFormedTextIsRefusedAndEveryAnswerIsUtf8) {
    const std::string invalidArg = R"({"function":"VURO_SetCSPInfo","errorcode":)" +
                                   std::to_string(int32_t(0x80070057)) + R"(,"result":false})";
    const struct {
        std::string request;
        std::string expected;
        const char* why;
    } cases[] = {
        // Arguments: refused, never cut at the NUL or passed on changed.
        {R"({"function":"VURO_SetCSPInfo","params":[2048,"a\u0000b"]})", invalidArg,
         "escaped NUL in an argument"},
        {std::string(R"({"function":"VURO_SetCSPInfo","params":[2048,"a)") + '\0' + R"(b"]})",
         invalidArg, "raw NUL in an argument"},
        {R"({"function":"VURO_SetCSPInfo","params":[2048,{"param":"x\u0000"}]})", invalidArg,
         "NUL in an argument object"},
        {"{\"function\":\"VURO_SetCSPInfo\",\"params\":[2048,\"\xC3\x28\"]}", invalidArg,
         "a lead byte without its continuation"},
        {"{\"function\":\"VURO_SetCSPInfo\",\"params\":[2048,\"\xED\xA0\x80\"]}", invalidArg,
         "an encoded surrogate"},
        {"{\"function\":\"VURO_SetCSPInfo\",\"params\":[2048,\"\xC0\xAF\"]}", invalidArg,
         "an overlong form"},
        // Names and tokens: not run; echoed escaped in the fixed text.
        {R"({"function":"VURO_GetVersion\u0000XYZ","params":[]})",
         R"({"function":"VURO_GetVersion\u0000XYZ", "errorcode":-2146893779, "result":false})",
         "NUL in the name"},
        {R"({"function":"VURO_GetVersion","params":[],"randomId":"7\u00008"})",
         R"({"function":"VURO_GetVersion", "errorcode":-2146893779, "result":false, "randomId":"7\u00008"})",
         "NUL in the token"},
        {"{\"function\":\"VURO_GetVersion\xFF\",\"params\":[]}",
         R"({"function":"VURO_GetVersion\ufffd", "errorcode":-2146893779, "result":false})",
         "a byte that is never UTF-8 in the name"},
        {"{\"function\":\"VURO_GetVersion\",\"params\":[],\"randomId\":\"\xF4\x90\x80\x80\"}",
         R"({"function":"VURO_GetVersion", "errorcode":-2146893779, "result":false, "randomId":"\ufffd\ufffd\ufffd\ufffd"})",
         "a code point past U+10FFFF in the token"},
        // An escaped backslash before "u0000" is text, not a NUL.
        {R"({"function":"VURO_GetVersion","params":[],"randomId":"\\u0000"})",
         R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.2.0.1","randomId":"\\u0000"})",
         "an escaped backslash"},
        // Well-formed text outside ASCII goes through.
        {"{\"function\":\"VURO_GetVersion\",\"params\":[],\"randomId\":"
         "\"\xE4\xB8\xAD\xF0\x9F\x98\x80\"}",
         "{\"function\":\"VURO_GetVersion\",\"errorcode\":0,\"result\":\"3.2.0.1\",\"randomId\":"
         "\"\xE4\xB8\xAD\xF0\x9F\x98\x80\"}",
         "Chinese and an emoji in the token"},
    };
    // The arguments are read only for a host with an agent.
    ASSERT_TRUE(EnrolHost().CreateAgent(nullptr));
    struct Cleanup {
        ~Cleanup() { EnrolHost().DeleteAgent(); }
    } cleanup;
    for (const auto& c : cases) {
        std::string response;
        ASSERT_EQ(RespondToRequest(EnrolHost(), c.request.c_str(), &response), 0);
        // RespondToRequest stops at the first zero byte: the raw NUL case goes
        // through the body form, which keeps every byte.
        if (c.request.find('\0') != std::string::npos) {
            ASSERT_EQ(RespondToRequestBody(EnrolHost(), c.request, &response), 0);
        }
        ASSERT_FALSE(response.empty()) << c.why;
        EXPECT_EQ(response, c.expected) << c.why;
        EXPECT_TRUE(IsWellFormedUtf8(response.c_str())) << c.why;
    }
}

TEST(Dispatch, RequestsOfTooManyValuesAreRefusedWithTheLimitsCode) {
    std::string many = R"({"function":"VURO_GetVersion","params":[)";
    for (int i = 0; i < 300; ++i)
        many += "[],";
    many += "[]]}";
    EXPECT_EQ(Answer(many.c_str()), R"({"function":"","errorcode":)" +
                                        std::to_string(int32_t(0xA0071101)) +
                                        R"(,"result":false})");
    // Commas and brackets inside strings are text, not values.
    const std::string text(1000, ',');
    EXPECT_EQ(Answer((R"({"function":"VURO_GetVersion","params":[")" + text + "\"]}").c_str()),
              R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.2.0.1"})");
}
