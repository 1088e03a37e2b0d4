// Code-page conversions. The stand-in knows UTF-8 only: on POSIX the "ANSI" and
// "OEM" pages are the locale's character set, which is UTF-8 on every system we
// support. Ill-formed input is replaced with U+FFFD (one per maximal ill-formed
// subpart, as Windows does) unless the caller asks for strict conversion.
#include <windows.h>

#include <algorithm>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool KnownCodePage(UINT cp) {
    return cp == CP_UTF8 || cp == CP_ACP || cp == CP_OEMCP;
}

// Decodes one scalar value at s[i..n); advances i past what it consumed. Returns
// false (and consumes the maximal ill-formed subpart) for an invalid sequence.
bool DecodeUtf8(const unsigned char* s, size_t n, size_t& i, char32_t& out) {
    unsigned char b0 = s[i];
    if (b0 < 0x80) {
        out = b0;
        ++i;
        return true;
    }
    int need;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;
        else if (b0 == 0xED)
            hi = 0x9F; // no UTF-16 surrogates in UTF-8
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F;
    } else {
        ++i;
        return false;
    }
    size_t j = i + 1;
    for (int k = 0; k < need; ++k, ++j) {
        if (j >= n)
            break;
        unsigned char b = s[j];
        unsigned char l = (k == 0) ? lo : 0x80, h = (k == 0) ? hi : 0xBF;
        if (b < l || b > h)
            break;
        cp = (cp << 6) | (b & 0x3F);
        if (k == need - 1) {
            i = j + 1;
            out = cp;
            return true;
        }
    }
    i = j; // the lead byte and the valid continuation bytes form one bad subpart
    return false;
}

// AsciiPrefix: how many of the first `n` units of `in` are ASCII, as far as
// `room` output units allow (0: a size query, all `n` count and nothing is
// written); those are copied to `out` a unit a unit. Most texts are ASCII
// throughout (Base64, JSON, names), so this is the whole conversion for them.
template <class From, class To> size_t AsciiPrefix(const From* in, size_t n, To* out, int room) {
    size_t i = 0;
    if (room == 0) {
        while (i < n && in[i] < 0x80)
            ++i;
        return i;
    }
    const size_t limit = std::min(n, size_t(room));
    while (i < limit && in[i] < 0x80) {
        out[i] = To(in[i]);
        ++i;
    }
    return i;
}

} // namespace

extern "C" UINT GetACP(void) {
    return CP_UTF8;
}

extern "C" int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                   int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
    if (!KnownCodePage(CodePage) || (dwFlags & ~DWORD(MB_ERR_INVALID_CHARS)) != 0 ||
        lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (lpWideCharStr == nullptr && cchWideChar != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const auto* s = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    size_t n = cbMultiByte == -1 ? __builtin_strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
    const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
    const size_t start = AsciiPrefix(s, n, lpWideCharStr, cchWideChar);
    size_t produced = start;
    auto put = [&](WCHAR w) -> bool {
        if (cchWideChar != 0) {
            if (produced >= size_t(cchWideChar))
                return false;
            lpWideCharStr[produced] = w;
        }
        ++produced;
        return true;
    };
    for (size_t i = start; i < n;) {
        char32_t cp;
        if (!DecodeUtf8(s, n, i, cp)) {
            if (strict) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            cp = kReplacement;
        }
        bool ok;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            ok = put(WCHAR(0xD800 + (cp >> 10))) && put(WCHAR(0xDC00 + (cp & 0x3FF)));
        } else {
            ok = put(WCHAR(cp));
        }
        if (!ok) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (produced > 0x7FFFFFFF) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    return int(produced);
}

extern "C" int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                   int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                   LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (!KnownCodePage(CodePage) || (dwFlags & ~DWORD(WC_ERR_INVALID_CHARS)) != 0 ||
        lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (lpMultiByteStr == nullptr && cbMultiByte != 0) || lpDefaultChar != nullptr ||
        lpUsedDefaultChar != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n;
    if (cchWideChar == -1) {
        n = 0;
        while (lpWideCharStr[n] != 0)
            ++n;
        ++n;
    } else {
        n = size_t(cchWideChar);
    }
    const bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
    size_t i = AsciiPrefix(lpWideCharStr, n, lpMultiByteStr, cbMultiByte);
    size_t produced = i;
    char buf[4];
    for (; i < n; ++i) {
        char32_t cp = lpWideCharStr[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && lpWideCharStr[i + 1] >= 0xDC00 &&
            lpWideCharStr[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lpWideCharStr[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            if (strict) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            cp = kReplacement;
        }
        size_t len;
        if (cp < 0x80) {
            buf[0] = char(cp);
            len = 1;
        } else if (cp < 0x800) {
            buf[0] = char(0xC0 | (cp >> 6));
            buf[1] = char(0x80 | (cp & 0x3F));
            len = 2;
        } else if (cp < 0x10000) {
            buf[0] = char(0xE0 | (cp >> 12));
            buf[1] = char(0x80 | ((cp >> 6) & 0x3F));
            buf[2] = char(0x80 | (cp & 0x3F));
            len = 3;
        } else {
            buf[0] = char(0xF0 | (cp >> 18));
            buf[1] = char(0x80 | ((cp >> 12) & 0x3F));
            buf[2] = char(0x80 | ((cp >> 6) & 0x3F));
            buf[3] = char(0x80 | (cp & 0x3F));
            len = 4;
        }
        if (cbMultiByte != 0) {
            if (produced + len > size_t(cbMultiByte)) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            for (size_t k = 0; k < len; ++k)
                lpMultiByteStr[produced + k] = buf[k];
        }
        produced += len;
        if (produced > 0x7FFFFFFF) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    return int(produced);
}

extern "C" int lstrlenW(LPCWSTR lpString) {
    if (lpString == nullptr)
        return 0;
    int n = 0;
    while (lpString[n] != 0)
        ++n;
    return n;
}

extern "C" int lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    // Case folding of the ASCII range is all the system relies on.
    auto fold = [](WCHAR c) -> WCHAR { return (c >= u'A' && c <= u'Z') ? WCHAR(c + 32) : c; };
    for (;; ++a, ++b) {
        WCHAR ca = fold(*a), cb = fold(*b);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
}
