#include "tools/npshell/Script.h"

#include "host/JsonText.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace npshell {

namespace {

// A value of type t with the one member that type uses set.
template <class M, class V> Value Typed(NPVariantType t, M Value::*member, V value) {
    Value v;
    v.type = t;
    v.*member = std::move(value);
    return v;
}

} // namespace

Value Value::Null() {
    Value v;
    v.type = NPVariantType_Null;
    return v;
}
Value Value::Bool(bool b) {
    return Typed(NPVariantType_Bool, &Value::b, b);
}
Value Value::Int(int32_t n) {
    return Typed(NPVariantType_Int32, &Value::i, n);
}
Value Value::Double(double d) {
    return Typed(NPVariantType_Double, &Value::d, d);
}
Value Value::String(std::string s) {
    return Typed(NPVariantType_String, &Value::s, std::move(s));
}
Value Value::Object(unsigned n) {
    return Typed(NPVariantType_Object, &Value::obj, n);
}

bool Value::operator==(const Value& o) const {
    if (type != o.type)
        return false;
    switch (type) {
    case NPVariantType_Bool:
        return b == o.b;
    case NPVariantType_Int32:
        return i == o.i;
    case NPVariantType_Double:
        return d == o.d || (std::isnan(d) && std::isnan(o.d));
    case NPVariantType_String:
        return s == o.s;
    case NPVariantType_Object:
        return obj == o.obj;
    default:
        return true;
    }
}

std::string FormatValue(const Value& v) {
    char buf[64];
    switch (v.type) {
    case NPVariantType_Void:
        return "void";
    case NPVariantType_Null:
        return "null";
    case NPVariantType_Bool:
        return v.b ? "true" : "false";
    case NPVariantType_Int32:
        return std::to_string(v.i);
    case NPVariantType_Double: {
        std::snprintf(buf, sizeof(buf), "%.17g", v.d);
        // Keep a double recognisable as one when it is read back.
        if (std::strpbrk(buf, ".eEn") == nullptr)
            std::strcat(buf, ".0");
        return buf;
    }
    case NPVariantType_String: {
        std::string out;
        if (!AppendJsonString(out, v.s))
            throw std::bad_alloc();
        return out;
    }
    case NPVariantType_Object:
        return "object#" + std::to_string(v.obj);
    }
    return "void";
}

std::string Command::Label() const {
    if (kind == Directive) {
        std::string s = "!" + directive;
        for (const std::string& w : words)
            s += " " + w;
        return s;
    }
    return method.empty() ? "()" : method;
}

