// Provider signatures through the shared helper, checked by the provider's
// own verification (on Windows Wine's, an implementation independent of
// ours), and the SM2 signature value's DER form.
#include "certificates/Signatures.h"
#include "der/Der.h"
#include "foundation/Handles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using orvane::signatures::FailedStep;
using orvane::signatures::HashAndSignInProvider;
using orvane::signatures::SignatureLayout;
using Vec = std::vector<BYTE>;

constexpr WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
constexpr WCHAR kContainer[] = TEXT("OrvaneSignaturesTest");

// One container with both key pairs, made at the start and removed at the end.
class RsaKeys : public ::testing::Test {
protected:
    void SetUp() override {
        Delete();
        ASSERT_TRUE(
            CryptAcquireContextW(prov.put(), kContainer, kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET))
            << GetLastError();
        for (DWORD spec : {DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)}) {
            UniqueKey key;
            ASSERT_TRUE(CryptGenKey(prov.get(), spec, 1024u << 16, key.put())) << spec;
        }
    }
    void TearDown() override {
        prov.reset();
        Delete();
    }
    static void Delete() {
        HCRYPTPROV h = 0;
        CryptAcquireContextW(&h, kContainer, kEnhanced, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    }

    // The provider's verdict on a signature handed out most significant byte
    // first, over data hashed in one piece.
    bool Verifies(DWORD spec, ALG_ID alg, const Vec& data, const Vec& bigEndian) {
        UniqueKey key;
        UniqueHash hash;
        if (!CryptGetUserKey(prov.get(), spec, key.put()) ||
            !CryptCreateHash(prov.get(), alg, 0, 0, hash.put()) ||
            !CryptHashData(hash.get(), data.data(), DWORD(data.size()), 0))
            return false;
        const Vec littleEndian(bigEndian.rbegin(), bigEndian.rend());
        return CryptVerifySignatureW(hash.get(), littleEndian.data(), DWORD(littleEndian.size()),
                                     key.get(), nullptr, 0) != FALSE;
    }

    UniqueProvider prov;
};

TEST_F(RsaKeys, EveryKeyAndHashAcrossPieceBoundaries) {
    for (DWORD spec : {DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)}) {
        for (ALG_ID alg : {ALG_ID(CALG_SHA1), ALG_ID(CALG_MD5)}) {
            // Empty, exactly one piece, and pieces with a short last one.
            for (size_t size : {size_t(0), size_t(16384), size_t(40000)}) {
                Vec data(size);
                for (size_t i = 0; i < size; ++i)
                    data[i] = BYTE(i * 31 + spec);
                Vec signature;
                FailedStep failed;
                ASSERT_EQ(HashAndSignInProvider(prov.get(), spec, alg, SignatureLayout::kRsa, data,
                                                signature, failed),
                          S_OK)
                    << failed.pszStep;
                ASSERT_EQ(signature.size(), 128u);
                EXPECT_TRUE(Verifies(spec, alg, data, signature))
                    << "spec " << spec << " alg " << alg << " size " << size;
                // The check can fail: the other key, or the signature as the
                // provider wrote it (least significant byte first).
                EXPECT_FALSE(Verifies(spec == AT_SIGNATURE ? AT_KEYEXCHANGE : AT_SIGNATURE, alg,
                                      data, signature));
                EXPECT_FALSE(Verifies(spec, alg, data, Vec(signature.rbegin(), signature.rend())));
            }
        }
    }
}

TEST_F(RsaKeys, FailuresNameTheirStep) {
    const Vec data(10, 0x41);
    const struct {
        const char* why;
        ALG_ID alg;
        DWORD spec;
        std::string step;
    } cases[] = {
        {"no such hash", 0x8099, AT_SIGNATURE, "CryptCreateHash"},
        {"no such key", CALG_SHA1, 7, "CryptSignHash"},
    };
    for (const auto& c : cases) {
        Vec signature = {0xEE};
        FailedStep failed;
        EXPECT_TRUE(FAILED(HashAndSignInProvider(prov.get(), c.spec, c.alg, SignatureLayout::kRsa,
                                                 data, signature, failed)))
            << c.why;
        EXPECT_EQ(failed.pszStep, c.step) << c.why;
        EXPECT_EQ(signature, Vec{0xEE}) << "nothing handed out: " << c.why;
    }
}

TEST(Sm2SignatureValue, MinimalIntegersOfBothHalves) {
    const auto half = [](std::initializer_list<BYTE> head, BYTE fill) {
        Vec v(head);
        v.resize(32, fill);
        return v;
    };
    const struct {
        const char* why;
        Vec r, s;
        Vec intR;    // the INTEGER's header and leading octets
        size_t lenR; // its content length
    } cases[] = {
        {"top bit set: a zero in front",
         half({0x80}, 0x11),
         half({0x01}, 0x22),
         {0x02, 0x21, 0x00, 0x80},
         33},
        {"leading zeros go",
         half({0x00, 0x00, 0x7F}, 0x33),
         half({0x01}, 0x22),
         {0x02, 0x1E, 0x7F},
         30},
        {"a zero stays where the next octet has its top bit",
         half({0x00, 0x00, 0x80}, 0x44),
         half({0x01}, 0x22),
         {0x02, 0x1F, 0x00, 0x80},
         31},
        {"zero is one octet", half({}, 0x00), half({0x01}, 0x22), {0x02, 0x01, 0x00}, 1},
    };
    for (const auto& c : cases) {
        Vec rs = c.r;
        rs.insert(rs.end(), c.s.begin(), c.s.end());
        orvane::der::DerWriter w;
        ASSERT_EQ(orvane::signatures::WriteSm2Signature(w, rs), S_OK) << c.why;
        // Read back: a SEQUENCE of two INTEGERs holding r and s.
        orvane::der::DerReader outer(w.Encoding());
        orvane::der::Bytes seq, r, s, element;
        ASSERT_EQ(outer.Read(orvane::der::tag::kSequence, seq), 0u) << c.why;
        orvane::der::DerReader halves(seq);
        ASSERT_EQ(halves.Read(orvane::der::tag::kInteger, r, &element), 0u) << c.why;
        ASSERT_EQ(halves.Read(orvane::der::tag::kInteger, s), 0u) << c.why;
        EXPECT_TRUE(halves.AtEnd() && outer.AtEnd()) << c.why;
        EXPECT_EQ(r.size(), c.lenR) << c.why;
        EXPECT_EQ(Vec(element.begin(), element.begin() + long(c.intR.size())), c.intR) << c.why;
        EXPECT_EQ(Vec(s.begin(), s.end()), c.s) << c.why;
    }
    for (size_t size : {size_t(0), size_t(63), size_t(65)}) {
        orvane::der::DerWriter w;
        EXPECT_EQ(orvane::signatures::WriteSm2Signature(w, Vec(size, 0x01)),
                  HRESULT_FROM_WIN32(ERROR_INVALID_DATA))
            << size;
        EXPECT_EQ(w.Error(), DWORD(HRESULT_FROM_WIN32(ERROR_INVALID_DATA)));
    }
}

} // namespace
