// The ASN.1 engine: DER length octets and TLV building, header reading, and the
// decoder's tree with its bounds, its node limit and its indefinite lengths.
// Every decode reads from a heap copy of exactly the input's size, so a read
// past the end is an overread for AddressSanitizer.
#include "foundation/ASN1Engine.h"
#include "foundation/ResultCodes.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using orvane::tests::Hex;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Repeat(const Bytes& unit, size_t nTimes) {
    Bytes out;
    for (size_t i = 0; i < nTimes; ++i)
        out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

// Encodes and hands back the TLV; an empty result means the encoder failed.
Bytes Encode(DWORD dwTag, const Bytes& content) {
    BYTE* pbEncoded = nullptr;
    DWORD cbEncoded = 0;
    if (ASN1Encode(dwTag, content.data(), DWORD(content.size()), &pbEncoded, &cbEncoded) != S_OK)
        return Bytes();
    std::unique_ptr<BYTE[]> owned(pbEncoded);
    return Bytes(pbEncoded, pbEncoded + cbEncoded);
}

// A tree together with the exact-size buffer its nodes point into.
struct Decoded {
    int nResult = 0;
    std::unique_ptr<BYTE[]> buffer;
    DWORD cbBuffer = 0;
    std::unique_ptr<ASN1Node> root;
};

Decoded Decode(const Bytes& data) {
    Decoded d;
    d.cbBuffer = DWORD(data.size());
    d.buffer.reset(new BYTE[data.empty() ? 1 : data.size()]);
    std::copy(data.begin(), data.end(), d.buffer.get());
    d.nResult = DecodeASN1Memory(&d.root, d.buffer.get(), d.cbBuffer);
    return d;
}

// "tag@contentOffset+valueLength", children in braces.
std::string Dump(const ASN1Node& node) {
    char sz[64];
    std::snprintf(sz, sizeof(sz), "%02x@%llu+%lu", unsigned(node.bTag),
                  static_cast<unsigned long long>(node.ullContentOffset),
                  static_cast<unsigned long>(node.dwValueLength));
    std::string out = sz;
    if (!node.vChildren.empty()) {
        out += "{";
        for (size_t i = 0; i < node.vChildren.size(); ++i)
            out += (i ? " " : "") + Dump(*node.vChildren[i]);
        out += "}";
    }
    return out;
}

ULONGLONG TagOffset(const ASN1Node& node) {
    return node.ullContentOffset - node.dwLengthOctets - 1;
}

// What every node of a successful decode must satisfy: lengths resolved and
// consistent, children back-linked, back to back from the start of the
// content, and filling it (an indefinite length leaves its two zero octets).
void ExpectWellFormed(const ASN1Node& node, const Decoded& d) {
    EXPECT_EQ(node.pbData, d.buffer.get());
    EXPECT_EQ(node.dwBufferSize, d.cbBuffer);
    EXPECT_EQ(node.hStream, nullptr);
    EXPECT_EQ(node.wIndefinite, 0);
    EXPECT_EQ(ULONGLONG(node.dwTotalLength), 1ull + node.dwLengthOctets + node.dwValueLength);
    const ULONGLONG ullEnd = node.ullContentOffset + node.dwValueLength;
    EXPECT_LE(ullEnd, d.cbBuffer);
    if (node.vChildren.empty())
        return;
    ULONGLONG ullNext = node.ullContentOffset;
    for (const auto& child : node.vChildren) {
        EXPECT_EQ(child->pParent, &node);
        EXPECT_EQ(TagOffset(*child), ullNext);
        ullNext += child->dwTotalLength;
        ExpectWellFormed(*child, d);
    }
    if (ullNext != ullEnd) {
        ASSERT_EQ(ullNext + 2, ullEnd) << Dump(node);
        EXPECT_EQ(d.buffer[size_t(ullNext)], 0);
        EXPECT_EQ(d.buffer[size_t(ullNext) + 1], 0);
    }
}

size_t Depth(const ASN1Node& node) {
    size_t n = 1;
    for (const ASN1Node* p = &node; !p->vChildren.empty(); p = p->vChildren.front().get())
        ++n;
    return n;
}

