// A bounds-checked reader of DER elements over bytes the caller keeps: what a
// relying party's verifier needs to take a signed message apart without
// trusting a single length in it. Only DER is read: definite lengths in their
// shortest form and one-octet tags; anything else is refused with a reason.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace orvane::verify {

using Bytes = std::span<const std::uint8_t>;

namespace tag {
inline constexpr std::uint8_t kInteger = 0x02;
inline constexpr std::uint8_t kBitString = 0x03;
inline constexpr std::uint8_t kOctetString = 0x04;
inline constexpr std::uint8_t kNull = 0x05;
inline constexpr std::uint8_t kOid = 0x06;
inline constexpr std::uint8_t kSequence = 0x30;
inline constexpr std::uint8_t kSet = 0x31;
inline constexpr std::uint8_t kContext0 = 0xA0;  // [0] constructed
inline constexpr std::uint8_t kContext1 = 0xA1;  // [1] constructed
inline constexpr std::uint8_t kImplicit0 = 0x80; // [0] primitive
} // namespace tag

struct Element {
    std::uint8_t tag = 0;
    Bytes whole;    // header and contents
    Bytes contents; // contents alone
};

class Asn1Reader {
public:
    explicit Asn1Reader(Bytes in) : m_in(in) {}

    bool AtEnd() const { return m_at == m_in.size(); }
    size_t Remaining() const { return m_in.size() - m_at; }
    // The tag of the next element, or false at the end.
    bool PeekTag(std::uint8_t& t) const {
        if (AtEnd())
            return false;
        t = m_in[m_at];
        return true;
    }

    // Next: the next element; on failure the cursor stays and why says what
    // is wrong with the bytes.
    bool Next(Element& e, std::string& why) {
        const size_t left = m_in.size() - m_at;
        if (left < 2) {
            why = left == 0 ? "an element is missing" : "an element is cut short";
            return false;
        }
        const std::uint8_t t = m_in[m_at];
        if ((t & 0x1F) == 0x1F) {
            why = "a tag of more than one octet";
            return false;
        }
        size_t header = 2;
        size_t length = m_in[m_at + 1];
        if (length == 0x80) {
            why = "an indefinite length (BER, not DER)";
            return false;
        }
        if (length > 0x80) {
            const size_t octets = length & 0x7F;
            if (octets > 4) {
                why = "a length of more than four octets";
                return false;
            }
            if (left < 2 + octets) {
                why = "a length cut short";
                return false;
            }
            length = 0;
            for (size_t i = 0; i < octets; ++i)
                length = (length << 8) | m_in[m_at + 2 + i];
            if (m_in[m_at + 2] == 0 || length < 0x80) {
                why = "a length not in its shortest form";
                return false;
            }
            header += octets;
        }
        if (length > left - header) {
            why = "an element longer than what holds it (truncated?)";
            return false;
        }
        e.tag = t;
        e.whole = m_in.subspan(m_at, header + length);
        e.contents = m_in.subspan(m_at + header, length);
        m_at += header + length;
        return true;
    }

    // Expect: the next element, which must carry tag t.
    bool Expect(std::uint8_t t, Element& e, std::string& why, const char* what) {
        std::uint8_t seen = 0;
        if (!PeekTag(seen)) {
            why = std::string(what) + " is missing";
            return false;
        }
        if (seen != t) {
            static constexpr char kHex[] = "0123456789abcdef";
            why = std::string(what) + ": tag 0x" + kHex[seen >> 4] + kHex[seen & 0xF] +
                  " where 0x" + kHex[t >> 4] + kHex[t & 0xF] + " belongs";
            return false;
        }
        if (!Next(e, why)) {
            why = std::string(what) + ": " + why;
            return false;
        }
        return true;
    }

private:
    Bytes m_in;
    size_t m_at = 0;
};

// OidText: the dotted form of an OBJECT IDENTIFIER's contents, or false for
// contents that are no object identifier (empty, cut short, padded arcs, arcs
// beyond 64 bits).
inline bool OidText(Bytes contents, std::string& dotted) {
    dotted.clear();
    if (contents.empty() || (contents.back() & 0x80) != 0)
        return false;
    std::uint64_t arc = 0;
    bool first = true, start = true;
    for (std::uint8_t b : contents) {
        if (start && b == 0x80)
            return false;
        if (arc > (UINT64_MAX >> 7))
            return false;
        arc = (arc << 7) | (b & 0x7F);
        start = (b & 0x80) == 0;
        if (!start)
            continue;
        if (first) {
            const std::uint64_t top = arc < 40 ? 0 : arc < 80 ? 1 : 2;
            dotted = std::to_string(top) + "." + std::to_string(arc - 40 * top);
            first = false;
        } else {
            dotted += "." + std::to_string(arc);
        }
        arc = 0;
    }
    return true;
}

} // namespace orvane::verify
