// Conformance of the code-page conversions: the same expectations hold for
// Windows (under Wine) and for our stand-in.
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<WCHAR> ToWide(const std::string& bytes, DWORD dwFlags, int* pnResult, DWORD* pdwError) {
    std::vector<WCHAR> out(bytes.size() * 2 + 4, WCHAR(0x5555));
    SetLastError(0);
    *pnResult = MultiByteToWideChar(CP_UTF8, dwFlags, bytes.data(), int(bytes.size()), out.data(),
                                    int(out.size()));
    *pdwError = GetLastError();
    out.resize(*pnResult > 0 ? size_t(*pnResult) : 0);
    return out;
}

struct Utf8Case {
    const char* name;
    std::string bytes;
    std::vector<WCHAR> expected;
};

} // namespace

TEST(WinApiCodePage, Utf8DecodesWellFormedAndReplacesIllFormed) {
    const Utf8Case cases[] = {
        {"ascii", "abc", {u'a', u'b', u'c'}},
        {"two-byte", "\xC3\xA9", {0x00E9}},
        {"three-byte", "\xE4\xB8\xAD", {0x4E2D}},
        {"four-byte becomes a surrogate pair", "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
        // A stray continuation byte is one bad unit.
        {"lone continuation", "a\x80z", {u'a', 0xFFFD, u'z'}},
        // Overlong encodings of '/' are never decoded as '/'.
        {"overlong", "\xC0\xAF", {0xFFFD, 0xFFFD}},
        // A sequence cut short by the end of input.
        {"truncated", "\xE4\xB8", {0xFFFD}},
        {"embedded NUL is data", std::string("a\0b", 3), {u'a', 0, u'b'}},
    };
    for (const auto& c : cases) {
        int n = 0;
        DWORD err = 0;
        auto got = ToWide(c.bytes, 0, &n, &err);
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST(WinApiCodePage, EncodedSurrogatesNeverBecomeSurrogates) {
    // UTF-16 surrogates have no UTF-8 form. How many U+FFFD replace the three
    // bytes differs (Wine: 2; the stand-in, by maximal subparts: 3); what
    // matters is that no surrogate comes out.
    int n = 0;
    DWORD err = 0;
    auto got = ToWide("\xED\xA0\x80", 0, &n, &err);
    ASSERT_GE(got.size(), 1u);
    for (WCHAR w : got)
        EXPECT_EQ(w, 0xFFFD);
}

TEST(WinApiCodePage, StrictFlagRefusesIllFormedInput) {
    int n = 0;
    DWORD err = 0;
    ToWide("a\x80z", MB_ERR_INVALID_CHARS, &n, &err);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(err, DWORD(ERROR_NO_UNICODE_TRANSLATION));
    ToWide("\xC3\xA9", MB_ERR_INVALID_CHARS, &n, &err);
    EXPECT_EQ(n, 1);
}

TEST(WinApiCodePage, SizeQueryAndShortBuffer) {
    // -1 counts the terminator; a size query writes nothing.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9x", -1, nullptr, 0), 3);
    WCHAR two[2];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, two, 2), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, two, 2), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

// An ASCII run followed by other characters, a run longer than the room, and
// a counted text with a NUL inside: the run is not a special case to callers.
TEST(WinApiCodePage, AsciiRunsMeetOtherCharactersAndShortRoom) {
    const WCHAR mixed[] = {u'a', u'b', 0x00E9, u'c', 0};
    char out[8] = {};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, mixed, -1, nullptr, 0, nullptr, nullptr), 6);
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, mixed, -1, out, 6, nullptr, nullptr), 6);
    EXPECT_EQ(std::string(out), "ab\xC3\xA9"
                                "c");
    const WCHAR ascii[] = {u'a', u'b', u'c', u'd', 0};
    char three[3] = {};
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, ascii, 4, three, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    const WCHAR withNul[] = {u'a', 0, u'b'};
    char nul[3] = {'x', 'x', 'x'};
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, withNul, 3, nul, 3, nullptr, nullptr), 3);
    EXPECT_EQ(std::string(nul, 3), std::string("a\0b", 3));

    WCHAR wide[8] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "ab\xC3\xA9", 4, wide, 8), 3);
    EXPECT_EQ(wide[0], u'a');
    EXPECT_EQ(wide[2], WCHAR(0x00E9));
    WCHAR two[2];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcd", 4, two, 2), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\0b", 3, wide, 8), 3);
    EXPECT_EQ(wide[1], WCHAR(0));
}

TEST(WinApiCodePage, Utf16ToUtf8) {
    const WCHAR pair[] = {0xD83D, 0xDE00, 0};
    char out[16] = {};
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, pair, -1, out, sizeof(out), nullptr, nullptr), 5);
    EXPECT_EQ(std::string(out), "\xF0\x9F\x98\x80");
    // An unpaired surrogate becomes U+FFFD, or fails when asked to be strict.
    const WCHAR lone[] = {u'a', 0xD800, u'b', 0};
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, -1, out, sizeof(out), nullptr, nullptr), 6);
    EXPECT_EQ(std::string(out), "a\xEF\xBF\xBD"
                                "b");
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, out, sizeof(out),
                                  nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
    // Too small a buffer is refused, not overrun.
    char small[3] = {'x', 'x', 'x'};
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, pair, 2, small, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    // UTF-8 takes no default character. Wine accepts one and ignores it.
    if (!RunningUnderWine()) {
        BOOL used = FALSE;
        SetLastError(0);
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, pair, -1, out, sizeof(out), nullptr, &used), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
}