// n SEQUENCEs, each holding the next, around INTEGER 0.
Bytes Nested(size_t nNodes) {
    Bytes tlv = Hex("02 01 00");
    for (size_t i = 1; i < nNodes; ++i)
        tlv = Encode(0x30, tlv);
    return tlv;
}

// SEQUENCE of n NULLs.
Bytes Siblings(size_t nChildren) {
    return Encode(0x30, Repeat(Hex("05 00"), nChildren));
}

// ---- Encoder -----------------------------------------------------------------

TEST(ASN1EncodeLength, MinimalBigEndianOctets) {
    const struct {
        DWORD dwLength;
        const char* pszOctets;
    } cases[] = {
        {1, "01"},
        {127, "7f"},
        {128, "81 80"},
        {255, "81 ff"},
        {256, "82 01 00"},
        {300, "82 01 2c"},
        {65535, "82 ff ff"},
        {65536, "83 01 00 00"},
        {0xFFFFFF, "83 ff ff ff"},
        {0x1000000, "84 01 00 00 00"},
        {0xFFFFFFFF, "84 ff ff ff ff"},
    };
    for (const auto& c : cases) {
        BYTE* pbOctets = nullptr;
        DWORD cbOctets = 0;
        ASSERT_EQ(CalculateASNValueLength(c.dwLength, &pbOctets, &cbOctets), S_OK) << c.dwLength;
        std::unique_ptr<BYTE[]> owned(pbOctets);
        EXPECT_EQ(Bytes(pbOctets, pbOctets + cbOctets), Hex(c.pszOctets)) << c.dwLength;
    }
}

TEST(ASN1Encode, WrapsContentInOneTLV) {
    const struct {
        DWORD cbContent;
        const char* pszHeader;
    } cases[] = {
        {1, "04 01"},
        {127, "04 7f"},
        {128, "04 81 80"},
        {256, "04 82 01 00"},
        {65536, "04 83 01 00 00"},
    };
    for (const auto& c : cases) {
        Bytes content(c.cbContent);
        for (size_t i = 0; i < content.size(); ++i)
            content[i] = BYTE(i * 7 + 1);
        EXPECT_EQ(Encode(0x04, content), Concat({Hex(c.pszHeader), content})) << c.cbContent;
    }
    // The content is copied, not interpreted: no sign octet is added.
    EXPECT_EQ(Encode(0x02, Hex("80")), Hex("02 01 80"));
}

TEST(ASN1Encode, AcceptsExactlyTheListedTags) {
    const Bytes accepted = Hex("02 04 06 0c 13 16 1e 30 31 80 a0");
    for (DWORD dwTag = 0; dwTag < 0x100; ++dwTag) {
        const bool bListed =
            std::find(accepted.begin(), accepted.end(), BYTE(dwTag)) != accepted.end();
        const Bytes tlv = Encode(dwTag, Hex("41"));
        if (bListed)
            EXPECT_EQ(tlv, Concat({{BYTE(dwTag)}, Hex("01 41")})) << dwTag;
        else
            EXPECT_TRUE(tlv.empty()) << dwTag; // BIT STRING 0x03 and NULL 0x05 included
    }
    // Only the low 8 bits of the tag count.
    EXPECT_EQ(Encode(0x130, Hex("41")), Hex("30 01 41"));
    EXPECT_TRUE(Encode(0x3003, Hex("41")).empty());
}

