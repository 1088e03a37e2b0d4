// DER, the one way this code base reads and writes it: a bounded reader, a
// writer that fixes lengths when a constructed value closes, and the object
// identifier and integer forms. Portable: the POSIX stand-in's structure
// encoder and decoder use it, and so does the system code on both targets
// (requests, names, signed messages). Errors are the CryptoAPI numbers
// (CRYPT_E_ASN1_*) that the encoder's entry points report.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <new>
#include <span>
#include <string>
#include <vector>

namespace orvane::der {

using Bytes = std::span<const BYTE>;

// Identifier octets of the elements we read and write.
namespace tag {
inline constexpr BYTE kInteger = 0x02;
inline constexpr BYTE kBitString = 0x03;
inline constexpr BYTE kOctetString = 0x04;
inline constexpr BYTE kNull = 0x05;
inline constexpr BYTE kOid = 0x06;
inline constexpr BYTE kUtf8String = 0x0C;
inline constexpr BYTE kNumericString = 0x12;
inline constexpr BYTE kPrintableString = 0x13;
inline constexpr BYTE kT61String = 0x14;
inline constexpr BYTE kVideotexString = 0x15;
inline constexpr BYTE kIa5String = 0x16;
inline constexpr BYTE kGraphicString = 0x19;
inline constexpr BYTE kVisibleString = 0x1A;
inline constexpr BYTE kGeneralString = 0x1B;
inline constexpr BYTE kBmpString = 0x1E;
inline constexpr BYTE kSequence = 0x30;
inline constexpr BYTE kSet = 0x31;
// [n] with constructed contents: EXPLICIT tagging, or IMPLICIT over a SET/SEQUENCE.
constexpr BYTE ContextConstructed(unsigned n) {
    return BYTE(0xA0 | n);
}
} // namespace tag

// HeaderRules: how strictly an element is read. DerReader reads DER
// (kDerRules) unless told otherwise. The issuer's data (key fields of the
// encryption envelope, the PKCS #1 key inside it) has always been read in a
// wider form, kEngineRules: one-octet identifiers only, indefinite lengths,
// long lengths of any number of octets, and every element read whole, down to
// its leaves (see EngineNests), at most 255 elements in one read.
struct HeaderRules {
    bool highTagNumbers;    // identifiers of up to five octets (tag numbers from 31)
    bool indefiniteLength;  // length octet 0x80, the end marked by two zero octets
    size_t maxLengthOctets; // long-form octets after the first; more is CRYPT_E_ASN1_LARGE.
                            // Beyond four, only the low 32 bits of the length survive.
    bool contentsInside;    // ReadHeader: the contents must lie within the bytes given
                            // (DerReader always keeps them inside)
    size_t maxElements;     // DerReader: 0 reads an element by its header alone; else the
                            // element and every element nested in it (EngineNests) are
                            // read, at most this many in all, the element itself included
};
inline constexpr HeaderRules kDerRules{true, false, 4, true, 0};
inline constexpr HeaderRules kEngineRules{false, true, 127, false, 255};

// EngineNests: whether kEngineRules read the contents of an element with this
// identifier as elements. Every identifier does but the universal primitive
// ones (0x00-0x1F) and the context-specific primitive [0] to [15] (0x80-0x8F),
// whatever its constructed bit says: an application or private tag, or [16]
// and above, is read into even when primitive. An indefinite length of an
// element that nests ends at the two zero octets that follow its last nested
// element (so at least one is read first); of one that does not, at the
// first two zero octets of its contents.
constexpr bool EngineNests(BYTE identifier) {
    return !(identifier <= 0x1F || (identifier >= 0x80 && identifier <= 0x8F));
}

// Header: what the identifier and length octets at the front of some bytes say.
struct Header {
    BYTE identifier = 0;     // first identifier octet
    size_t size = 0;         // identifier and length octets together
    size_t lengthOctets = 0; // 1 for the short and indefinite forms, 1 + n for the long form
    bool indefinite = false;
    DWORD length = 0; // contents octets (0 while indefinite)
};

// ReadHeader: the header at the front of `in` under `rules`. A header that is
// cut short, a high tag number or an indefinite length where the rules forbid
// it is CRYPT_E_ASN1_CORRUPT; a longer length field than allowed
// CRYPT_E_ASN1_LARGE; contents running past the end (when the rules ask)
// CRYPT_E_ASN1_EOD. `header` is set only on success.
[[nodiscard]] inline DWORD ReadHeader(Bytes in, const HeaderRules& rules, Header& header);
// ReadLength: the length octets alone, at the front of `in`; sets
// lengthOctets, indefinite and length of `header` (size counts the length
// octets). Codes as ReadHeader, without the contents check.
[[nodiscard]] inline DWORD ReadLength(Bytes in, const HeaderRules& rules, Header& header);

// DerReader: a cursor over bytes that advances only when a read succeeds.
// Under kDerRules, definite lengths in any form are accepted (short, or long
// with up to four octets, minimal or not), as Windows accepts them; an
// indefinite length is not. A header that cannot be read is
// CRYPT_E_ASN1_CORRUPT, contents running past the end CRYPT_E_ASN1_EOD, a
// longer length field CRYPT_E_ASN1_LARGE, and another tag than the one
// expected CRYPT_E_ASN1_BADTAG. Under rules that read elements whole
// (kEngineRules), a failure anywhere inside the element fails its read with
// the same codes; an indefinite length without its two closing zero octets
// is CRYPT_E_ASN1_EOD and more elements than the rules allow
// CRYPT_E_ASN1_LARGE.
class DerReader {
public:
    explicit DerReader(Bytes data, const HeaderRules& rules = kDerRules)
        : rest_(data), rules_(rules) {}

