// Encodings: Base64 with its line rules, UTF-16 <-> UTF-8, hexadecimal of
// little-endian integers, byte-order reversal, GUID texts and temporary files.
#include "foundation/Encodings.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

Bytes BytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::string Repeat(const std::string& s, size_t nTimes) {
    std::string out;
    for (size_t i = 0; i < nTimes; ++i)
        out += s;
    return out;
}

// Encodes and hands back the text.
std::string Encode(DWORD dwFlags, const Bytes& data) {
    std::string text;
    HRESULT hr = Base64EncodeEx(dwFlags, &text, data.data(), DWORD(data.size()));
    EXPECT_EQ(hr, VURO_OK);
    if (hr != VURO_OK)
        return "<failed>";
    return text;
}

// Decodes exactly the given characters from a buffer of exactly that size (no
// terminator behind it), so a read past the length is an overread for ASan.
HRESULT Decode(const std::string& text, int nLen, Bytes& out) {
    std::unique_ptr<char[]> exact(new char[text.size() == 0 ? 1 : text.size()]);
    std::copy(text.begin(), text.end(), exact.get());
    return Base64DecodeEx(nLen, &out, exact.get());
}

Bytes DecodeAll(const std::string& text) {
    Bytes out;
    EXPECT_EQ(Decode(text, int(text.size()), out), VURO_OK) << text;
    return out;
}

// A bit-at-a-time encoder of the unpadded one-line form: an oracle that shares
// no table or grouping logic with the code under test.
std::string ReferenceBase64(const Bytes& data) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned uBits = 0, nBits = 0;
    for (BYTE b : data) {
        for (int k = 7; k >= 0; --k) {
            uBits = (uBits << 1) | ((b >> k) & 1u);
            if (++nBits == 6) {
                out.push_back(kAlphabet[uBits]);
                uBits = nBits = 0;
            }
        }
    }
    if (nBits != 0)
        out.push_back(kAlphabet[uBits << (6 - nBits)]);
    return out;
}

// Deterministic bytes covering every value (a linear congruential sequence).
Bytes PseudoRandomBytes(size_t n, uint32_t uSeed) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        uSeed = uSeed * 1664525u + 1013904223u;
        out[i] = BYTE(uSeed >> 24);
    }
    return out;
}

} // namespace

// ---- Base64 encoding ---------------------------------------------------------

