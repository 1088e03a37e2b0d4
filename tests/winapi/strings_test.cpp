// Conformance of the string tables and system message texts the error
// descriptions are built from.
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

bool UiIsChinese() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE;
}

} // namespace

// The suite runs once per interface language; ORVANE_EXPECT_UI_LANG says which
// one the run was started for, so a run that silently fell back is caught.
TEST(WinApiStrings, UiLanguageFollowsTheEnvironment) {
    const char* expected = std::getenv("ORVANE_EXPECT_UI_LANG");
    const std::string want = expected != nullptr ? expected : "en";
    EXPECT_EQ(UiIsChinese() ? "zh" : "en", want);
}

TEST(WinApiStrings, LoadStringPicksTheUiLanguageAndCuts) {
    HMODULE self = GetModuleHandleW(nullptr);
    WCHAR buf[512] = {};
    int n = LoadStringW(self, 9217, buf, 512);
    ASSERT_GT(n, 0);
    EXPECT_EQ(U8(buf), UiIsChinese() ? "无效的密钥算法" : "Invalid key algorithm.");

    // A short buffer receives what fits, terminated.
    WCHAR small[5] = {u'x', u'x', u'x', u'x', u'x'};
    EXPECT_EQ(LoadStringW(self, 9217, small, 5), 4);
    EXPECT_EQ(small[4], 0);

    // Buffer size 0 hands out a read-only pointer to the resource itself.
    const WCHAR* direct = nullptr;
    n = LoadStringW(self, 9217, reinterpret_cast<LPWSTR>(&direct), 0);
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(WString(direct, size_t(n)), WString(buf));

    // An id without a text.
    EXPECT_EQ(LoadStringW(self, 0x1FFF, buf, 512), 0);
}

TEST(WinApiStrings, SystemMessagesEndWithCrLf) {
    const DWORD codes[] = {0,          0x80070057, 0x80070005, 0x8007000E, 0x80004005,
                           0x80004003, 0x8007000D, 0x800700B7, 0x8007057E, 0x80090005,
                           0x80090016, 0x8009002D, 0x80092004, 0x80092005};
    for (DWORD code : codes) {
        WCHAR buf[512] = {};
        DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, buf, 512, nullptr);
        if (n == 0 && RunningUnderWine()) {
            // Wine has system texts for Win32 errors only, none for the COM
            // and CryptoAPI codes.
            EXPECT_NE(code & 0xFFFF0000u, 0x80070000u) << std::hex << code;
            continue;
        }
        ASSERT_GE(n, 2u) << std::hex << code;
        EXPECT_EQ(buf[n - 2], u'\r') << std::hex << code;
        EXPECT_EQ(buf[n - 1], u'\n') << std::hex << code;
    }
    WCHAR buf[4];
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             0x80070057, 0, buf, 4, nullptr),
              0u); // too small: refused, not cut
}
