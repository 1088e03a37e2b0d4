// One request in, one response out: dispatch by name and the answers for bad
// requests.
#include "host/OrvaneHost.h"
#include "host/nmMessageSigning.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

std::string Answer(const char* request) {
    char* response = nullptr;
    EXPECT_EQ(ParseAndRespondRequest(request, &response), 0);
    std::unique_ptr<char[]> owned(response);
    return response != nullptr ? std::string(response) : std::string("<null>");
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
    EXPECT_EQ(Answer(R"({"function":"CHECKHOST","params":[]})"),
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
          R"({"function":"VURO_GetVersion","params":5})",
          R"({"function":"VURO_GetVersion","params":null})",
          R"({"function":"VURO_GetVersion","params":true})",
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
    cJSON* response = nullptr;
    EXPECT_EQ(Invoke(&response, "nope", nullptr), -1);
    EXPECT_EQ(response, nullptr);
    EXPECT_EQ(Invoke(&response, nullptr, nullptr), -1);
}
