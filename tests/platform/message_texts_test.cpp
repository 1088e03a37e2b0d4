// Every code the code base can return has words. The system codes: each
// name of the SDK's error headers (sdk/) that the sources use gets FormatMessageW
// text in English and in Chinese. The own codes: each code of ResultCodes.h
// has a row in the string table, in both languages and in both variants (the
// host's and the plug-ins'). The sources are walked, so a code added later
// without its words fails here.
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <span>
#include <string>

namespace {

namespace fs = std::filesystem;

const fs::path kSource = ORVANE_SOURCE_DIR;

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// SystemCodes: name -> value of every error number and result code the
// SDK headers (sdk/) define.
std::map<std::string, DWORD> SystemCodes() {
    static const std::regex define(
        R"(#define\s+((?:ERROR|E|NTE|CRYPT_E|SCARD_[EFPW])_[A-Z0-9_]+)\s+(?:_HRESULT_TYPEDEF_\(|\(\(HRESULT\))?(0x[0-9A-Fa-f]+|[0-9]+)L?\)*\s)");
    std::map<std::string, DWORD> codes;
    for (const auto& entry : fs::recursive_directory_iterator(kSource / "sdk")) {
        if (entry.path().extension() != ".h")
            continue;
        const std::string text = Slurp(entry.path());
        for (std::sregex_iterator it(text.begin(), text.end(), define), end; it != end; ++it)
            codes[(*it)[1]] = DWORD(std::stoul((*it)[2], nullptr, 0));
    }
    return codes;
}

// UsedNames: the codes named in the system's and the stand-in's sources
// (the SDK headers, tests, benchmarks and tools aside).
std::set<std::string> UsedNames(const std::map<std::string, DWORD>& codes) {
    static const std::regex word(R"(\b[A-Z][A-Z0-9_]+\b)");
    const std::set<std::string> skipped = {"tests",   "bench", "tools", "build",
                                           "scripts", "cmake", "web",   "sdk"};
    std::set<std::string> used;
    for (const auto& top : fs::directory_iterator(kSource)) {
        const std::string name = top.path().filename().string();
        if (!top.is_directory() || name[0] == '.' || skipped.count(name) != 0)
            continue;
        for (const auto& entry : fs::recursive_directory_iterator(top.path())) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".h" && ext != ".inc")
                continue;
            const std::string text = Slurp(entry.path());
            for (std::sregex_iterator it(text.begin(), text.end(), word), end; it != end; ++it)
                if (codes.count(it->str()) != 0)
                    used.insert(it->str());
        }
    }
    return used;
}

std::string Text(DWORD code, WORD language) {
    WCHAR buf[1024] = {};
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(language, SUBLANG_DEFAULT), buf, 1024, nullptr);
    return n == 0 ? std::string() : U8(buf);
}

TEST(SystemTexts, EveryCodeTheSourcesUseHasWordsInBothLanguages) {
    const auto codes = SystemCodes();
    const auto used = UsedNames(codes);
    // Sanity: the walk found the headers and the sources.
    ASSERT_GT(codes.size(), 80u);
    ASSERT_GT(used.size(), 60u);
    ASSERT_EQ(used.count("NTE_BAD_KEYSET"), 1u);
    for (const std::string& name : used) {
        const DWORD code = codes.at(name);
        const std::string english = Text(code, LANG_ENGLISH);
        const std::string chinese = Text(code, LANG_CHINESE);
        EXPECT_GT(english.size(), 2u) << name;
        EXPECT_GT(chinese.size(), 2u) << name;
        if (english.size() > 2 && chinese.size() > 2) {
            EXPECT_EQ(english.substr(english.size() - 2), "\r\n") << name;
            EXPECT_EQ(chinese.substr(chinese.size() - 2), "\r\n") << name;
            EXPECT_NE(english, chinese) << name;
        }
        // A Win32 number and its HRESULT are the same failure.
        if (code != 0 && code < 0x10000) {
            EXPECT_EQ(Text(DWORD(HRESULT_FROM_WIN32(code)), LANG_ENGLISH), english) << name;
        }
    }
}

struct Row {
    unsigned id;
    const char* english;
    const char* chinese;
};

#define ORVANE_STR(id, english, chinese) {id, english, chinese},
const Row kHostRows[] = {
#include "resources/string_table.inc"
};
#define ORVANE_PLUGIN_STRINGS
const Row kPluginRows[] = {
#include "resources/string_table.inc"
};
#undef ORVANE_PLUGIN_STRINGS
#undef ORVANE_STR

TEST(OwnTexts, EveryOwnCodeHasARowInBothLanguagesOfBothTables) {
    static const std::regex own(R"(VuroCode\((0x[0-9A-Fa-f]+)\))");
    const std::string header = Slurp(kSource / "foundation" / "ResultCodes.h");
    std::set<unsigned> ids;
    for (std::sregex_iterator it(header.begin(), header.end(), own), end; it != end; ++it)
        ids.insert(unsigned(std::stoul((*it)[1], nullptr, 16)));
    ASSERT_GT(ids.size(), 40u);
    for (std::span<const Row> table :
         {std::span<const Row>(kHostRows), std::span<const Row>(kPluginRows)}) {
        std::map<unsigned, const Row*> rows;
        for (const Row& r : table)
            rows[r.id] = &r;
        for (unsigned id : ids) {
            auto it = rows.find(id);
            ASSERT_NE(it, rows.end()) << "no text for 0x" << std::hex << (0xA0070000u | id);
            EXPECT_STRNE(it->second->english, "") << id;
            EXPECT_STRNE(it->second->chinese, "") << id;
        }
    }
}

} // namespace
