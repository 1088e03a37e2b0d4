// JSON text as the host writes it, shared with the tools that print JSON:
// the UTF-8 checks, the marks the request reader leaves in strings, and the
// one string escaper. Needs nothing but the standard library.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// Marks the request reader leaves inside strings where the page's text held a
// NUL character (kMarkNul: "\u0000" or a raw zero byte) or a byte that is no
// part of well-formed UTF-8 (kMarkIllFormed, one per byte). Neither byte
// occurs in UTF-8, so a string without them is well-formed UTF-8 without NUL,
// and a string with them is refused wherever it is used.
constexpr char kMarkNul = char(0xFE);
constexpr char kMarkIllFormed = char(0xFF);

// IsWellFormedUtf8: whether the cb bytes at psz are well-formed UTF-8 (no
// overlong forms, surrogates or code points past U+10FFFF) without a NUL.
bool IsWellFormedUtf8(const char* psz, size_t cb);
bool IsWellFormedUtf8(const char* psz);

// Utf8SequenceLength: the length of the well-formed UTF-8 sequence at pb (of
// cb bytes left), or 0 when none starts there.
size_t Utf8SequenceLength(const unsigned char* pb, size_t cb);

// AppendJsonString: the JSON string (with its quotes) of text appended to out:
// quote, backslash and control characters escaped (\b \f \n \r \t by name,
// the others as \u00XX), a NUL mark as \u0000 and any other byte that is not
// part of well-formed UTF-8 as \ufffd, so the result is always UTF-8 JSON.
// False when memory runs out (out may then hold part of the string).
[[nodiscard]] bool AppendJsonString(std::string& out, std::string_view text) noexcept;
