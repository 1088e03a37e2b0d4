// The test browser's script language: one call per line.
//
//   # comment                          blank lines and comments do nothing
//   METHOD(arg, ...)                   invoke a method of the scriptable object
//   (arg, ...)                         call the object itself (InvokeDefault)
//   $name = METHOD(...)                also keep the result as $name
//   METHOD(...) => ok "expected"       expectation: status and exact value
//   METHOD(...) => failed              expectation: status only
//   METHOD(...) => ok ~"part"          expectation: a string result containing "part"
//   !directive word ...                talk to the plug-in frame (see Shell.h)
//
// Arguments are JSON-like: 2048 (int32), 2048.9 or 1e3 (double; integers
// beyond 32 bits too), true, false, null, "text" with JSON escapes, $last
// (the previous string result) or $name.
#pragma once
#include "plugin/npapi/NPApi.h"

#include <optional>
#include <string>
#include <vector>

namespace npshell {

// A value as the shell keeps it: a copy of a variant's content.
struct Value {
    NPVariantType type = NPVariantType_Void;
    bool b = false;
    int32_t i = 0;
    double d = 0;
    std::string s;    // string content (UTF-8)
    unsigned obj = 0; // object number (Browser::ObjectNumber)

    static Value Void() { return {}; }
    static Value Null();
    static Value Bool(bool v);
    static Value Int(int32_t v);
    static Value Double(double v);
    static Value String(std::string v);
    static Value Object(unsigned n);
    bool operator==(const Value& o) const;
};

// FormatValue: the one-line printed form: "text" with JSON escapes (so line
// breaks never split an output line), 12, 2048.9, true, null, void, object#1.
std::string FormatValue(const Value& v);

// An argument as written: a literal or a variable to look up when it runs.
struct Arg {
    Value literal;
    std::string variable; // without "$"; empty for a literal
};

struct Expectation {
    enum Mode { StatusOnly, Exact, Contains } mode = StatusOnly;
    std::string status; // "ok", "failed", "nomethod"
    Value value;        // Exact
    std::string part;   // Contains
};

struct Command {
    enum Kind { Empty, Call, Directive } kind = Empty;
    std::string assignTo;           // $name = ..., without "$"
    std::string method;             // empty for a call of the object itself
    std::vector<Arg> args;          // Call
    std::string directive;          // without "!"
    std::vector<std::string> words; // the directive's words
    std::optional<Expectation> expect;
    // Label: the name results are printed under.
    std::string Label() const;
};

// ParseLine: one script line into *pCommand. Returns false with a message in
// *pstrError when the line is malformed.
[[nodiscard]] bool ParseLine(const std::string& strLine, Command* pCommand, std::string* pstrError);

// ParseValueText: a whole text as one literal value (used for expectations
// and by tests). Returns false if it is not exactly one literal.
[[nodiscard]] bool ParseValueText(const std::string& strText, Value* pValue);

} // namespace npshell
