#include "host/JsonText.h"

#include <cstring>

size_t Utf8SequenceLength(const unsigned char* pb, size_t cb) {
    const unsigned char b0 = pb[0];
    if (b0 < 0x80)
        return 1;
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF; // the second byte's range
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        if (b0 == 0xE0)
            lo = 0xA0; // no overlong forms
        else if (b0 == 0xED)
            hi = 0x9F; // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F; // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (cb < n || pb[1] < lo || pb[1] > hi)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if (pb[i] < 0x80 || pb[i] > 0xBF)
            return 0;
    return n;
}

bool IsWellFormedUtf8(const char* psz, size_t cb) {
    const auto* pu = reinterpret_cast<const unsigned char*>(psz);
    for (size_t i = 0; i < cb;) {
        if (pu[i] == 0)
            return false;
        const size_t n = Utf8SequenceLength(pu + i, cb - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

bool IsWellFormedUtf8(const char* psz) {
    return psz != nullptr && IsWellFormedUtf8(psz, std::strlen(psz));
}

bool AppendJsonString(std::string& out, std::string_view text) noexcept {
    static const char kHex[] = "0123456789abcdef";
    try {
        const char* const psz = text.data();
        const auto* pu = reinterpret_cast<const unsigned char*>(psz);
        const size_t cb = text.size();
        out += '"';
        for (size_t i = 0; i < cb;) {
            const unsigned char c = pu[i];
            if (c >= 0x80) {
                const size_t n = Utf8SequenceLength(pu + i, cb - i);
                if (n == 0) {
                    out += char(c) == kMarkNul ? "\\u0000" : "\\ufffd";
                    ++i;
                } else {
                    out.append(psz + i, n);
                    i += n;
                }
                continue;
            }
            switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                } else {
                    out += char(c);
                }
            }
            ++i;
        }
        out += '"';
        return true;
    } catch (...) {
        return false;
    }
}
