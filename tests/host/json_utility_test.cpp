// The JSON layer: what a request yields, how arguments are read and how
// responses print.
#include "host/JSONUtility.h"
#include "host/JsonHandles.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// What an out-parameter holds when nothing was handed out to it.
const std::string kUntouched = "<untouched>";

struct Parsed {
    int result = 0;
    std::string name = kUntouched;
    std::string token = kUntouched;
    UniqueJson params;
};

Parsed Parse(const char* text) {
    Parsed p;
    p.result = ParseRequestMsgToJSON(&p.name, &p.params, text, &p.token);
    return p;
}

UniqueJson Json(const char* text) {
    return UniqueJson(cJSON_Parse(text));
}

std::string Print(const char* name, const char* token, cJSON* response) {
    std::string text;
    EXPECT_EQ(ConvertJSONToResponseMsg(name, token, response, &text), 0);
    return !text.empty() ? text : std::string("<null>");
}

} // namespace

TEST(JsonRequest, NameParamsAndToken) {
    Parsed p = Parse(R"({"function":"VURO_GetVersion","params":[]})");
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.name, "VURO_GetVersion");
    ASSERT_NE(p.params.get(), nullptr);
    EXPECT_EQ(cJSON_GetArraySize(p.params.get()), 0);
    EXPECT_EQ(p.token, kUntouched);

    // Keys match without regard to case; the token is handed out.
    p = Parse(R"({"FUNCTION":"x","Params":["a",1],"RANDOMID":"17"})");
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.name, "x");
    EXPECT_EQ(cJSON_GetArraySize(p.params.get()), 2);
    EXPECT_EQ(p.token, "17");

    // An empty token is a token.
    p = Parse(R"({"function":"x","params":[],"randomId":""})");
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.token, "");
}

TEST(JsonRequest, InvalidRequestsHandOutNothing) {
    struct {
        const char* text;
        int expected;
        const char* why;
    } const cases[] = {
        {"", 87, "empty text"},
        {"not json", -1, "not JSON"},
        {R"({"params":[]})", -1, "no function"},
        {R"({"function":5,"params":[]})", -1, "function is not a string"},
        {R"({"function":"f"})", -1, "no params"},
        {R"({"function":"f","params":[],"randomId":5})", -1, "randomId is not a string"},
        {R"(["function","params"])", -1, "an array, not an object"},
    };
    for (const auto& c : cases) {
        Parsed p = Parse(c.text);
        EXPECT_EQ(p.result, c.expected) << c.why;
        EXPECT_EQ(p.name, kUntouched) << c.why;
        EXPECT_EQ(p.token, kUntouched) << c.why;
        EXPECT_EQ(p.params.get(), nullptr) << c.why;
    }
    EXPECT_EQ(ParseRequestMsgToJSON(nullptr, nullptr, nullptr, nullptr), 87);
}

TEST(JsonArguments, TextAndIntegerForms) {
    auto args = Json(R"(["abc", {"param":"x"}, 2048, {"param":1024}, 3.9, "1024", 2048.9,
                        {"PARAM":"case"}, {"other":"y"}, null, 0, -5])");
    std::string text;
    ASSERT_EQ(ConverJSONArrayItemtoNULLEndString(args.get(), 0, &text), 0);
    EXPECT_EQ(text, "abc");
    ASSERT_EQ(ConverJSONArrayItemtoNULLEndString(args.get(), 1, &text), 0);
    EXPECT_EQ(text, "x");
    ASSERT_EQ(ConverJSONArrayItemtoNULLEndString(args.get(), 7, &text), 0);
    EXPECT_EQ(text, "case"); // "param" matches without regard to case
    // No place for the text: the argument is checked all the same.
    EXPECT_EQ(ConverJSONArrayItemtoNULLEndString(args.get(), 0, nullptr), 0);
    EXPECT_EQ(ConverJSONArrayItemtoNULLEndString(args.get(), 2, nullptr),
              int(VURO_E_JSON_ARG_TYPE));

    struct {
        int index;
        int result;
        int value;
        const char* why;
    } const ints[] = {
        {2, 0, 2048, "plain number"},
        {3, 0, 1024, "wrapped number"},
        {4, 0, 3, "3.9 truncates"},
        {6, 0, 2048, "2048.9 truncates"},
        {11, 0, -5, "negative"},
        {10, 0, 77, "0 leaves the caller's value alone"},
        {5, int(VURO_E_JSON_ARG_TYPE), 77, "a numeric string is not a number"},
        {0, int(VURO_E_JSON_ARG_TYPE), 77, "text"},
        {9, int(VURO_E_JSON_ARG_TYPE), 77, "null"},
        {8, int(VURO_E_JSON_ARG_TYPE), 77, "object without param is refused, not read"},
        {12, 87, 77, "past the end"},
        {-1, 87, 77, "negative index"},
    };
    for (const auto& c : ints) {
        int value = 77;
        EXPECT_EQ(ConverJSONArrayItemtoint(args.get(), c.index, &value), c.result) << c.why;
        EXPECT_EQ(value, c.value) << c.why;
    }
    EXPECT_EQ(ConverJSONArrayItemtoNULLEndString(args.get(), 2, &text), int(VURO_E_JSON_ARG_TYPE));
    EXPECT_EQ(ConverJSONArrayItemtoNULLEndString(args.get(), 8, &text), int(VURO_E_JSON_ARG_TYPE));
    EXPECT_EQ(ConverJSONArrayItemtoNULLEndString(args.get(), 3, &text), int(VURO_E_JSON_ARG_TYPE));
    EXPECT_EQ(ConverJSONArrayItemtoNULLEndString(nullptr, 0, &text), 87);
    EXPECT_EQ(text, "case") << "failures leave the text alone";
}

