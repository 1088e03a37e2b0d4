// The wider form the issuer's data is read in (kEngineRules) beside DER:
// which elements each reads, how an element read whole lies out, the element
// budget, and a certificate against `openssl asn1parse`. Every read goes over
// an exact-size heap copy, so a read past the end is an overread for
// AddressSanitizer.
#include "der/Der.h"
#include "tests/der/ExactCopy.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace orvane::der;
using Vec = std::vector<BYTE>;
using orvane::tests::Exact;
using orvane::tests::Hex;

// The next element as "identifier@offset+value length" (the value: every
// octet after the header, closing zero octets included), the elements it
// nests in braces; offsets count from `base`. Empty when the read fails.
std::string Dump(DerReader& r, const BYTE* base) {
    BYTE first = 0;
    Bytes contents, value;
    if (r.Peek(first, contents) != 0 || r.ReadValue(first, value) != 0)
        return "";
    char sz[64];
    std::snprintf(sz, sizeof(sz), "%02x@%td+%zu", unsigned(first), value.data() - base,
                  value.size());
    std::string out = sz;
    if (EngineNests(first) && !contents.empty()) {
        DerReader inside(contents, kEngineRules);
        out += "{";
        for (bool firstOne = true; !inside.AtEnd(); firstOne = false)
            out += (firstOne ? "" : " ") + Dump(inside, base);
        out += "}";
    }
    return out;
}

// The outermost element under kEngineRules, dumped; "refused" if it does not read.
std::string ReadEngine(const Exact& in) {
    DerReader r(in.span(), kEngineRules);
    BYTE first = 0;
    Bytes contents;
    if (r.Peek(first, contents) != 0)
        return "refused";
    return Dump(r, in.data.get());
}

bool ReadsAsDer(const Exact& in) {
    DerReader r(in.span());
    BYTE first = 0;
    Bytes contents;
    return r.ReadAny(first, contents) == 0;
}

