#include "der/Der.h"

#include <algorithm>
#include <cstring>
#include <cstdint>

namespace orvane::der {

namespace {

constexpr size_t kMaxLengthOctets = 4;    // a length must fit a DWORD
constexpr size_t kMaxTagNumberOctets = 4; // high tag numbers, for ANY values

struct Header {
    size_t size = 0;     // identifier and length octets
    size_t contents = 0; // contents octets
};

// Splits off the element at the front of `in`. Each step checks that the octets
// it reads are there before reading them.
DWORD ReadHeader(Bytes in, Header& h) {
    if (in.empty())
        return DWORD(CRYPT_E_ASN1_CORRUPT);
    size_t pos = 1;
    if ((in[0] & 0x1F) == 0x1F) {
        // High tag number: base-128 octets, the last without bit 8.
        for (;;) {
            if (pos >= in.size() || pos > kMaxTagNumberOctets)
                return DWORD(CRYPT_E_ASN1_CORRUPT);
            if ((in[pos++] & 0x80) == 0)
                break;
        }
    }
    if (pos >= in.size())
        return DWORD(CRYPT_E_ASN1_CORRUPT);
    BYTE first = in[pos++];
    size_t length = first;
    if (first == 0x80)
        return DWORD(CRYPT_E_ASN1_CORRUPT); // indefinite: not in DER
    if (first > 0x80) {
        size_t octets = first & 0x7F;
        if (octets > kMaxLengthOctets)
            return DWORD(CRYPT_E_ASN1_LARGE);
        if (in.size() - pos < octets)
            return DWORD(CRYPT_E_ASN1_CORRUPT);
        length = 0;
        for (size_t i = 0; i < octets; ++i)
            length = (length << 8) | in[pos++];
    }
    if (length > in.size() - pos)
        return DWORD(CRYPT_E_ASN1_EOD);
    h.size = pos;
    h.contents = length;
    return 0;
}

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

DWORD DerReader::ReadAny(BYTE& first, Bytes& contents, Bytes* element) {
    Header h;
    if (DWORD err = ReadHeader(rest_, h))
        return err;
    first = rest_[0];
    contents = rest_.subspan(h.size, h.contents);
    if (element != nullptr)
        *element = rest_.first(h.size + h.contents);
    rest_ = rest_.subspan(h.size + h.contents);
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

void DerWriter::Element(BYTE identifier, Bytes contents) {
    Constructed(identifier, [&](DerWriter& w) {
        w.out_.insert(w.out_.end(), contents.begin(), contents.end());
    });
}

void DerWriter::Raw(Bytes encoded) {
    if (error_ == 0)
        out_.insert(out_.end(), encoded.begin(), encoded.end());
}

void DerWriter::CloseLength(size_t start) {
    if (error_ != 0)
        return;
    size_t length = out_.size() - start;
    if (length > 0xFFFFFFFFu) {
        Fail(DWORD(CRYPT_E_ASN1_LARGE));
        return;
    }
    BYTE field[1 + kMaxLengthOctets];
    size_t n = 0;
    if (length < 0x80) {
        field[n++] = BYTE(length);
    } else {
        size_t octets = 0;
        for (size_t v = length; v != 0; v >>= 8)
            ++octets;
        field[n++] = BYTE(0x80 | octets);
        for (size_t i = octets; i > 0; --i)
            field[n++] = BYTE(length >> (8 * (i - 1)));
    }
    out_.insert(out_.begin() + std::ptrdiff_t(start), field, field + n);
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

void WriteLittleEndianInteger(DerWriter& w, Bytes littleEndian) {
    if (littleEndian.empty()) {
        w.Fail(DWORD(E_INVALIDARG));
        return;
    }
    std::vector<BYTE> bigEndian(littleEndian.rbegin(), littleEndian.rend());
    w.Element(tag::kInteger, MinimalTwosComplement(bigEndian));
}

DWORD ReadAlgorithmIdentifier(DerReader& r, std::string& oid, Bytes& parameters) {
    Bytes seq, oidContents;
    if (DWORD err = r.Read(tag::kSequence, seq))
        return err;
    DerReader fields(seq);
    if (DWORD err = fields.Read(tag::kOid, oidContents))
        return err;
    if (DWORD err = ParseOid(oidContents, oid))
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