    bool AtEnd() const { return rest_.empty(); }
    // Rest: the bytes not read yet.
    Bytes Rest() const { return rest_; }

    // Read: the next element, which must carry `expected` (a one-octet
    // identifier); hands out its contents and, if asked, the whole element.
    // The contents of an indefinite length stop before the two zero octets
    // that close them; the element takes them in.
    [[nodiscard]] DWORD Read(BYTE expected, Bytes& contents, Bytes* element = nullptr);
    // ReadAny: the next element whatever its identifier; `first` receives the
    // identifier's first octet.
    [[nodiscard]] DWORD ReadAny(BYTE& first, Bytes& contents, Bytes* element = nullptr);
    // ReadValue: as ReadAny, but hands out everything after the header: the
    // contents and, for an indefinite length, the two zero octets that close
    // them (what the issuer's fields have always been taken to hold).
    [[nodiscard]] DWORD ReadValue(BYTE& first, Bytes& value);
    // Peek: what ReadAny would read, without moving past it.
    [[nodiscard]] DWORD Peek(BYTE& first, Bytes& contents, Bytes* element = nullptr) const {
        DerReader copy(*this);
        return copy.ReadAny(first, contents, element);
    }
    // NextIs: whether an element follows whose first identifier octet is `t`.
    bool NextIs(BYTE t) const { return !rest_.empty() && rest_[0] == t; }
    // ExpectEnd: CRYPT_E_ASN1_CORRUPT if anything is left inside the element
    // being read.
    [[nodiscard]] DWORD ExpectEnd() const {
        return rest_.empty() ? 0 : DWORD(CRYPT_E_ASN1_CORRUPT);
    }

private:
    Bytes rest_;
    HeaderRules rules_;
};

// The longest length field DER needs here: 0x84 and four octets.
inline constexpr size_t kMaxLengthField = 5;

// EncodeLength: the length octets of `length` in their shortest form (short
// form below 128, else 0x80 | n and n big-endian octets). Returns how many
// octets it wrote into `field`, or 0 for a length beyond 32 bits.
size_t EncodeLength(size_t length, BYTE (&field)[kMaxLengthField]);

// DerWriter: builds one encoding. Lengths take their shortest form. The first
// failure sticks: later writes are ignored and Error() reports it.
class DerWriter {
public:
    // Element: identifier, length, contents.
    void Element(BYTE identifier, Bytes contents);
    // Raw: an element the caller encoded already, copied as given.
    void Raw(Bytes encoded);
    // Constructed: identifier (any one-octet tag: SEQUENCE, SET, [n], an
    // application tag, or a primitive one such as an OCTET STRING that wraps
    // an encoding), then whatever `body(*this)` writes as contents. The
    // length is fixed when the body returns; a body below 128 octets is never
    // moved.
    template <class Body> void Constructed(BYTE identifier, Body&& body) {
        if (error_ != 0)
            return;
        out_.push_back(identifier);
        out_.push_back(0); // the length, for a short body
        size_t start = out_.size();
        body(*this);
        CloseLength(start);
    }
    // SetOf: a SET OF (or an IMPLICIT tagged one) whose members, encoded
    // separately, are written in DER's ascending order.
    void SetOf(BYTE identifier, std::vector<std::vector<BYTE>> members);