TEST(JsonArguments, NonArrayParamsCountAsLists) {
    // A scalar is a list of no elements; an object lists its members in order.
    for (const char* scalar : {R"("s")", "5", "true", "false", "null"}) {
        auto args = Json(scalar);
        std::string text;
        EXPECT_EQ(ConverJSONArrayItemtoNULLEndString(args.get(), 0, &text), 87) << scalar;
    }
    auto obj = Json(R"({"a":"first","b":2})");
    std::string text;
    ASSERT_EQ(ConverJSONArrayItemtoNULLEndString(obj.get(), 0, &text), 0);
    EXPECT_EQ(text, "first");
    int value = 0;
    ASSERT_EQ(ConverJSONArrayItemtoint(obj.get(), 1, &value), 0);
    EXPECT_EQ(value, 2);
}

TEST(JsonResponse, ResultFollowsCodeAndKind) {
    UniqueJson r;
    const unsigned char yes = 1, no = 0;
    const double d = 2.5;
    const int32_t i = -7;
    struct {
        int code;
        int kind;
        const void* value;
        const char* expected;
    } const cases[] = {
        {0, RESPONSE_VALUE_STRING, "3.2.0.1",
         R"({"function":"F","errorcode":0,"result":"3.2.0.1"})"},
        {0, RESPONSE_VALUE_BOOLEAN, &yes, R"({"function":"F","errorcode":0,"result":true})"},
        {0, RESPONSE_VALUE_BOOLEAN0, &no, R"({"function":"F","errorcode":0,"result":false})"},
        {0, RESPONSE_VALUE_BOOLEAN0, &yes, R"({"function":"F","errorcode":0,"result":true})"},
        {0, RESPONSE_VALUE_DOUBLE, &d, R"({"function":"F","errorcode":0,"result":2.5})"},
        {0, RESPONSE_VALUE_INT32, &i, R"({"function":"F","errorcode":0,"result":-7})"},
        {0, RESPONSE_VALUE_STRING, nullptr, R"({"function":"F","errorcode":0})"},
        {-1, RESPONSE_VALUE_STRING, "ignored", R"({"function":"F","errorcode":-1,"result":false})"},
        {int(0x80070057), RESPONSE_VALUE_BOOLEAN, &yes,
         R"({"function":"F","errorcode":-2147024809,"result":false})"},
        {0, RESPONSE_VALUE_STRING, "q\"\\\n\x01",
         R"({"function":"F","errorcode":0,"result":"q\"\\\n\u0001"})"},
    };
    for (const auto& c : cases) {
        r.reset();
        ASSERT_EQ(ConstructResponseJSON(&r, "F", c.code, c.kind, c.value), 0) << c.expected;
        EXPECT_EQ(Print("F", nullptr, r.get()), c.expected);
    }
    r.reset();
    EXPECT_EQ(ConstructResponseJSON(&r, "F", 0, 2, &yes), -1) << "unknown kind";
    EXPECT_FALSE(r);
    EXPECT_EQ(ConstructResponseJSON(&r, "", 0, RESPONSE_VALUE_STRING, "x"), 87);
    EXPECT_EQ(ConstructResponseJSON(&r, nullptr, 0, RESPONSE_VALUE_STRING, "x"), 87);
}

TEST(JsonResponse, TokenIsAppendedLastAndOnlyWhenNonEmpty) {
    for (const char* token : {"17", "", static_cast<const char*>(nullptr)}) {
        UniqueJson r;
        ASSERT_EQ(ConstructResponseJSON(&r, "VURO_GetVersion", 0, RESPONSE_VALUE_STRING, "3.2.0.1"),
                  0);
        std::string expected = R"({"function":"VURO_GetVersion","errorcode":0,"result":"3.2.0.1")";
        if (token != nullptr && *token != 0)
            expected += R"(,"randomId":"17")";
        EXPECT_EQ(Print("VURO_GetVersion", token, r.get()), expected + "}");
    }
}

TEST(JsonResponse, FixedTextsKeepTheirShapeAndEscape) {
    EXPECT_EQ(Print("Foo", "9", nullptr),
              R"({"function":"Foo", "errorcode":-2146893779, "result":false, "randomId":"9"})");
    EXPECT_EQ(Print("Foo", nullptr, nullptr),
              R"({"function":"Foo", "errorcode":-2146893779, "result":false})");
    EXPECT_EQ(Print(nullptr, "", nullptr),
              R"({"function":"", "errorcode":-2146893779, "result":false})");
    // A quote in a name or token cannot close the string and forge members.
    std::string forged = Print(R"(x","errorcode":0,"result":true,"y":")", "a\"b\\", nullptr);
    auto parsed = Json(forged.c_str());
    ASSERT_NE(parsed.get(), nullptr) << forged;
    EXPECT_STREQ(cJSON_GetObjectItem(parsed.get(), "function")->valuestring,
                 R"(x","errorcode":0,"result":true,"y":")");
    EXPECT_EQ(cJSON_GetObjectItem(parsed.get(), "errorcode")->valueint, -2146893779);
    EXPECT_STREQ(cJSON_GetObjectItem(parsed.get(), "randomId")->valuestring, "a\"b\\");
}
