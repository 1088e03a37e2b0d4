#include "der/Der.h"

#include <algorithm>
#include <cstring>
#include <cstdint>

namespace orvane::der {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Appends `v` in base 128, most significant group first, bit 8 set on all but
// the last octet.
void AppendBase128(std::vector<BYTE>& out, uint64_t v) {
    BYTE groups[10];
    size_t n = 0;
    do {
        groups[n++] = BYTE(v & 0x7F);
        v >>= 7;
    } while (v != 0);
    while (n > 1)
        out.push_back(BYTE(groups[--n] | 0x80));
    out.push_back(groups[0]);
}

// Drops the leading octets of a big-endian two's-complement number that only
// repeat the sign, as DER requires.
Bytes MinimalTwosComplement(Bytes bigEndian) {
    size_t skip = 0;
    while (bigEndian.size() - skip > 1) {
        BYTE b0 = bigEndian[skip], b1 = bigEndian[skip + 1];
        if ((b0 == 0x00 && (b1 & 0x80) == 0) || (b0 == 0xFF && (b1 & 0x80) != 0))
            ++skip;
        else
            break;
    }
    return bigEndian.subspan(skip);
}

} // namespace

// --- DerReader ------------------------------------------------------------------

namespace {

// Where the parts of one element lie, counted from its first octet.
struct Extent {
    BYTE identifier = 0;
    size_t headerSize = 0; // identifier and length octets
    size_t contentsSize = 0;
    size_t size = 0; // the whole element, closing zero octets included
};

bool ClosesIndefinite(Bytes rest) {
    return rest.size() >= 2 && rest[0] == 0 && rest[1] == 0;
}

// ReadExtent: the element at the front of `in`, which bounds it (the
// enclosing element's contents, or all the reader has). Rules that read
// elements whole walk into every element that nests, spending one of
// `budget` per element; the walk is as deep as the budget at most.
DWORD ReadExtent(Bytes in, const HeaderRules& rules, size_t& budget, Extent& extent) {
    Header h;
    if (DWORD err = ReadHeader(in, rules, h))
        return err;
    const bool whole = rules.maxElements != 0;
    if (whole && budget-- == 0)
        return DWORD(CRYPT_E_ASN1_LARGE);
    const Bytes after = in.subspan(h.size);
    const bool nests = whole && EngineNests(h.identifier);
    Extent e;
    e.identifier = h.identifier;
    e.headerSize = h.size;
    if (!h.indefinite) {
        if (h.length > after.size())
            return DWORD(CRYPT_E_ASN1_EOD);
        e.contentsSize = h.length;
        e.size = h.size + h.length;
        // The contents must be whole elements, back to back, filling them.
        for (Bytes rest = after.first(h.length); nests && !rest.empty();) {
            Extent child;
            if (DWORD err = ReadExtent(rest, rules, budget, child))
                return err;
            rest = rest.subspan(child.size);
        }
    } else if (!whole) {
        return DWORD(CRYPT_E_ASN1_CORRUPT); // no end can be found without reading inside
    } else if (!nests) {
        // Contents up to the first two zero octets.
        static constexpr BYTE kEndOfContents[] = {0x00, 0x00};
        const auto pair = std::search(after.begin(), after.end(), std::begin(kEndOfContents),
                                      std::end(kEndOfContents));
        if (pair == after.end())
            return DWORD(CRYPT_E_ASN1_EOD);
        e.contentsSize = size_t(pair - after.begin());
        e.size = h.size + e.contentsSize + 2;
    } else {
        // Elements until two zero octets follow one of them.
        Bytes rest = after;
        do {
            Extent child;
            if (DWORD err = ReadExtent(rest, rules, budget, child))
                return err;
            rest = rest.subspan(child.size);
            if (rest.size() < 2)
                return DWORD(CRYPT_E_ASN1_EOD);
        } while (!ClosesIndefinite(rest));
        e.contentsSize = after.size() - rest.size();
        e.size = h.size + e.contentsSize + 2;
    }
    extent = e;
    return 0;
}

} // namespace

DWORD DerReader::ReadAny(BYTE& first, Bytes& contents, Bytes* element) {
    Extent e;
    size_t budget = rules_.maxElements;
    if (DWORD err = ReadExtent(rest_, rules_, budget, e))
        return err;
    first = e.identifier;
    contents = rest_.subspan(e.headerSize, e.contentsSize);
    if (element != nullptr)
        *element = rest_.first(e.size);
    rest_ = rest_.subspan(e.size);
    return 0;
}

