// The ASN.1 engine's encoder: DER length octets and TLV building over der/.
// (What the engine's decoder read is der::DerReader's under kEngineRules now,
// tested in tests/der.)
#include "foundation/ASN1Engine.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
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

// Encodes and hands back the TLV; an empty result means the encoder failed.
Bytes Encode(DWORD dwTag, const Bytes& content) {
    Bytes encoded;
    if (ASN1Encode(dwTag, content.data(), DWORD(content.size()), &encoded) != S_OK)
        return Bytes();
    return encoded;
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
        Bytes octets;
        ASSERT_EQ(CalculateASNValueLength(c.dwLength, &octets), S_OK) << c.dwLength;
        EXPECT_EQ(octets, Hex(c.pszOctets)) << c.dwLength;
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
    const Bytes sentinel = Hex("77");
    Bytes out = sentinel;
    const BYTE content[] = {0x41};
    const struct {
        HRESULT hr;
        HRESULT hrExpected;
    } cases[] = {
        // Empty content has no length octets here: NULL and empty SETs are
        // written by hand, whatever the tag.
        {CalculateASNValueLength(0, &out), E_FAIL},
        {ASN1Encode(0x05, content, 0, &out), E_FAIL},
        {ASN1Encode(0x31, content, 0, &out), E_FAIL},
        // Unsupported tags.
        {ASN1Encode(0x03, content, 1, &out), E_FAIL},
        {ASN1Encode(0x05, content, 1, &out), E_FAIL},
        // A length with no bytes behind it.
        {ASN1Encode(0x04, nullptr, 1, &out), E_POINTER},
        // Nowhere to put the result.
        {CalculateASNValueLength(5, nullptr), E_POINTER},
        {ASN1Encode(0x04, content, 1, nullptr), E_POINTER},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].hr, cases[i].hrExpected) << i;
    EXPECT_EQ(out, sentinel);
}

} // namespace
