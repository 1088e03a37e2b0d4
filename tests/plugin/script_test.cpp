// The test browser's script language: what a line means, what is refused and
// how values print, since the plug-in tests rely on all three.
#include "tools/npshell/Script.h"

#include <gtest/gtest.h>

#include <cmath>

using npshell::Command;
using npshell::Expectation;
using npshell::FormatValue;
using npshell::ParseLine;
using npshell::ParseValueText;
using npshell::Value;

namespace {

TEST(ScriptLanguage, ArgumentTypes) {
    struct Case {
        const char* pszText;
        Value expected;
    };
    const Case kCases[] = {
        {"2048", Value::Int(2048)},
        {"-7", Value::Int(-7)},
        {"2147483647", Value::Int(2147483647)},
        // Past 32 bits a number is a double, as script numbers are.
        {"2147483648", Value::Double(2147483648.0)},
        {"2048.9", Value::Double(2048.9)},
        {"1e3", Value::Double(1000.0)},
        {"-2.5e-1", Value::Double(-0.25)},
        {"true", Value::Bool(true)},
        {"false", Value::Bool(false)},
        {"null", Value::Null()},
        {"\"2048\"", Value::String("2048")},
        {"\"a\\\"b\\\\c\\n\"", Value::String("a\"b\\c\n")},
        {"\"\\u00e9\\u8bc1\"", Value::String("\xc3\xa9\xe8\xaf\x81")},
        {"\"\\ud83d\\ude00\"", Value::String("\xf0\x9f\x98\x80")},
        {"\"\"", Value::String("")},
        {"object#3", Value::Object(3)},
    };
    for (const Case& c : kCases) {
        Value v;
        ASSERT_TRUE(ParseValueText(c.pszText, &v)) << c.pszText;
        EXPECT_TRUE(v == c.expected) << c.pszText << " read as " << FormatValue(v);
    }
}

TEST(ScriptLanguage, MalformedLinesAreRefused) {
    const char* const kBad[] = {
        "VURO_GetVersion",             // no argument list
        "VURO_GetVersion(",            // unterminated
        "VURO_SetCSPInfo(2048 \"x\")", // missing comma
        "VURO_SetCSPInfo(2048,)",      // missing value
        "F(\"abc)",                    // unterminated string
        "F(\"\\q\")",                  // unknown escape
        "F(\"\\ud83d\")",              // unpaired surrogate
        "F(\"\\udc00x\")",             // lone low surrogate
        "F(\"\\u12\")",                // short \u escape
        "F(undefined)",                // not a value
        "F(-)",                        // sign without digits
        "F(1) trailing",               // text after the call
        "$ = F()",                     // variable without a name
        "$last = F()",                 // $last is the shell's
        "$x F()",                      // missing "="
        "F($)",                        // "$" without a name
        "F() => maybe",                // unknown status
        "F() => ok ~5",                // ~ wants a string
        "F() => ok $last",             // expectations are literals
        "F() => ok 1 2",               // two values
        "!",                           // directive without a name
    };
    for (const char* psz : kBad) {
        Command cmd;
        std::string strError;
        EXPECT_FALSE(ParseLine(psz, &cmd, &strError)) << psz;
        EXPECT_FALSE(strError.empty()) << psz;
    }
}

TEST(ScriptLanguage, WellFormedLines) {
    Command cmd;
    std::string strError;
    for (const char* psz : {"", "   ", "# VURO_GetVersion()", "  # indented comment", "\r"}) {
        ASSERT_TRUE(ParseLine(psz, &cmd, &strError)) << psz;
        EXPECT_EQ(cmd.kind, Command::Empty) << psz;
    }

    ASSERT_TRUE(ParseLine("$req = VURO_PKCS10CertRequisition(\"CN=a, O=b => c\", 1, 0) => ok "
                          "~\"MII\"\r",
                          &cmd, &strError))
        << strError;
    EXPECT_EQ(cmd.kind, Command::Call);
    EXPECT_EQ(cmd.assignTo, "req");
    EXPECT_EQ(cmd.method, "VURO_PKCS10CertRequisition");
    ASSERT_EQ(cmd.args.size(), 3u);
    // "=>" inside a string is text, not an expectation.
    EXPECT_TRUE(cmd.args[0].literal == Value::String("CN=a, O=b => c"));
    EXPECT_TRUE(cmd.args[1].literal == Value::Int(1));
    ASSERT_TRUE(cmd.expect.has_value());
    EXPECT_EQ(cmd.expect->status, "ok");
    EXPECT_EQ(cmd.expect->mode, Expectation::Contains);
    EXPECT_EQ(cmd.expect->part, "MII");

    ASSERT_TRUE(ParseLine("VURO_ImportSignCert(1, $last, $req)", &cmd, &strError));
    ASSERT_EQ(cmd.args.size(), 3u);
    EXPECT_EQ(cmd.args[1].variable, "last");
    EXPECT_EQ(cmd.args[2].variable, "req");
    EXPECT_FALSE(cmd.expect.has_value());

    ASSERT_TRUE(ParseLine("(1, \"x\") => ok \"default method return val\"", &cmd, &strError));
    EXPECT_EQ(cmd.kind, Command::Call);
    EXPECT_TRUE(cmd.method.empty());
    EXPECT_EQ(cmd.Label(), "()");
    EXPECT_EQ(cmd.expect->mode, Expectation::Exact);

    ASSERT_TRUE(ParseLine("VURO_GetVersion(1) => failed", &cmd, &strError));
    EXPECT_EQ(cmd.expect->mode, Expectation::StatusOnly);
    EXPECT_EQ(cmd.expect->status, "failed");

    ASSERT_TRUE(ParseLine("!new application/npPellin a=1 b=x => ok 2", &cmd, &strError));
    EXPECT_EQ(cmd.kind, Command::Directive);
    EXPECT_EQ(cmd.directive, "new");
    EXPECT_EQ(cmd.words, (std::vector<std::string>{"application/npPellin", "a=1", "b=x"}));
    EXPECT_EQ(cmd.Label(), "!new application/npPellin a=1 b=x");
}

// Every value prints on one line and reads back as itself, so results can be
// parsed and fed back as arguments.
TEST(ScriptLanguage, PrintedValuesReadBack) {
    const Value kValues[] = {
        Value::Void(),
        Value::Null(),
        Value::Bool(true),
        Value::Int(-2147483647 - 1),
        Value::Double(2048.9),
        Value::Double(3.0),
        Value::Double(1e300),
        Value::String("MIIB\r\nAQAB\n(0xa0072401)\t\"q\"\\ \x01 \xe8\xaf\x81"),
        Value::Object(12),
    };
    for (const Value& v : kValues) {
        std::string text = FormatValue(v);
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
        Value back;
        ASSERT_TRUE(ParseValueText(text, &back)) << text;
        EXPECT_TRUE(back == v) << text << " read back as " << FormatValue(back);
    }
    EXPECT_EQ(FormatValue(Value::Double(3.0)), "3.0");
    EXPECT_EQ(FormatValue(Value::String("a\nb")), "\"a\\nb\"");
}

} // namespace