TEST(DerEngineRules, WhatEachRulesRead) {
    // The outermost element of each input read under both rules. DER reads an
    // element by its header; the engine's rules read it whole.
    const struct {
        const char* input;
        bool der;
        const char* engine; // the dump, or "refused"
    } cases[] = {
        {"30 06 02 01 05 04 01 41", true, "30@2+6{02@4+1 04@7+1}"},
        {"02 01 05", true, "02@2+1"},
        {"30 02 31 00", true, "30@2+2{31@4+0}"},
        // Non-minimal long lengths: both read them, as Windows does.
        {"30 81 03 02 01 07", true, "30@3+3{02@5+1}"},
        {"04 84 00 00 00 01 41", true, "04@6+1"},
        // Five length octets: too large for DER; the engine keeps the last four.
        {"04 85 01 00 00 00 01 41", false, "04@7+1"},
        // 0x1F: a high tag number for DER; for the engine a one-octet tag whose
        // next octet (0x81) starts the length.
        {"1f 81 01 00", true, "1f@3+1"},
        // Indefinite lengths end at two zero octets, which the value takes in.
        {"30 80 04 01 41 00 00", false, "30@2+5{04@4+1}"},
        {"30 80 31 80 04 01 41 00 00 00 00", false, "30@2+9{31@4+5{04@6+1}}"},
        // (DER reads the outer element by its header; the inner one is not DER.)
        {"30 09 30 80 02 01 01 00 00 05 00", true, "30@2+9{30@4+5{02@6+1} 05@11+0}"},
        {"04 80 41 00 00", false, "04@2+3"},
        {"24 80 04 01 41 04 01 42 00 00", false, "24@2+8{04@4+1 04@7+1}"},
        // A zero right after the length octet does not pair with anything before it.
        {"04 80 00 41 00 00", false, "04@2+4"},
        {"30 80 04 80 00 41 00 00 00 00", false, "30@2+8{04@4+4}"},
        // An element is read before the end-of-contents is looked for, so
        // the first two zero octets are an element of their own.
        {"30 80 00 00 00 00", false, "30@2+4{00@4+0}"},
        {"30 80 00 00", false, "refused"},
        // Leaves: universal primitive and context-specific primitive [0]-[15].
        {"30 05 85 03 30 01 00", true, "30@2+5{85@4+3}"},
        {"30 04 1f 02 30 00", true, "30@2+4{1f@4+2}"},
        {"8f 02 30 00", true, "8f@2+2"},
        // Everything else is read into, whatever its class or constructed bit.
        {"30 05 a5 03 02 01 09", true, "30@2+5{a5@4+3{02@6+1}}"},
        {"65 03 02 01 09", true, "65@2+3{02@4+1}"},
        {"45 02 05 00", true, "45@2+2{05@4+0}"},
        {"90 02 05 00", true, "90@2+2{05@4+0}"},
        {"a5 03 ff ff ff", true, "refused"},
        // Contents past the end of the input or of the enclosing element.
        {"30 07 02 01 05 04 01 41", false, "refused"},
        {"04 05 41 41", false, "refused"},
        {"30 03 04 05 41 41 41 41 41", true, "refused"},
        {"30 04 02 01 05 04", true, "refused"},
        {"30 03 04 ff 00 00 00", true, "refused"},
        // A length of nearly 4 GiB must not wrap around.
        {"04 84 ff ff ff ff 41", false, "refused"},
        {"30 84 ff ff ff fe 02 01 05", false, "refused"},
        // Indefinite lengths without end-of-contents within what encloses them.
        {"30 80 04 01 41", false, "refused"},
        {"30 80 04 01 41 00", false, "refused"},
        {"30 80 31 80 04 01 41 00 00", false, "refused"},
        {"04 80 41 00", false, "refused"},
        {"04 80 41 41 41", false, "refused"},
        {"30 06 30 80 02 01 01 00 00", true, "refused"},
        {"30 04 04 80 41 00 00", true, "refused"},
    };
    for (const auto& c : cases) {
        const Exact in(Hex(c.input));
        EXPECT_EQ(ReadsAsDer(in), c.der) << c.input;
        EXPECT_EQ(ReadEngine(in), c.engine) << c.input;
    }
}

// SEQUENCE of n NULLs.
Vec Siblings(size_t n) {
    DerWriter w;
    w.Constructed(tag::kSequence, [&](DerWriter& seq) {
        for (size_t i = 0; i < n; ++i)
            seq.Element(tag::kNull, {});
    });
    return w.Take();
}

// n elements: SEQUENCEs, each holding the next, around INTEGER 0.
Vec Nested(size_t n) {
    Vec tlv = Hex("02 01 00");
    for (size_t i = 1; i < n; ++i) {
        DerWriter w;
        w.Element(tag::kSequence, tlv);
        tlv = w.Take();
    }
    return tlv;
}

TEST(DerEngineRules, AtMost255ElementsInOneRead) {
    Vec deepIndefinite;
    for (int i = 0; i < 300; ++i)
        deepIndefinite.insert(deepIndefinite.end(), {0x30, 0x80});
    deepIndefinite.insert(deepIndefinite.end(), {0x02, 0x01, 0x00});
    deepIndefinite.insert(deepIndefinite.end(), 600, 0x00);
    const struct {
        const char* what;
        Vec input;
        DWORD err;
    } cases[] = {
        {"the outer element and 254 inside", Siblings(254), 0},
        {"the outer element and 255 inside", Siblings(255), DWORD(CRYPT_E_ASN1_LARGE)},
        {"255 deep", Nested(255), 0},
        {"256 deep", Nested(256), DWORD(CRYPT_E_ASN1_LARGE)},
        {"300 indefinite lengths deep", deepIndefinite, DWORD(CRYPT_E_ASN1_LARGE)},
    };
    for (const auto& c : cases) {
        const Exact in(c.input);
        DerReader r(in.span(), kEngineRules);
        BYTE first = 0;
        Bytes contents;
        EXPECT_EQ(r.ReadAny(first, contents), c.err) << c.what;
        EXPECT_EQ(r.AtEnd(), c.err == 0) << c.what;
        // DER reads the same element by its header alone.
        EXPECT_TRUE(c.err != 0 || ReadsAsDer(in)) << c.what;
    }
}