    void Fail(DWORD error) {
        if (error_ == 0)
            error_ = error;
    }
    DWORD Error() const { return error_; }
    const std::vector<BYTE>& Encoding() const { return out_; }
    std::vector<BYTE> Take() { return std::move(out_); }

private:
    // Writes the length of out_[start..] over the octet before it, making
    // room for a long form.
    void CloseLength(size_t start);

    std::vector<BYTE> out_;
    DWORD error_ = 0;
};

// WriteOid: an OBJECT IDENTIFIER from dotted text ("1.2.840.113549"). Text
// that is not two or more decimal arcs without leading zeros, with the first
// arc 0, 1 or 2 and the second below 40 under 0 and 1, each within 64 bits,
// fails with CRYPT_E_ASN1_ERROR.
void WriteOid(DerWriter& w, const char* dotted);
// ParseOid: the dotted text of an OBJECT IDENTIFIER's contents; empty
// contents, a padded or unfinished arc are CRYPT_E_ASN1_CORRUPT, an arc
// beyond 64 bits CRYPT_E_ASN1_LARGE.
[[nodiscard]] DWORD ParseOid(Bytes contents, std::string& dotted);
// ReadOid: the next element as an OBJECT IDENTIFIER, read and parsed; codes
// as DerReader::Read, then as ParseOid.
[[nodiscard]] DWORD ReadOid(DerReader& r, std::string& dotted);

// ReadAlgorithmIdentifier: the next element as
//   AlgorithmIdentifier ::= SEQUENCE {
//       algorithm   OBJECT IDENTIFIER,
//       parameters  ANY DEFINED BY algorithm OPTIONAL }
// giving the dotted identifier and the whole parameters element (empty when
// absent).
[[nodiscard]] DWORD ReadAlgorithmIdentifier(DerReader& r, std::string& oid, Bytes& parameters);

// WriteInt32: an INTEGER holding a signed 32-bit value (DWORD fields that
// Windows encodes as signed, such as a version).
void WriteInt32(DerWriter& w, LONG value);
// ParseInt32: an INTEGER's contents of one to four octets as a signed 32-bit
// value; none is CRYPT_E_ASN1_CORRUPT, more CRYPT_E_ASN1_LARGE.
[[nodiscard]] DWORD ParseInt32(Bytes contents, LONG& value);
// ReadInt32: the next element as an INTEGER, read and parsed; codes as
// DerReader::Read, then as ParseInt32.
[[nodiscard]] DWORD ReadInt32(DerReader& r, LONG& value);
// WriteUnsignedInteger: an INTEGER holding the non-negative number whose
// octets are given most significant first (a signature half, a modulus), in
// DER's minimal form: redundant leading zeros dropped, a zero octet put in
// front when the top bit is set. An empty number is E_INVALIDARG. (Contents
// that must be written exactly as given, such as a serial number copied from
// a certificate, are an Element with tag::kInteger.)
void WriteUnsignedInteger(DerWriter& w, Bytes bigEndian);
// WriteLittleEndianInteger: an INTEGER from a two's-complement number stored
// least significant byte first (CRYPT_INTEGER_BLOB), without redundant sign
// octets. An empty number is E_INVALIDARG: it has no encoding.
void WriteLittleEndianInteger(DerWriter& w, Bytes littleEndian);

// EncodeInto: runs `build(writer)`, which returns a result code, and moves
// what it wrote into `out`, which is set only on success: the form in which
// the system's encoding routines give their results. Returns build's failure,
// else the writer's error, else CRYPT_E_ASN1_LARGE for an encoding longer than
// 32 bits can count, else E_OUTOFMEMORY when memory runs out anywhere (nothing
// is thrown), else 0.
template <class Build>
[[nodiscard]] HRESULT EncodeInto(std::vector<BYTE>& out, Build&& build) noexcept {
    try {
        DerWriter w;
        const HRESULT hr = build(w);
        if (hr < 0)
            return hr;
        if (w.Error() != 0)
            return HRESULT(w.Error());
        if (w.Encoding().size() > 0xFFFFFFFFu)
            return HRESULT(CRYPT_E_ASN1_LARGE);
        out = w.Take();
        return 0;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// --- header reading, inline: every decoder's innermost step ----------------------

// Identifier octets after the first, for high tag numbers (ANY values).
inline constexpr size_t kMaxTagNumberOctets = 4;

// Each step checks that the octets it reads are there before reading them.
inline DWORD ReadLength(Bytes in, const HeaderRules& rules, Header& header) {
    if (in.empty())
        return DWORD(CRYPT_E_ASN1_CORRUPT);
    const BYTE first = in[0];
    Header h = header;
    h.indefinite = false;
    h.length = first;
    h.lengthOctets = 1;
    if (first == 0x80) {
        if (!rules.indefiniteLength)
            return DWORD(CRYPT_E_ASN1_CORRUPT);
        h.indefinite = true;
        h.length = 0;
    } else if (first > 0x80) {
        const size_t octets = first & 0x7F;
        if (octets > rules.maxLengthOctets)
            return DWORD(CRYPT_E_ASN1_LARGE);
        if (in.size() - 1 < octets)
            return DWORD(CRYPT_E_ASN1_CORRUPT);
        // Beyond four octets the first ones are shifted out of 32 bits.
        DWORD length = 0;
        for (BYTE b : in.subspan(1, octets))
            length = (length << 8) | b;
        h.length = length;
        h.lengthOctets = 1 + octets;
    }
    h.size = h.lengthOctets;
    header = h;
    return 0;
}

inline DWORD ReadHeader(Bytes in, const HeaderRules& rules, Header& header) {
    if (in.empty())
        return DWORD(CRYPT_E_ASN1_CORRUPT);
    size_t pos = 1;
    if (rules.highTagNumbers && (in[0] & 0x1F) == 0x1F) {
        // High tag number: base-128 octets, the last without bit 8.
        for (;;) {
            if (pos >= in.size() || pos > kMaxTagNumberOctets)
                return DWORD(CRYPT_E_ASN1_CORRUPT);
            if ((in[pos++] & 0x80) == 0)
                break;
        }
    }
    Header h;
    if (DWORD err = ReadLength(in.subspan(pos), rules, h))
        return err;
    h.identifier = in[0];
    h.size = pos + h.lengthOctets;
    if (rules.contentsInside && h.length > in.size() - h.size)
        return DWORD(CRYPT_E_ASN1_EOD);
    header = h;
    return 0;
}

} // namespace orvane::der