TEST(ASN1Encode, RefusalsLeaveOutputsAlone) {
    BYTE sentinel = 0;
    BYTE* pb = &sentinel;
    DWORD cb = 77;
    const BYTE content[] = {0x41};
    const struct {
        HRESULT hr;
        HRESULT hrExpected;
    } cases[] = {
        // Empty content has no length octets here: NULL and empty SETs are
        // written by hand, whatever the tag.
        {CalculateASNValueLength(0, &pb, &cb), E_FAIL},
        {ASN1Encode(0x05, content, 0, &pb, &cb), E_FAIL},
        {ASN1Encode(0x31, content, 0, &pb, &cb), E_FAIL},
        // Unsupported tags.
        {ASN1Encode(0x03, content, 1, &pb, &cb), E_FAIL},
        {ASN1Encode(0x05, content, 1, &pb, &cb), E_FAIL},
        // A length with no bytes behind it.
        {ASN1Encode(0x04, nullptr, 1, &pb, &cb), E_POINTER},
        // Nowhere to put the result.
        {CalculateASNValueLength(5, nullptr, &cb), E_POINTER},
        {CalculateASNValueLength(5, &pb, nullptr), E_POINTER},
        {ASN1Encode(0x04, content, 1, nullptr, &cb), E_POINTER},
        {ASN1Encode(0x04, content, 1, &pb, nullptr), E_POINTER},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].hr, cases[i].hrExpected) << i;
    EXPECT_EQ(pb, &sentinel);
    EXPECT_EQ(cb, 77u);
}

// ---- Decoder -----------------------------------------------------------------

TEST(ASN1Decode, Trees) {
    const struct {
        const char* pszInput;
        const char* pszTree;
    } cases[] = {
        {"30 06 02 01 05 04 01 41", "30@2+6{02@4+1 04@7+1}"},
        {"02 01 05", "02@2+1"},
        {"30 02 31 00", "30@2+2{31@4+0}"},
        {"30 81 03 02 01 07", "30@3+3{02@5+1}"},
        // Five length octets: the first is shifted out of 32 bits.
        {"04 85 01 00 00 00 01 41", "04@7+1"},
        // Indefinite lengths end at two zero octets, which count as content.
        {"30 80 04 01 41 00 00", "30@2+5{04@4+1}"},
        {"30 80 31 80 04 01 41 00 00 00 00", "30@2+9{31@4+5{04@6+1}}"},
        {"30 09 30 80 02 01 01 00 00 05 00", "30@2+9{30@4+5{02@6+1} 05@11+0}"},
        {"04 80 41 00 00", "04@2+3"},
        // A zero in the first position does not pair with anything before it.
        {"04 80 00 41 00 00", "04@2+4"},
        {"30 80 04 80 00 41 00 00 00 00", "30@2+8{04@4+4}"},
        // The first two zero octets of an indefinite constructed node are read
        // as a child before the end-of-contents is looked for.
        {"30 80 00 00 00 00", "30@2+4{00@4+0}"},
        // Leaves: universal primitive and context-specific primitive [0]-[15].
        {"30 05 85 03 30 01 00", "30@2+5{85@4+3}"},
        {"30 04 1f 02 30 00", "30@2+4{1f@4+2}"},
        {"8f 02 30 00", "8f@2+2"},
        // Everything else is walked into, whatever its class.
        {"30 05 a5 03 02 01 09", "30@2+5{a5@4+3{02@6+1}}"},
        {"65 03 02 01 09", "65@2+3{02@4+1}"},
        {"45 02 05 00", "45@2+2{05@4+0}"},
        {"90 02 05 00", "90@2+2{05@4+0}"},
        {"24 80 04 01 41 04 01 42 00 00", "24@2+8{04@4+1 04@7+1}"},
    };
    for (const auto& c : cases) {
        Decoded d = Decode(Hex(c.pszInput));
        ASSERT_EQ(d.nResult, 0) << c.pszInput;
        ASSERT_TRUE(d.root) << c.pszInput;
        EXPECT_EQ(Dump(*d.root), c.pszTree) << c.pszInput;
        EXPECT_EQ(TagOffset(*d.root), 0u) << c.pszInput;
        EXPECT_EQ(d.root->pParent, nullptr);
        ExpectWellFormed(*d.root, d);
    }
}