// Fixed texts the round trip below cannot vouch for: its oracle is written
// here too, so these pin the alphabet and padding against published vectors,
// and the line rule at the edges where it is easiest to get wrong.
TEST(Base64Encode, KnownTexts) {
    const std::string abc19 = Repeat("abc", 19); // 57 bytes, exactly one line of groups
    const std::string line = Repeat("YWJj", 19); // its 76 characters
    struct Case {
        const char* pszWhat;
        DWORD dwFlags;
        std::string input;
        std::string expected;
    } cases[] = {
        {"no bytes", 0, "", ""},
        {"one byte unpadded", BASE64_FLAG_NOPAD, "a", "YQ"},
        // RFC 4648, section 10.
        {"RFC 4648 f", 0, "f", "Zg=="},
        {"RFC 4648 fo", 0, "fo", "Zm8="},
        {"RFC 4648 foo", 0, "foo", "Zm9v"},
        {"RFC 4648 foob", 0, "foob", "Zm9vYg=="},
        {"RFC 4648 fooba", 0, "fooba", "Zm9vYmE="},
        {"RFC 4648 foobar", 0, "foobar", "Zm9vYmFy"},
        {"last two alphabet characters", 0, "\xFB\xFF\xBF", "+/+/"},
        {"first characters", 0, std::string("\x00\x10\x83", 3), "ABCD"},
        // 18 groups and 2 bytes fill a 76-character line exactly: no break.
        {"56 bytes", 0, Repeat("abc", 18) + "ab", Repeat("YWJj", 18) + "YWI="},
        // 19 groups fill a line: it is followed by CR LF even with nothing after it.
        {"57 bytes", 0, abc19, line + "\r\n"},
        {"58 bytes one line unpadded", BASE64_FLAG_NOCRLF | BASE64_FLAG_NOPAD, abc19 + "a",
         line + "YQ"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Encode(c.dwFlags, BytesOf(c.input)), c.expected) << c.pszWhat;
}

TEST(Base64Encode, RejectsBadArgumentsAndLeavesOutputsAlone) {
    const BYTE abyOne[1] = {0x61};
    std::string text = "untouched";
    // A null source with a length to read.
    EXPECT_EQ(Base64EncodeEx(0, &text, nullptr, 3), E_POINTER);
    // Nowhere to put the text.
    EXPECT_EQ(Base64EncodeEx(0, nullptr, abyOne, 1), E_POINTER);
    // 3 GiB encode to exactly 4 GiB characters: the size must be refused before
    // anything is allocated or read, not wrap around in 32 bits.
    EXPECT_EQ(Base64EncodeEx(BASE64_FLAG_NOPAD | BASE64_FLAG_NOCRLF, &text, abyOne, 0xC0000000u),
              E_OUTOFMEMORY);
    EXPECT_EQ(Base64EncodeEx(0, &text, abyOne, 0xFFFFFFFFu), E_OUTOFMEMORY);
    EXPECT_EQ(text, "untouched");
}

// Every length from 0 to 300 with every flag combination: the text matches an
// independent encoder, follows the line rules, and decodes to the input.
TEST(Base64Encode, RoundTripsEveryLengthWithEveryFlag) {
    for (size_t n = 0; n <= 300; ++n) {
        const Bytes data = PseudoRandomBytes(n, uint32_t(n) * 7919u + 1);
        const std::string unpadded = ReferenceBase64(data);
        const std::string padded = unpadded + std::string((4 - unpadded.size() % 4) % 4, '=');
        for (DWORD dwFlags = 0; dwFlags < 4; ++dwFlags) {
            SCOPED_TRACE("length " + std::to_string(n) + ", flags " + std::to_string(dwFlags));
            const std::string text = Encode(dwFlags, data);
            const std::string& oneLine = (dwFlags & BASE64_FLAG_NOPAD) ? unpadded : padded;
            if (dwFlags & BASE64_FLAG_NOCRLF) {
                EXPECT_EQ(text, oneLine);
            } else {
                // Full lines of 76, each followed by CR LF; the rest without one.
                std::string expected;
                const size_t nFull = (n / 3) / 19;
                for (size_t i = 0; i < nFull; ++i)
                    expected += oneLine.substr(i * 76, 76) + "\r\n";
                expected += oneLine.substr(nFull * 76);
                EXPECT_EQ(text, expected);
            }
            if (n == 0)
                continue; // an empty text cannot be decoded: its length is 0
            EXPECT_EQ(DecodeAll(text), data);
        }
    }
}

// ---- Base64 decoding ---------------------------------------------------------

TEST(Base64Decode, SkipsNoiseAndStopsWhereItShould) {
    struct Case {
        const char* pszWhat;
        std::string text;
        int nLen; // -1: the whole text
        std::string expected;
    } cases[] = {
        {"one group", "YWJj", -1, "abc"},
        {"padding", "YWI=", -1, "ab"},
        {"missing padding", "YWI", -1, "ab"},
        {"double padding", "YQ==", -1, "a"},
        {"line break inside a group", "YW\r\nJj", -1, "abc"},
        {"blanks and tabs", " Y W\tJ j ", -1, "abc"},
        // "=" does not count wherever it stands.
        {"padding characters in the middle", "=Y=W=J=j=", -1, "abc"},
        {"only noise", "\r\n  ==\r\n", -1, ""},
        // Bytes above 0x7F are noise: a signed char used as an index would read
        // before the table instead.
        {"bytes above 0x7F", "\xC3\xA9YW\xFFJj\x80", -1, "abc"},
        {"URL-safe characters are not in the alphabet", "YW-_Jj", -1, "abc"},
        // A single leftover character carries no whole byte.
        {"single leftover character", "YWJjY", -1, "abc"},
        // The low bits of an unpadded final group are not checked.
        {"non-canonical final group", "YR", -1, "a"},
        {"NUL where a group starts ends the text", std::string("YWJj\0YWJj", 9), -1, "abc"},
        {"NUL after a line break at a group start", std::string("YWJj\r\n\0YWJj", 11), -1, "abc"},
        {"NUL inside a group is skipped", std::string("YW\0Jj", 5), -1, "abc"},
        {"leading NUL gives nothing", std::string("\0YWJj", 5), -1, ""},
        // The given length bounds the read even with more text behind it.
        {"length shorter than the text", "YWJjYWJj", 4, "abc"},
        {"length ends inside a group", "YWJjYWJj", 6, "abca"},
        {"two lines of the encoder", Repeat("YWJj", 19) + "\r\n" + Repeat("YWJj", 19) + "\r\nYQ==",
         -1, Repeat("abc", 38) + "a"},
        {"64-character lines", Repeat("YWJj", 16) + "\r\n" + Repeat("YWJj", 16) + "\r\nYWI=", -1,
         Repeat("abc", 32) + "ab"},
        {"LF-only line breaks", Repeat("YWJj", 19) + "\n" + Repeat("YWJj", 19) + "\nYQ", -1,
         Repeat("abc", 38) + "a"},
        // A CR alone is one noise character: the character after it still counts.
        {"lone CR after a full line", Repeat("YWJj", 19) + "\rYWJj", -1, Repeat("abc", 20)},
        {"lone CR between groups", "YWJj\rYWJj", -1, "abcabc"},
        {"CR CR LF", Repeat("YWJj", 19) + "\r\r\nYWJj", -1, Repeat("abc", 20)},
    };
    for (const Case& c : cases) {
        Bytes out;
        const int nLen = c.nLen < 0 ? int(c.text.size()) : c.nLen;
        ASSERT_EQ(Decode(c.text, nLen, out), VURO_OK) << c.pszWhat;
        EXPECT_EQ(out, BytesOf(c.expected)) << c.pszWhat;
    }
}

TEST(Base64Decode, RejectsBadArgumentsAndLeavesOutputsAlone) {
    const Bytes untouched = {7};
    Bytes data = untouched;
    // A length of 0 or below is refused before the text is looked at.
    EXPECT_EQ(Base64DecodeEx(0, &data, "YWJj"), E_FAIL);
    EXPECT_EQ(Base64DecodeEx(-4, &data, "YWJj"), E_FAIL);
    EXPECT_EQ(Base64DecodeEx(0, &data, nullptr), E_FAIL);
    // Null text or output.
    EXPECT_EQ(Base64DecodeEx(4, &data, nullptr), E_POINTER);
    EXPECT_EQ(Base64DecodeEx(4, nullptr, "YWJj"), E_POINTER);
    EXPECT_EQ(data, untouched);
}

// ---- UTF-16 <-> UTF-8 ----------------------------------------------------------

TEST(UtfConversion, WideToUtf8) {
    const WCHAR wszAcute[] = {0x00E9, 0};
    const WCHAR wszZhang[] = {0x5F20, 0};
    const WCHAR wszLoneHigh[] = {u'a', 0xD800, u'b', 0};
    const WCHAR wszLoneLow[] = {0xDC00, 0};
    const WCHAR wszPair[] = {0xD83D, 0xDE00, 0}; // U+1F600
    struct Case {
        const char* pszWhat;
        const WCHAR* pwszSource;
        std::string expected;
    } cases[] = {
        {"empty", TEXT(""), ""},
        {"ASCII", TEXT("CN=Test"), "CN=Test"},
        {"two-byte sequence", wszAcute, "\xC3\xA9"},
        {"three-byte sequence", wszZhang, "\xE5\xBC\xA0"},
        {"surrogate pair becomes four bytes", wszPair, "\xF0\x9F\x98\x80"},
        // Unpaired surrogates are replaced, not rejected.
        {"unpaired high surrogate", wszLoneHigh,
         "a\xEF\xBF\xBD"
         "b"},
        {"unpaired low surrogate", wszLoneLow, "\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        std::string out = "stale";
        ASSERT_EQ(UTF16ToUTF8(c.pwszSource, &out), VURO_OK) << c.pszWhat;
        EXPECT_EQ(out, c.expected) << c.pszWhat;
    }
}

TEST(UtfConversion, Utf8ToWide) {
    struct Case {
        const char* pszWhat;
        const char* pszSource;
        std::vector<WCHAR> expected;
    } cases[] = {
        {"empty", "", {}},
        {"ASCII", "abc", {u'a', u'b', u'c'}},
        {"two-byte sequence", "\xC3\xA9", {0x00E9}},
        {"three-byte sequence", "\xE5\xBC\xA0", {0x5F20}},
        {"four bytes become a surrogate pair", "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
        // Ill-formed input is replaced, not rejected.
        {"stray continuation byte", "a\x80", {u'a', 0xFFFD}},
        {"truncated sequence", "\xE2\x82", {0xFFFD}},
    };
    for (const Case& c : cases) {
        WString out = TEXT("stale");
        ASSERT_EQ(UTF8ToUTF16(c.pszSource, &out), VURO_OK) << c.pszWhat;
        EXPECT_EQ(std::vector<WCHAR>(out.begin(), out.end()), c.expected) << c.pszWhat;
    }
}

TEST(UtfConversion, RefusesNullAndLeavesOutputsAlone) {
    std::string out = "untouched";
    WString wout = TEXT("untouched");
    EXPECT_EQ(UTF16ToUTF8(nullptr, &out), E_POINTER);
    EXPECT_EQ(UTF8ToUTF16(nullptr, &wout), E_POINTER);
    EXPECT_EQ(UTF16ToUTF8(TEXT("a"), nullptr), E_POINTER);
    EXPECT_EQ(UTF8ToUTF16("a", nullptr), E_POINTER);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(wout, TEXT("untouched"));
}

// ---- Hexadecimal and byte order ------------------------------------------------

TEST(MiscHex, WritesLittleEndianIntegersMostSignificantFirst) {
    struct Case {
        Bytes input;
        const char* pszExpected;
    } cases[] = {
        {{}, ""},
        {{0x0F}, "0f"},
        {{0x01, 0xA0}, "a001"},
        {{0x00, 0xFF, 0x10, 0xAB}, "ab10ff00"},
    };
    for (const Case& c : cases) {
        WString out = TEXT("stale");
        ASSERT_EQ(ConvertBinaryDataToString(DWORD(c.input.size()), &out, c.input.data()), VURO_OK);
        EXPECT_EQ(U8(out), c.pszExpected);
    }
    WString out = TEXT("untouched");
    EXPECT_EQ(ConvertBinaryDataToString(2, &out, nullptr), E_POINTER);
    EXPECT_EQ(ConvertBinaryDataToString(2, nullptr, Bytes{1, 2}.data()), E_POINTER);
    EXPECT_EQ(out, TEXT("untouched"));
}

TEST(MiscSwap, ReversesInPlace) {
    struct Case {
        Bytes input;
        Bytes expected;
    } cases[] = {
        {{}, {}},
        {{7}, {7}},
        {{1, 2}, {2, 1}},
        {{1, 2, 3, 4}, {4, 3, 2, 1}},
        {{1, 2, 3, 4, 5}, {5, 4, 3, 2, 1}}, // the middle byte stays
    };
    for (Case& c : cases) {
        SwapByteOrder(c.input.data(), DWORD(c.input.size()));
        EXPECT_EQ(c.input, c.expected);
    }
    SwapByteOrder(nullptr, 4); // nothing to reverse, and no crash
}

// ---- GUID text, temporary directory and files ----------------------------------

namespace {

bool IsGuidText(const WString& s) {
    if (s.size() != 38 || s.front() != u'{' || s.back() != u'}')
        return false;
    for (size_t i = 1; i < 37; ++i) {
        const WCHAR c = s[i];
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (c != u'-')
                return false;
        } else if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'))) {
            return false;
        }
    }
    return true;
}

Bytes ReadWholeFile(const WString& path) {
    Bytes out;
    HANDLE hFile = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(hFile, INVALID_HANDLE_VALUE) << U8(path);
    if (hFile == INVALID_HANDLE_VALUE)
        return out;
    LARGE_INTEGER size{};
    EXPECT_TRUE(GetFileSizeEx(hFile, &size));
    out.resize(size_t(size.QuadPart));
    DWORD cbRead = 0;
    if (!out.empty()) {
        EXPECT_TRUE(ReadFile(hFile, out.data(), DWORD(out.size()), &cbRead, nullptr));
    }
    EXPECT_EQ(cbRead, out.size());
    CloseHandle(hFile);
    return out;
}

} // namespace

TEST(MiscGuid, RegistryFormAndFreshEachTime) {
    WString first, second;
    ASSERT_EQ(CreateGUIDStr(&first), VURO_OK);
    ASSERT_EQ(CreateGUIDStr(&second), VURO_OK);
    EXPECT_TRUE(IsGuidText(first)) << U8(first);
    EXPECT_TRUE(IsGuidText(second)) << U8(second);
    EXPECT_NE(first, second);
    EXPECT_EQ(CreateGUIDStr(nullptr), E_POINTER);
}

TEST(MiscTempFile, TempDirectoryEndsWithSeparator) {
    WString dir;
    ASSERT_EQ(GetTempDirPath(&dir), VURO_OK);
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.find(WCHAR(0)), WString::npos);
    EXPECT_TRUE(dir.back() == u'\\' || dir.back() == u'/') << U8(dir);
    EXPECT_EQ(GetTempDirPath(nullptr), E_POINTER);
}

