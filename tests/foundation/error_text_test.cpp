// Descriptions of result codes as VURO_GetLastErrorDesc returns them, in the
// language of the run (the suite runs once in English and once in Chinese).
#include "foundation/ErrorText.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool UiIsChinese() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE;
}

std::string Describe(HRESULT hr) {
    BSTR bstr = nullptr;
    EXPECT_EQ(BuildErrorDescription(GetModuleHandleW(nullptr), hr, &bstr), VURO_OK);
    std::string text = U8(bstr);
    EXPECT_EQ(SysStringLen(bstr), size_t(lstrlenW(bstr))) << "no hidden characters";
    SysFreeString(bstr);
    return text;
}

// The system's own text for a code: Windows' words, or what Wine says instead.
std::string SystemText(DWORD code, const char* windowsEnglish, const char* windowsChinese) {
    if (RunningUnderWine()) {
        // Wine words its system messages differently ("Success.", "Invalid
        // parameter."): compare with whatever it says, which must still be the
        // system's text with its own line break.
        WCHAR buf[512] = {};
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       buf, 512, nullptr);
        std::string text = U8(buf);
        EXPECT_GE(text.size(), 2u);
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
        return text;
    }
    return UiIsChinese() ? windowsChinese : windowsEnglish;
}

} // namespace

// The system's texts keep their own line break before the code.
TEST(ErrorText, SystemCodesHaveTheSystemText) {
    EXPECT_EQ(Describe(0),
              SystemText(0, "The operation completed successfully.\r\n", "操作成功完成。\r\n") +
                  "\n(0x00000000)");
    EXPECT_EQ(Describe(E_INVALIDARG),
              SystemText(0x80070057, "The parameter is incorrect.\r\n", "参数错误。\r\n") +
                  "\n(0x80070057)");
}

// A token's failures reach pages through the system's texts: each must read
// in the run's language (and the cancel never gets here: it becomes the
// system's own cancel code first).
TEST(ErrorText, TokenCodesHaveTheSystemText) {
    struct {
        HRESULT code;
        const char* english;
        const char* chinese;
        const char* suffix;
    } const rows[] = {
        {SCARD_W_WRONG_CHV, "The PIN is wrong; the token refused it.\r\n",
         "PIN 码错误，令牌拒绝了该 PIN 码。\r\n", "\n(0x8010006b)"},
        {SCARD_W_CHV_BLOCKED,
         "The token is locked: too many wrong PINs were entered. Its issuer can unlock it.\r\n",
         "令牌已锁定：输入错误 PIN 码的次数过多。请联系令牌的发放方解锁。\r\n", "\n(0x8010006c)"},
        {SCARD_W_REMOVED_CARD,
         "The token was removed, so the operation could not be completed.\r\n",
         "令牌已被拔出，无法完成操作。\r\n", "\n(0x80100069)"},
    };
    for (const auto& row : rows) {
        if (RunningUnderWine()) {
            // Wine has no words for the smart-card codes: the code alone.
            EXPECT_EQ(Describe(row.code), row.suffix);
            continue;
        }
        EXPECT_EQ(Describe(row.code),
                  std::string(UiIsChinese() ? row.chinese : row.english) + row.suffix);
    }
}

TEST(ErrorText, OwnCodesComeFromTheStringTable) {
    EXPECT_EQ(Describe(VURO_E_INVALID_KEY_ALG),
              std::string(UiIsChinese() ? "无效的密钥算法" : "Invalid key algorithm.") +
                  "\n(0xa0072401)");
    EXPECT_EQ(Describe(VURO_E_USER_CANCELED),
              std::string(UiIsChinese() ? "用户取消选择证书" : "User canceled operation.") +
                  "\n(0xa0071002)");
    // The host's own wording of the one text the plug-ins word differently.
    EXPECT_EQ(Describe(VURO_E_CERT_NOT_EXIST),
              std::string(UiIsChinese() ? "指定证书不存在" : "Special cert isn't exsit") +
                  "\n(0xa0071035)");
}

TEST(ErrorText, CodesWithoutTextGiveTheSuffixAlone) {
    // An own number no code uses, and one the system does not know either.
    EXPECT_EQ(Describe(VuroCode(0x1FFF)), "\n(0xa0071fff)");
    EXPECT_EQ(Describe(HRESULT(0x8badf00d)), "\n(0x8badf00d)");
    // Nowhere to put the text.
    EXPECT_EQ(BuildErrorDescription(GetModuleHandleW(nullptr), 0, nullptr), E_POINTER);
}