TEST(ASN1Decode, RefusesWhatRunsPastItsEnd) {
    const char* cases[] = {
        // A SEQUENCE declaring more content than the buffer holds.
        "30 07 02 01 05 04 01 41",
        // A leaf whose content runs past the buffer.
        "04 05 41 41",
        // A leaf running past its parent, though not past the buffer.
        "30 03 04 05 41 41 41 41 41",
        // A child header cut by its parent's end.
        "30 04 02 01 05 04",
        // 127 length octets announced inside a three-byte parent.
        "30 03 04 ff 00 00 00",
        // A length of nearly 4 GiB must not wrap around.
        "04 84 ff ff ff ff 41",
        "30 84 ff ff ff fe 02 01 05",
        // Indefinite lengths without end-of-contents within the buffer.
        "30 80 04 01 41",
        "30 80 04 01 41 00",
        "30 80 31 80 04 01 41 00 00",
        "04 80 41 00",
        "04 80 41 41 41",
        // End-of-contents only after the definite parent has ended.
        "30 06 30 80 02 01 01 00 00",
        "30 04 04 80 41 00 00",
        // An empty indefinite node: its end-of-contents is taken for a child.
        "30 80 00 00",
        // Walked into although its content is no TLV.
        "a5 03 ff ff ff",
    };
    for (const char* pszInput : cases) {
        Decoded d = Decode(Hex(pszInput));
        EXPECT_EQ(d.nResult, ASN1_E_PARSE) << pszInput;
        // Once the outermost header is read, the root is handed out anyway.
        EXPECT_TRUE(d.root) << pszInput;
    }
}

TEST(ASN1Decode, UnreadableOutermostHeaderIsPositiveAndHandsOutNothing) {
    static_assert(ASN1_E_ROOT_HEADER > 0, "callers test for non-zero, not for negative");
    const char* cases[] = {
        "",
        "30",
        // The outermost header is read one byte short of the buffer's end, so
        // even a complete two-byte TLV fails.
        "30 00",
        "30 81 05",
        "04 82 00 00",
        // Long-form octets announced past the end.
        "30 84 00 00",
    };
    for (const char* pszInput : cases) {
        const Bytes input = Hex(pszInput);
        std::unique_ptr<BYTE[]> buffer(new BYTE[input.size() + 1]);
        std::copy(input.begin(), input.end(), buffer.get());
        auto* pMarker = new ASN1Node;
        std::unique_ptr<ASN1Node> root(pMarker);
        EXPECT_EQ(DecodeASN1Memory(&root, buffer.get(), DWORD(input.size())), ASN1_E_ROOT_HEADER)
            << pszInput;
        EXPECT_EQ(root.get(), pMarker) << pszInput;
    }
    std::unique_ptr<ASN1Node> root;
    const BYTE data[] = {0x02, 0x01, 0x05};
    EXPECT_EQ(DecodeASN1Memory(&root, nullptr, 3), ASN1_E_ROOT_HEADER);
    EXPECT_EQ(DecodeASN1Memory(nullptr, data, 3), ASN1_E_ROOT_HEADER);
    EXPECT_FALSE(root);
}

TEST(ASN1Decode, FailureBelowTheRootKeepsWhatWasParsed) {
    // The INTEGER decodes; the OCTET STRING after it runs past the buffer.
    Decoded d = Decode(Hex("30 80 02 01 05 04 05 41"));
    EXPECT_EQ(d.nResult, ASN1_E_PARSE);
    ASSERT_TRUE(d.root);
    EXPECT_EQ(Dump(*d.root), "30@2+4294967295{02@4+1}");
    EXPECT_EQ(d.root->wIndefinite, 1);
    EXPECT_EQ(d.root->dwTotalLength, ASN1_INDEFINITE_LENGTH);
}

TEST(ASN1Decode, AtMost255Nodes) {
    const struct {
        Bytes input;
        int nResult;
        size_t nRootChildren; // siblings kept
        size_t nDepth;        // nesting kept
    } cases[] = {
        {Siblings(254), 0, 254, 2},
        // The root and 255 children: the last child is the 256th node.
        {Siblings(255), ASN1_E_PARSE, 254, 2},
        {Siblings(300), ASN1_E_PARSE, 254, 2},
        {Nested(255), 0, 1, 255},
        // A failure deep down fails every level above it.
        {Nested(256), ASN1_E_PARSE, 0, 1},
        {Nested(300), ASN1_E_PARSE, 0, 1},
        {Concat({Repeat(Hex("30 80"), 300), Hex("02 01 00"), Repeat(Hex("00 00"), 300)}),
         ASN1_E_PARSE, 0, 1},
    };
    for (const auto& c : cases) {
        Decoded d = Decode(c.input);
        EXPECT_EQ(d.nResult, c.nResult) << c.input.size();
        ASSERT_TRUE(d.root);
        EXPECT_EQ(d.root->vChildren.size(), c.nRootChildren) << c.input.size();
        EXPECT_EQ(Depth(*d.root), c.nDepth) << c.input.size();
        if (c.nResult == 0)
            ExpectWellFormed(*d.root, d);
    }
}