TEST(MiscTempFile, DumpWritesExactlyTheBytesUnderAGuidName) {
    WString dir;
    ASSERT_EQ(GetTempDirPath(&dir), VURO_OK);

    const std::vector<Bytes> payloads = {
        {},                               // an empty file is still a file
        {0x00, 0x0D, 0x0A, 0x1A, 0xFF},   // no text-mode translation
        PseudoRandomBytes(70000, 12345u), // more than one buffer's worth
    };
    WString previous;
    for (const Bytes& data : payloads) {
        WString path;
        ASSERT_EQ(DumpDatatoTempFile(&path, data.data(), DWORD(data.size())), VURO_OK);
        ASSERT_EQ(path.size(), dir.size() + 38 + 5) << U8(path);
        EXPECT_EQ(path.substr(0, dir.size()), dir);
        EXPECT_TRUE(IsGuidText(path.substr(dir.size(), 38))) << U8(path);
        EXPECT_EQ(U8(path.substr(dir.size() + 38)), ".VURO");
        EXPECT_NE(path, previous);
        EXPECT_EQ(ReadWholeFile(path), data);
        EXPECT_TRUE(DeleteFileW(path.c_str()));
        previous = path;
    }
}

TEST(MiscTempFile, DumpRefusesBadArguments) {
    WString path = TEXT("untouched");
    const BYTE abyData[1] = {1};
    EXPECT_EQ(DumpDatatoTempFile(nullptr, abyData, 1), E_POINTER);
    EXPECT_EQ(DumpDatatoTempFile(&path, nullptr, 1), E_POINTER);
    EXPECT_EQ(path, TEXT("untouched"));
}