DWORD DerReader::ReadValue(BYTE& first, Bytes& value) {
    Bytes contents, element;
    if (DWORD err = ReadAny(first, contents, &element))
        return err;
    value = element.subspan(size_t(contents.data() - element.data()));
    return 0;
}

DWORD DerReader::Read(BYTE expected, Bytes& contents, Bytes* element) {
    if (rest_.empty())
        return DWORD(CRYPT_E_ASN1_CORRUPT);
    if (rest_[0] != expected)
        return DWORD(CRYPT_E_ASN1_BADTAG);
    BYTE first;
    return ReadAny(first, contents, element);
}

// --- DerWriter ------------------------------------------------------------------

size_t EncodeLength(size_t length, BYTE (&field)[kMaxLengthField]) {
    if (length < 0x80) {
        field[0] = BYTE(length);
        return 1;
    }
    if (length > 0xFFFFFFFFu)
        return 0;
    size_t octets = 0;
    for (size_t v = length; v != 0; v >>= 8)
        ++octets;
    field[0] = BYTE(0x80 | octets);
    for (size_t i = 1; i <= octets; ++i)
        field[i] = BYTE(length >> (8 * (octets - i)));
    return 1 + octets;
}

void DerWriter::Element(BYTE identifier, Bytes contents) {
    if (error_ != 0)
        return;
    BYTE field[kMaxLengthField];
    const size_t n = EncodeLength(contents.size(), field);
    if (n == 0) {
        Fail(DWORD(CRYPT_E_ASN1_LARGE));
        return;
    }
    out_.reserve(out_.size() + 1 + n + contents.size());
    out_.push_back(identifier);
    out_.insert(out_.end(), field, field + n);
    out_.insert(out_.end(), contents.begin(), contents.end());
}

void DerWriter::Raw(Bytes encoded) {
    if (error_ == 0)
        out_.insert(out_.end(), encoded.begin(), encoded.end());
}

void DerWriter::CloseLength(size_t start) {
    if (error_ != 0)
        return;
    BYTE field[kMaxLengthField];
    const size_t n = EncodeLength(out_.size() - start, field);
    if (n == 0) {
        Fail(DWORD(CRYPT_E_ASN1_LARGE));
        return;
    }
    // The octet before the body was kept for a short form; a long form needs
    // n - 1 more in front of the body.
    out_[start - 1] = field[0];
    if (n > 1)
        out_.insert(out_.begin() + std::ptrdiff_t(start), field + 1, field + n);
}

void DerWriter::SetOf(BYTE identifier, std::vector<std::vector<BYTE>> members) {
    // Ascending order of the encodings as octet strings; a proper prefix sorts
    // first, which is where zero padding would also put it.
    // (An explicit comparison: GCC 12 at -O3 misreads the library's own
    // vector comparison as an unbounded memcmp.)
    std::sort(members.begin(), members.end(),
              [](const std::vector<BYTE>& a, const std::vector<BYTE>& b) {
                  const size_t n = std::min(a.size(), b.size());
                  const int c = n != 0 ? std::memcmp(a.data(), b.data(), n) : 0;
                  return c != 0 ? c < 0 : a.size() < b.size();
              });
    Constructed(identifier, [&](DerWriter& w) {
        for (const auto& m : members)
            w.Raw(m);
    });
}

// --- object identifiers -----------------------------------------------------------

void WriteOid(DerWriter& w, const char* dotted) {
    const DWORD bad = DWORD(CRYPT_E_ASN1_ERROR);
    if (dotted == nullptr) {
        w.Fail(bad);
        return;
    }
    std::vector<uint64_t> arcs;
    for (const char* p = dotted;;) {
        // Each arc: decimal digits, no sign, no leading zero, within 64 bits.
        if (!IsDigit(*p) || (*p == '0' && IsDigit(p[1]))) {
            w.Fail(bad);
            return;
        }
        uint64_t v = 0;
        for (; IsDigit(*p); ++p) {
            uint64_t d = uint64_t(*p - '0');
            if (v > (UINT64_MAX - d) / 10) {
                w.Fail(bad);
                return;
            }
            v = v * 10 + d;
        }
        arcs.push_back(v);
        if (*p == 0)
            break;
        if (*p++ != '.') {
            w.Fail(bad);
            return;
        }
    }
    // The first two arcs share one subidentifier, 40 * first + second.
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40) ||
        arcs[1] > UINT64_MAX - 80) {
        w.Fail(bad);
        return;
    }
    std::vector<BYTE> contents;
    AppendBase128(contents, arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i)
        AppendBase128(contents, arcs[i]);
    w.Element(tag::kOid, contents);
}

