// The plug-ins word three of their texts differently from the host; each
// deliverable's own string table must carry its own words.
#include "foundation/ErrorText.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

std::string Describe(HRESULT hr) {
    BSTR bstr = nullptr;
    EXPECT_EQ(BuildErrorDescription(GetModuleHandleW(nullptr), hr, &bstr), VURO_OK);
    std::string text = U8(bstr);
    SysFreeString(bstr);
    return text;
}

bool UiIsChinese() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE;
}

} // namespace

TEST(PluginStrings, OwnWordingOfTheVariantTexts) {
    EXPECT_EQ(
        Describe(VURO_E_CERT_NOT_EXIST),
        std::string(UiIsChinese() ? "没有找到指定证书" : "Specified certificate is not found.") +
            "\n(0xa0071035)");
    EXPECT_EQ(Describe(VURO_E_INVALID_HASH_ALG),
              std::string(UiIsChinese() ? "无效的散列算法" : "Invalid hash algorithm.") +
                  "\n(0xa0072020)");
    EXPECT_EQ(Describe(VURO_E_INVALID_CERT_USAGE),
              std::string(UiIsChinese() ? "无效的证书用途" : "Invalid certificate usage.") +
                  "\n(0xa0072021)");
    // Everything else reads as in the host.
    EXPECT_EQ(Describe(VURO_E_INVALID_KEY_ALG),
              std::string(UiIsChinese() ? "无效的密钥算法" : "Invalid key algorithm.") +
                  "\n(0xa0072401)");
}