TEST(DerEngineRules, WriterOutputReadsBack) {
    const Vec payload(300, 0xA5);
    DerWriter w;
    w.Constructed(tag::kSequence, [&](DerWriter& seq) {
        seq.Element(tag::kInteger, Hex("00 80"));
        seq.Element(tag::kOctetString, payload);
        seq.Constructed(tag::ContextConstructed(0),
                        [&](DerWriter& explicitly) { WriteOid(explicitly, "1.2.840.113549"); });
    });
    const Exact in(w.Encoding());
    EXPECT_EQ(ReadEngine(in), "30@4+318{02@6+2 04@12+300 a0@314+8{06@316+6}}");
}

// A self-signed P-256 certificate for CN=x, made with
//   openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=x
//       -outform DER
const BYTE kCertificate[] = {
    0x30, 0x82, 0x01, 0x6e, 0x30, 0x82, 0x01, 0x13, 0xa0, 0x03, 0x02, 0x01, 0x02, 0x02, 0x14, 0x5b,
    0xcd, 0x70, 0x92, 0xf2, 0x50, 0x0e, 0x64, 0x60, 0x77, 0xa4, 0xad, 0x37, 0x9c, 0xe3, 0x4c, 0x05,
    0x95, 0xef, 0x47, 0x30, 0x0a, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02, 0x30,
    0x0c, 0x31, 0x0a, 0x30, 0x08, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0c, 0x01, 0x78, 0x30, 0x1e, 0x17,
    0x0d, 0x32, 0x36, 0x31, 0x32, 0x30, 0x37, 0x32, 0x31, 0x30, 0x31, 0x31, 0x38, 0x5a, 0x17, 0x0d,
    0x33, 0x36, 0x31, 0x32, 0x30, 0x34, 0x32, 0x31, 0x30, 0x31, 0x31, 0x38, 0x5a, 0x30, 0x0c, 0x31,
    0x0a, 0x30, 0x08, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0c, 0x01, 0x78, 0x30, 0x59, 0x30, 0x13, 0x06,
    0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03,
    0x01, 0x07, 0x03, 0x42, 0x00, 0x04, 0xc1, 0xec, 0x3a, 0x92, 0x32, 0x16, 0xbf, 0x22, 0xb8, 0x1e,
    0x4f, 0x08, 0xbe, 0x78, 0xd9, 0x69, 0xa2, 0x1a, 0x4e, 0x94, 0x9f, 0xa3, 0x3a, 0x39, 0x8b, 0xf0,
    0x63, 0xab, 0xa0, 0x37, 0x18, 0xd3, 0xe1, 0xf4, 0x6b, 0xd9, 0x06, 0xf0, 0x40, 0xd8, 0x1e, 0x3b,
    0xa4, 0x9e, 0xe9, 0xcd, 0x40, 0x90, 0xaf, 0xb9, 0x55, 0x7b, 0xdb, 0xb9, 0x2a, 0xcf, 0xfd, 0xbc,
    0x42, 0x39, 0x4c, 0xcb, 0x80, 0xee, 0xa3, 0x53, 0x30, 0x51, 0x30, 0x1d, 0x06, 0x03, 0x55, 0x1d,
    0x0e, 0x04, 0x16, 0x04, 0x14, 0xab, 0x93, 0x84, 0xed, 0xa1, 0xe7, 0xc1, 0x0e, 0x8e, 0xb6, 0x3d,
    0xb5, 0x0f, 0xad, 0x99, 0xd8, 0x57, 0x8d, 0x95, 0xc1, 0x30, 0x1f, 0x06, 0x03, 0x55, 0x1d, 0x23,
    0x04, 0x18, 0x30, 0x16, 0x80, 0x14, 0xab, 0x93, 0x84, 0xed, 0xa1, 0xe7, 0xc1, 0x0e, 0x8e, 0xb6,
    0x3d, 0xb5, 0x0f, 0xad, 0x99, 0xd8, 0x57, 0x8d, 0x95, 0xc1, 0x30, 0x0f, 0x06, 0x03, 0x55, 0x1d,
    0x13, 0x01, 0x01, 0xff, 0x04, 0x05, 0x30, 0x03, 0x01, 0x01, 0xff, 0x30, 0x0a, 0x06, 0x08, 0x2a,
    0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02, 0x03, 0x49, 0x00, 0x30, 0x46, 0x02, 0x21, 0x00, 0xf9,
    0x04, 0x8b, 0xb2, 0x47, 0x8e, 0x1b, 0x7b, 0x32, 0x0b, 0x65, 0x29, 0x1f, 0xbb, 0x01, 0x46, 0xa4,
    0x98, 0xd3, 0xb3, 0xd9, 0xd1, 0x5b, 0x6c, 0xbc, 0x39, 0x99, 0x9c, 0xab, 0x5d, 0x75, 0x48, 0x02,
    0x21, 0x00, 0x89, 0x47, 0x14, 0x5a, 0xf1, 0x64, 0x2a, 0x48, 0x59, 0xc3, 0x04, 0xd5, 0x1f, 0xf4,
    0xce, 0xc4, 0x08, 0x60, 0x84, 0x7f, 0xf8, 0xb0, 0x4b, 0xc7, 0xb8, 0xf5, 0x4a, 0x9b, 0x45, 0xaf,
    0xd4, 0xc9,
};