DWORD ParseOid(Bytes contents, std::string& dotted) {
    if (contents.empty())
        return DWORD(CRYPT_E_ASN1_CORRUPT);
    dotted.clear();
    size_t i = 0;
    bool first = true;
    while (i < contents.size()) {
        if (contents[i] == 0x80)
            return DWORD(CRYPT_E_ASN1_CORRUPT); // padded subidentifier
        uint64_t v = 0;
        for (;;) {
            if (i >= contents.size())
                return DWORD(CRYPT_E_ASN1_CORRUPT); // last octet still has bit 8
            if (v > (UINT64_MAX >> 7))
                return DWORD(CRYPT_E_ASN1_LARGE);
            BYTE b = contents[i++];
            v = (v << 7) | (b & 0x7F);
            if ((b & 0x80) == 0)
                break;
        }
        if (first) {
            uint64_t arc0 = v < 40 ? 0 : v < 80 ? 1 : 2;
            dotted = std::to_string(arc0) + "." + std::to_string(v - arc0 * 40);
            first = false;
        } else {
            dotted += ".";
            dotted += std::to_string(v);
        }
    }
    return 0;
}

// --- integers -------------------------------------------------------------------

void WriteInt32(DerWriter& w, LONG value) {
    uint32_t u = uint32_t(value);
    const BYTE bigEndian[4] = {BYTE(u >> 24), BYTE(u >> 16), BYTE(u >> 8), BYTE(u)};
    w.Element(tag::kInteger, MinimalTwosComplement(bigEndian));
}

DWORD ParseInt32(Bytes contents, LONG& value) {
    if (contents.empty())
        return DWORD(CRYPT_E_ASN1_CORRUPT);
    if (contents.size() > 4)
        return DWORD(CRYPT_E_ASN1_LARGE);
    uint32_t u = (contents[0] & 0x80) != 0 ? 0xFFFFFFFFu : 0; // sign extension
    for (BYTE b : contents)
        u = (u << 8) | b;
    value = LONG(u);
    return 0;
}

void WriteUnsignedInteger(DerWriter& w, Bytes bigEndian) {
    if (bigEndian.empty()) {
        w.Fail(DWORD(E_INVALIDARG));
        return;
    }
    while (bigEndian.size() > 1 && bigEndian[0] == 0)
        bigEndian = bigEndian.subspan(1);
    const bool sign = (bigEndian[0] & 0x80) != 0;
    w.Constructed(tag::kInteger, [&](DerWriter& inner) {
        static constexpr BYTE kZero[] = {0x00};
        if (sign)
            inner.Raw(kZero);
        inner.Raw(bigEndian);
    });
}

void WriteLittleEndianInteger(DerWriter& w, Bytes littleEndian) {
    if (littleEndian.empty()) {
        w.Fail(DWORD(E_INVALIDARG));
        return;
    }
    std::vector<BYTE> bigEndian(littleEndian.rbegin(), littleEndian.rend());
    w.Element(tag::kInteger, MinimalTwosComplement(bigEndian));
}

DWORD ReadOid(DerReader& r, std::string& dotted) {
    Bytes contents;
    if (DWORD err = r.Read(tag::kOid, contents))
        return err;
    return ParseOid(contents, dotted);
}

DWORD ReadInt32(DerReader& r, LONG& value) {
    Bytes contents;
    if (DWORD err = r.Read(tag::kInteger, contents))
        return err;
    return ParseInt32(contents, value);
}

DWORD ReadAlgorithmIdentifier(DerReader& r, std::string& oid, Bytes& parameters) {
    Bytes seq;
    if (DWORD err = r.Read(tag::kSequence, seq))
        return err;
    DerReader fields(seq);
    if (DWORD err = ReadOid(fields, oid))
        return err;
    parameters = {};
    if (!fields.AtEnd()) {
        BYTE identifier;
        Bytes contents;
        if (DWORD err = fields.ReadAny(identifier, contents, &parameters))
            return err;
    }
    return fields.ExpectEnd();
}

} // namespace orvane::der
