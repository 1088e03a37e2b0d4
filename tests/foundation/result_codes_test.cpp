#include "foundation/ResultCodes.h"

#include <gtest/gtest.h>

TEST(ResultCodes, ErrorNumbersBecomeResultCodes) {
    struct {
        DWORD error;
        uint32_t expected;
        const char* why;
    } const cases[] = {
        {0, 0, "success stays success"},
        {0x20002401, 0xA0072401, "customer bit: own code with the low 16 bits"},
        {5, 0x80070005, "Win32 error: HRESULT_FROM_WIN32"},
        {0xA0071001, 0xA0071001, "already a (negative) result code"},
        {0x80090016, 0x80090016, "CryptoAPI codes are negative and stay"},
        {0x2001FFFF, 0xA007FFFF, "only the low 16 bits of an own number count"},
        {0x00012345, 0x80072345, "Win32 numbers keep only their low 16 bits"},
        {1223, 0xA0071002, "ERROR_CANCELLED is the user's cancel"},
        {0x800704C7, 0xA0071002, "and so is its HRESULT"},
        {0x8010006E, 0xA0071002, "and a token's cancelled PIN prompt"},
        {0x8010006B, 0x8010006B, "other smart-card codes stay (wrong PIN)"},
        {1222, 0x800704C6, "the numbers beside the cancel are not a cancel"},
        {1224, 0x800704C8, "on either side"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(uint32_t(HResultFromError(c.error)), c.expected) << c.why;
}

TEST(ResultCodes, LastErrorIsConvertedByTheSameRule) {
    SetLastError(0x20002401);
    EXPECT_EQ(uint32_t(HResultFromLastError()), 0xA0072401u);
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(HResultFromLastError(), E_ACCESSDENIED);
    SetLastError(0);
    EXPECT_EQ(HResultFromLastError(), VURO_OK);
}

TEST(ResultCodes, OwnCodesCarryTheirTextId) {
    EXPECT_EQ(uint32_t(VURO_E_INVALID_KEY_ALG), 0xA0072401u);
    EXPECT_EQ(uint32_t(VURO_E_JSON_ARG_TYPE), 0xA0073204u);
    EXPECT_EQ(VURO_E_JSON_ARG_TYPE, -1610141180); // as pages see it in "errorcode"
}