namespace {

// A cursor over one line; it only advances past what it accepted.
class Reader {
public:
    explicit Reader(const std::string& s) : m_s(s) {}
    void SkipBlanks() {
        while (m_pos < m_s.size() && (m_s[m_pos] == ' ' || m_s[m_pos] == '\t'))
            ++m_pos;
    }
    bool AtEnd() {
        SkipBlanks();
        return m_pos >= m_s.size();
    }
    bool Take(char c) {
        SkipBlanks();
        if (m_pos < m_s.size() && m_s[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    bool TakeText(const char* psz) {
        SkipBlanks();
        size_t n = std::strlen(psz);
        if (m_s.compare(m_pos, n, psz) == 0) {
            m_pos += n;
            return true;
        }
        return false;
    }
    char Peek() {
        SkipBlanks();
        return m_pos < m_s.size() ? m_s[m_pos] : '\0';
    }
    // Name: letters, digits and "_" (also "." for directive words).
    std::string Name() {
        SkipBlanks();
        size_t start = m_pos;
        while (m_pos < m_s.size() &&
               (std::isalnum(static_cast<unsigned char>(m_s[m_pos])) || m_s[m_pos] == '_'))
            ++m_pos;
        return m_s.substr(start, m_pos - start);
    }
    std::string Rest() {
        SkipBlanks();
        std::string r = m_s.substr(m_pos);
        m_pos = m_s.size();
        return r;
    }
    size_t Pos() const { return m_pos; }
    const std::string& Text() const { return m_s; }
    void SetPos(size_t p) { m_pos = p; }

private:
    const std::string& m_s;
    size_t m_pos = 0;
};

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

bool Hex4(const std::string& s, size_t pos, uint32_t* pValue) {
    if (pos + 4 > s.size())
        return false;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
        char c = s[pos + k];
        v <<= 4;
        if (c >= '0' && c <= '9')
            v |= uint32_t(c - '0');
        else if (c >= 'a' && c <= 'f')
            v |= uint32_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            v |= uint32_t(c - 'A' + 10);
        else
            return false;
    }
    *pValue = v;
    return true;
}

// String literal after the opening quote was seen at r.Pos().
bool ParseString(Reader& r, std::string* pOut, std::string* pstrError) {
    const std::string& s = r.Text();
    size_t pos = r.Pos() + 1;
    std::string out;
    while (pos < s.size() && s[pos] != '"') {
        if (s[pos] != '\\') {
            // Plain characters up to the next quote or escape, in one piece:
            // scripts carry kilobytes of text in one literal.
            const size_t end = std::min(s.find_first_of("\"\\", pos), s.size());
            out.append(s, pos, end - pos);
            pos = end;
            continue;
        }
        ++pos;
        if (pos >= s.size())
            break;
        char e = s[pos++];
        switch (e) {
        case '"':
        case '\\':
        case '/':
            out += e;
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'u': {
            uint32_t cp = 0;
            if (!Hex4(s, pos, &cp)) {
                *pstrError = "bad \\u escape";
                return false;
            }
            pos += 4;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                uint32_t lo = 0;
                if (pos + 1 < s.size() && s[pos] == '\\' && s[pos + 1] == 'u' &&
                    Hex4(s, pos + 2, &lo) && lo >= 0xDC00 && lo <= 0xDFFF) {
                    pos += 6;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                } else {
                    *pstrError = "unpaired surrogate in \\u escape";
                    return false;
                }
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                *pstrError = "unpaired surrogate in \\u escape";
                return false;
            }
            AppendUtf8(out, cp);
            break;
        }
        default:
            *pstrError = std::string("unknown escape \\") + e;
            return false;
        }
    }
    if (pos >= s.size()) {
        *pstrError = "unterminated string";
        return false;
    }
    r.SetPos(pos + 1);
    *pOut = std::move(out);
    return true;
}

bool ParseNumber(Reader& r, Value* pValue, std::string* pstrError) {
    const std::string& s = r.Text();
    size_t start = r.Pos();
    size_t pos = start;
    if (pos < s.size() && (s[pos] == '-' || s[pos] == '+'))
        ++pos;
    bool bDouble = false;
    size_t digits = 0;
    while (pos < s.size()) {
        char c = s[pos];
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.' || c == 'e' || c == 'E') {
            bDouble = true;
        } else if ((c == '-' || c == '+') && (s[pos - 1] == 'e' || s[pos - 1] == 'E')) {
        } else {
            break;
        }
        ++pos;
    }
    if (digits == 0) {
        *pstrError = "malformed number";
        return false;
    }
    std::string text = s.substr(start, pos - start);
    char* end = nullptr;
    errno = 0;
    if (!bDouble) {
        long long n = std::strtoll(text.c_str(), &end, 10);
        if (*end == '\0' && errno == 0 && n >= INT32_MIN && n <= INT32_MAX) {
            *pValue = Value::Int(int32_t(n));
            r.SetPos(pos);
            return true;
        }
        // Beyond 32 bits a script number is a double, as in a browser.
    }
    errno = 0;
    double d = std::strtod(text.c_str(), &end);
    if (*end != '\0') {
        *pstrError = "malformed number '" + text + "'";
        return false;
    }
    *pValue = Value::Double(d);
    r.SetPos(pos);
    return true;
}

bool ParseArg(Reader& r, Arg* pArg, std::string* pstrError) {
    char c = r.Peek();
    if (c == '"') {
        std::string s;
        if (!ParseString(r, &s, pstrError))
            return false;
        pArg->literal = Value::String(std::move(s));
        return true;
    }
    if (c == '$') {
        r.Take('$');
        pArg->variable = r.Name();
        if (pArg->variable.empty()) {
            *pstrError = "variable name expected after $";
            return false;
        }
        return true;
    }
    if (c == '-' || c == '+' || c == '.' || (c >= '0' && c <= '9'))
        return ParseNumber(r, &pArg->literal, pstrError);
    std::string word = r.Name();
    if (word == "true" || word == "false") {
        pArg->literal = Value::Bool(word == "true");
        return true;
    }
    if (word == "null") {
        pArg->literal = Value::Null();
        return true;
    }
    if (word == "void") {
        pArg->literal = Value::Void();
        return true;
    }
    if (word == "object" && r.Take('#')) {
        std::string n = r.Name();
        if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos) {
            *pstrError = "object number expected after object#";
            return false;
        }
        pArg->literal = Value::Object(unsigned(std::strtoul(n.c_str(), nullptr, 10)));
        return true;
    }
    *pstrError = word.empty() ? std::string("value expected") : "unknown value '" + word + "'";
    return false;
}