// Its elements in encoding order as `openssl asn1parse -inform DER` lists them.
struct Listed {
    size_t offset, depth, headerLength, valueLength;
    bool operator==(const Listed&) const = default;
};
const Listed kCertificateElements[] = {
    {0, 0, 4, 366},  {4, 1, 4, 275},  {8, 2, 2, 3},    {10, 3, 2, 1},   {13, 2, 2, 20},
    {35, 2, 2, 10},  {37, 3, 2, 8},   {47, 2, 2, 12},  {49, 3, 2, 10},  {51, 4, 2, 8},
    {53, 5, 2, 3},   {58, 5, 2, 1},   {61, 2, 2, 30},  {63, 3, 2, 13},  {78, 3, 2, 13},
    {93, 2, 2, 12},  {95, 3, 2, 10},  {97, 4, 2, 8},   {99, 5, 2, 3},   {104, 5, 2, 1},
    {107, 2, 2, 89}, {109, 3, 2, 19}, {111, 4, 2, 7},  {120, 4, 2, 8},  {130, 3, 2, 66},
    {198, 2, 2, 83}, {200, 3, 2, 81}, {202, 4, 2, 29}, {204, 5, 2, 3},  {209, 5, 2, 22},
    {233, 4, 2, 31}, {235, 5, 2, 3},  {240, 5, 2, 24}, {266, 4, 2, 15}, {268, 5, 2, 3},
    {273, 5, 2, 1},  {276, 5, 2, 5},  {283, 1, 2, 10}, {285, 2, 2, 8},  {295, 1, 2, 73},
};

void List(DerReader& r, size_t depth, std::vector<Listed>& out) {
    while (!r.AtEnd()) {
        BYTE first = 0;
        Bytes contents, element;
        ASSERT_EQ(r.ReadAny(first, contents, &element), 0u);
        out.push_back({size_t(element.data() - kCertificate), depth,
                       size_t(contents.data() - element.data()), contents.size()});
        if (EngineNests(first)) {
            DerReader inside(contents, kEngineRules);
            List(inside, depth + 1, out);
        }
    }
}

TEST(DerEngineRules, CertificateAgreesWithOpenSslAsn1parse) {
    DerReader r(Bytes(kCertificate), kEngineRules);
    std::vector<Listed> elements;
    List(r, 0, elements);
    EXPECT_EQ(elements, std::vector<Listed>(std::begin(kCertificateElements),
                                            std::end(kCertificateElements)));
}

} // namespace