TEST(ASN1Decode, EncoderOutputDecodesBack) {
    const Bytes payload = Repeat(Hex("a5"), 300);
    const Bytes oid = Hex("2a 86 48 86 f7 0d"); // 1.2.840.113549
    const Bytes der = Encode(0x30, Concat({Encode(0x02, Hex("00 80")), Encode(0x04, payload),
                                           Encode(0xA0, Encode(0x06, oid))}));
    Decoded d = Decode(der);
    ASSERT_EQ(d.nResult, 0);
    EXPECT_EQ(Dump(*d.root), "30@4+318{02@6+2 04@12+300 a0@314+8{06@316+6}}");
    ExpectWellFormed(*d.root, d);
    const ASN1Node& octets = *d.root->vChildren[1];
    EXPECT_EQ(Bytes(d.buffer.get() + octets.ullContentOffset,
                    d.buffer.get() + octets.ullContentOffset + octets.dwValueLength),
              payload);
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

// Its nodes in encoding order as `openssl asn1parse -inform DER` lists them:
// offset, depth, header length, value length.
const struct {
    ULONGLONG ullOffset;
    size_t nDepth;
    DWORD dwHeaderLength;
    DWORD dwValueLength;
} kCertificateNodes[] = {
    {0, 0, 4, 366},  {4, 1, 4, 275},  {8, 2, 2, 3},    {10, 3, 2, 1},   {13, 2, 2, 20},
    {35, 2, 2, 10},  {37, 3, 2, 8},   {47, 2, 2, 12},  {49, 3, 2, 10},  {51, 4, 2, 8},
    {53, 5, 2, 3},   {58, 5, 2, 1},   {61, 2, 2, 30},  {63, 3, 2, 13},  {78, 3, 2, 13},
    {93, 2, 2, 12},  {95, 3, 2, 10},  {97, 4, 2, 8},   {99, 5, 2, 3},   {104, 5, 2, 1},
    {107, 2, 2, 89}, {109, 3, 2, 19}, {111, 4, 2, 7},  {120, 4, 2, 8},  {130, 3, 2, 66},
    {198, 2, 2, 83}, {200, 3, 2, 81}, {202, 4, 2, 29}, {204, 5, 2, 3},  {209, 5, 2, 22},
    {233, 4, 2, 31}, {235, 5, 2, 3},  {240, 5, 2, 24}, {266, 4, 2, 15}, {268, 5, 2, 3},
    {273, 5, 2, 1},  {276, 5, 2, 5},  {283, 1, 2, 10}, {285, 2, 2, 8},  {295, 1, 2, 73},
};

void Flatten(const ASN1Node& node, size_t nDepth,
             std::vector<std::pair<const ASN1Node*, size_t>>& out) {
    out.emplace_back(&node, nDepth);
    for (const auto& child : node.vChildren)
        Flatten(*child, nDepth + 1, out);
}

TEST(ASN1Decode, CertificateAgreesWithOpenSslAsn1parse) {
    Decoded d = Decode(Bytes(std::begin(kCertificate), std::end(kCertificate)));
    ASSERT_EQ(d.nResult, 0);
    ExpectWellFormed(*d.root, d);
    std::vector<std::pair<const ASN1Node*, size_t>> nodes;
    Flatten(*d.root, 0, nodes);
    ASSERT_EQ(nodes.size(), std::size(kCertificateNodes));
    for (size_t i = 0; i < nodes.size(); ++i) {
        const ASN1Node& node = *nodes[i].first;
        const auto& expected = kCertificateNodes[i];
        EXPECT_EQ(TagOffset(node), expected.ullOffset) << i;
        EXPECT_EQ(nodes[i].second, expected.nDepth) << i;
        EXPECT_EQ(1 + node.dwLengthOctets, expected.dwHeaderLength) << i;
        EXPECT_EQ(node.dwValueLength, expected.dwValueLength) << i;
    }
}

// ---- Header reading and the pieces behind the decoder ---------------------------

TEST(ASN1ParseTLV, Headers) {
    const ULONGLONG kIndef = ASN1_INDEFINITE_LENGTH;
    const struct {
        const char* pszInput;
        ULONGLONG ullPosition;
        ULONGLONG ullLimit;
        int nResult;
        BYTE bTag;
        DWORD dwLengthOctets;
        DWORD dwValueLength;
        ULONGLONG ullContentOffset;
        ULONGLONG ullEndOffset;
        WORD wIndefinite;
    } cases[] = {
        {"30 06 02 01 05 04 01 41", 0, 8, 0, 0x30, 1, 6, 2, 7, 0},
        {"30 06 02 01 05 04 01 41", 2, 8, 0, 0x02, 1, 1, 4, 4, 0},
        {"30 80", 0, 2, 0, 0x30, 1, 0xFFFFFFFF, 2, kIndef, 1},
        {"30 82 01 00", 0, 4, 0, 0x30, 3, 256, 4, 259, 0},
        // Empty content ends one before it starts.
        {"05 00", 0, 2, 0, 0x05, 1, 0, 2, 1, 0},
        {"04 85 01 00 00 00 01", 0, 7, 0, 0x04, 6, 1, 7, 7, 0},
        // The tag at the limit.
        {"30 06", 2, 2, ASN1_E_PARSE, 0, 0, 0, 0, 0, 0},
        // The first length octet at the limit.
        {"30 06", 0, 1, ASN1_E_PARSE, 0, 0, 0, 0, 0, 0},
        // The last long-form octet at the limit.
        {"30 82 01 00", 0, 3, ASN1_E_PARSE, 0, 0, 0, 0, 0, 0},
        // A position near the top of 64 bits must not wrap below the limit.
        {"30 06", 0xFFFFFFFFFFFFFFFFull, 2, ASN1_E_PARSE, 0, 0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const Bytes input = Hex(c.pszInput);
        BYTE bTag = 0xEE;
        DWORD dwLengthOctets = 0xEE, dwValueLength = 0xEE;
        ULONGLONG ullContentOffset = 0xEE, ullEndOffset = 0xEE;
        WORD wIndefinite = 0xEE;
        int nResult =
            ParseASN1TLV(c.ullPosition, c.ullLimit, nullptr, input.data(), &bTag, &dwLengthOctets,
                         &dwValueLength, &ullContentOffset, &ullEndOffset, &wIndefinite);
        EXPECT_EQ(nResult, c.nResult) << c.pszInput << " at " << c.ullPosition;
        if (c.nResult != 0) {
            // Nothing is handed out on failure.
            EXPECT_EQ(bTag, 0xEE);
            EXPECT_EQ(dwValueLength, 0xEEu);
            EXPECT_EQ(ullContentOffset, 0xEEu);
            continue;
        }
        EXPECT_EQ(bTag, c.bTag) << c.pszInput;
        EXPECT_EQ(dwLengthOctets, c.dwLengthOctets) << c.pszInput;
        EXPECT_EQ(dwValueLength, c.dwValueLength) << c.pszInput;
        EXPECT_EQ(ullContentOffset, c.ullContentOffset) << c.pszInput;
        EXPECT_EQ(ullEndOffset, c.ullEndOffset) << c.pszInput;
        EXPECT_EQ(wIndefinite, c.wIndefinite) << c.pszInput;
    }
    // The length octets alone, the second of them at the limit.
    const Bytes input = Hex("30 82 01 00");
    DWORD dwValueLength = 0;
    ULONGLONG ullContentOffset = 0;
    EXPECT_EQ(GetASN1ValueLength(4, 1, nullptr, input.data(), nullptr, &dwValueLength,
                                 &ullContentOffset, nullptr),
              0);
    EXPECT_EQ(dwValueLength, 256u);
    EXPECT_EQ(ullContentOffset, 4u);
    EXPECT_EQ(
        GetASN1ValueLength(3, 1, nullptr, input.data(), nullptr, &dwValueLength, nullptr, nullptr),
        ASN1_E_PARSE);
    // Reading from a stream is not supported.
    BYTE bTag = 0;
    int nStandIn = 0;
    EXPECT_EQ(ParseASN1TLV(0, 4, &nStandIn, input.data(), &bTag, nullptr, nullptr, nullptr, nullptr,
                           nullptr),
              ASN1_E_PARSE);
}

// A node for the header at ullPosition, as the decoder would make it.
std::unique_ptr<ASN1Node> NodeAt(const Bytes& data, ULONGLONG ullPosition,
                                 ASN1Node* pParent = nullptr) {
    auto node = std::make_unique<ASN1Node>();
    ULONGLONG ullEnd = 0;
    EXPECT_EQ(ParseASN1TLV(ullPosition, data.size(), nullptr, data.data(), &node->bTag,
                           &node->dwLengthOctets, &node->dwValueLength, &node->ullContentOffset,
                           &ullEnd, &node->wIndefinite),
              0);
    node->pbData = data.data();
    node->dwBufferSize = DWORD(data.size());
    node->dwTotalLength =
        node->wIndefinite ? ASN1_INDEFINITE_LENGTH : 1 + node->dwLengthOctets + node->dwValueLength;
    node->pParent = pParent;
    return node;
}

TEST(ASN1ParseNode, CounterRunsAcrossCalls) {
    const Bytes data = Hex("30 06 02 01 05 04 01 41");
    const struct {
        DWORD dwStart;
        int nResult;
        DWORD dwAfter;
    } cases[] = {
        {0, 0, 3},
        {252, 0, 255},
        // The third node would be the 256th of the decode.
        {253, ASN1_E_PARSE, 256},
    };
    for (const auto& c : cases) {
        auto node = NodeAt(data, 0);
        DWORD dwCount = c.dwStart;
        EXPECT_EQ(ParseNode(node.get(), &dwCount), c.nResult) << c.dwStart;
        EXPECT_EQ(dwCount, c.dwAfter) << c.dwStart;
    }
}

TEST(ASN1ParseNode, NodeMustStayInsideItsParent) {
    // The leaf fits the buffer but not its parent's three bytes of content.
    const Bytes data = Hex("30 03 04 05 41 41 41 41 41");
    auto parent = NodeAt(data, 0);
    auto leaf = NodeAt(data, 2, parent.get());
    DWORD dwCount = 0;
    EXPECT_EQ(ParseNode(leaf.get(), &dwCount), ASN1_E_PARSE);
    // Without the parent it is a node of its own and fits.
    leaf->pParent = nullptr;
    dwCount = 0;
    EXPECT_EQ(ParseNode(leaf.get(), &dwCount), 0);
}

TEST(ASN1GetInfiniteLength, ScansForTheFirstZeroPair) {
    const Bytes data = Hex("04 80 00 41 00 00");
    auto node = NodeAt(data, 0);
    ASSERT_EQ(GetInfiniteLength(node.get()), 0);
    EXPECT_EQ(node->dwValueLength, 4u);
    EXPECT_EQ(node->dwTotalLength, 6u);
    EXPECT_EQ(node->wIndefinite, 0);
    // Only an unresolved indefinite length is resolved.
    EXPECT_EQ(GetInfiniteLength(node.get()), ASN1_E_PARSE);
    EXPECT_EQ(node->dwValueLength, 4u);

    // No zero pair before the buffer ends: the node stays as it was.
    const Bytes open = Hex("04 80 00 41 00");
    auto unresolved = NodeAt(open, 0);
    EXPECT_EQ(GetInfiniteLength(unresolved.get()), ASN1_E_PARSE);
    EXPECT_EQ(unresolved->dwValueLength, ASN1_INDEFINITE_LENGTH);
    EXPECT_EQ(unresolved->wIndefinite, 1);
}

} // namespace