bool ParseExpectation(Reader& r, Expectation* pExpect, std::string* pstrError) {
    pExpect->status = r.Name();
    if (pExpect->status != "ok" && pExpect->status != "failed" && pExpect->status != "nomethod") {
        *pstrError = "expectation must start with ok, failed or nomethod";
        return false;
    }
    if (r.AtEnd())
        return true;
    if (r.Take('~')) {
        if (r.Peek() != '"') {
            *pstrError = "string expected after ~";
            return false;
        }
        pExpect->mode = Expectation::Contains;
        if (!ParseString(r, &pExpect->part, pstrError))
            return false;
    } else {
        Arg a;
        if (!ParseArg(r, &a, pstrError))
            return false;
        if (!a.variable.empty()) {
            *pstrError = "an expectation takes a literal";
            return false;
        }
        pExpect->mode = Expectation::Exact;
        pExpect->value = a.literal;
    }
    if (!r.AtEnd()) {
        *pstrError = "unexpected text after the expectation";
        return false;
    }
    return true;
}

// Splits "text => expectation" at the first "=>" outside a string literal.
size_t FindArrow(const std::string& s) {
    bool bInString = false;
    for (size_t i = 0; i + 1 < s.size(); ++i) {
        if (bInString) {
            if (s[i] == '\\')
                ++i;
            else if (s[i] == '"')
                bInString = false;
        } else if (s[i] == '"') {
            bInString = true;
        } else if (s[i] == '=' && s[i + 1] == '>') {
            return i;
        }
    }
    return std::string::npos;
}

} // namespace

bool ParseLine(const std::string& strLineIn, Command* pCommand, std::string* pstrError) {
    *pCommand = Command{};
    std::string strLine = strLineIn;
    if (!strLine.empty() && strLine.back() == '\r')
        strLine.pop_back();
    {
        Reader r(strLine);
        if (r.AtEnd() || r.Peek() == '#')
            return true;
    }
    size_t arrow = FindArrow(strLine);
    std::string strBody = strLine.substr(0, arrow);
    if (arrow != std::string::npos) {
        std::string strExpect = strLine.substr(arrow + 2);
        Reader re(strExpect);
        Expectation e;
        if (!ParseExpectation(re, &e, pstrError))
            return false;
        pCommand->expect = e;
    }
    Reader r(strBody);
    if (r.Take('!')) {
        pCommand->kind = Command::Directive;
        pCommand->directive = r.Name();
        if (pCommand->directive.empty()) {
            *pstrError = "directive name expected after !";
            return false;
        }
        std::string rest = r.Rest();
        size_t pos = 0;
        while (pos < rest.size()) {
            size_t end = rest.find_first_of(" \t", pos);
            if (end == std::string::npos)
                end = rest.size();
            if (end > pos)
                pCommand->words.push_back(rest.substr(pos, end - pos));
            pos = end + 1;
        }
        return true;
    }
    if (r.Peek() == '$') {
        size_t save = r.Pos();
        r.Take('$');
        std::string name = r.Name();
        if (!name.empty() && r.Take('=')) {
            pCommand->assignTo = name;
        } else {
            r.SetPos(save);
            *pstrError = "a line starting with $ must assign: $name = METHOD(...)";
            return false;
        }
        if (name == "last") {
            *pstrError = "$last is kept by the shell and cannot be assigned";
            return false;
        }
    }
    pCommand->kind = Command::Call;
    pCommand->method = r.Name();
    if (!r.Take('(')) {
        *pstrError = "'(' expected after the method name";
        return false;
    }
    if (!r.Take(')')) {
        for (;;) {
            Arg a;
            if (!ParseArg(r, &a, pstrError))
                return false;
            pCommand->args.push_back(std::move(a));
            if (r.Take(')'))
                break;
            if (!r.Take(',')) {
                *pstrError = "',' or ')' expected";
                return false;
            }
        }
    }
    if (!r.AtEnd()) {
        *pstrError = "unexpected text after ')'";
        return false;
    }
    return true;
}

bool ParseValueText(const std::string& strText, Value* pValue) {
    Reader r(strText);
    Arg a;
    std::string strError;
    if (!ParseArg(r, &a, &strError) || !a.variable.empty() || !r.AtEnd())
        return false;
    *pValue = a.literal;
    return true;
}

} // namespace npshell
