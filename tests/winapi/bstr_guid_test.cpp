// Conformance of system strings and GUID formatting on both targets.
#include "tests/support/TestSupport.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <cstring>

TEST(WinApiBstr, LengthPrefixAndTerminator) {
    BSTR b = SysAllocString(TEXT("abc"));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(SysStringByteLen(b), 6u);
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const BYTE*>(b) - 4, 4);
    EXPECT_EQ(prefix, 6u); // the byte count sits just before the text
    EXPECT_EQ(b[3], 0);
    SysFreeString(b);

    // Embedded NULs are part of a counted string.
    const WCHAR withNul[] = {u'a', 0, u'b'};
    b = SysAllocStringLen(withNul, 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(b[2], u'b');
    SysFreeString(b);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr); // allowed, does nothing
}

TEST(WinApiGuid, RegistryFormAndUniqueness) {
    GUID g1{}, g2{};
    ASSERT_EQ(CoCreateGuid(&g1), S_OK);
    ASSERT_EQ(CoCreateGuid(&g2), S_OK);
    EXPECT_NE(std::memcmp(&g1, &g2, sizeof(GUID)), 0);
    // Random GUIDs are version 4 with the RFC 4122 variant: the text shows
    // "4" as the first digit of the third group and 8-B as that of the fourth.
    for (int i = 0; i < 64; ++i) {
        GUID g{};
        ASSERT_EQ(CoCreateGuid(&g), S_OK);
        EXPECT_EQ(g.Data3 >> 12, 4) << std::hex << g.Data3;
        EXPECT_EQ(g.Data4[0] >> 6, 2) << std::hex << int(g.Data4[0]);
    }

    const GUID known = {
        0x5c8f2a58, 0x369a, 0x44f0, {0x92, 0x35, 0xc0, 0x5e, 0xcb, 0x1d, 0xd7, 0x3e}};
    WCHAR text[64] = {};
    ASSERT_EQ(StringFromGUID2(known, text, 64), 39);
    EXPECT_EQ(U8(text), "{5C8F2A58-369A-44F0-9235-C05ECB1DD73E}");
    WCHAR tooSmall[38];
    EXPECT_EQ(StringFromGUID2(known, tooSmall, 38), 0);
}
