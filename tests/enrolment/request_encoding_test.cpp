// The request's encoding steps, byte for byte (both targets: the platform
// encoder under them is Wine's on Windows and ours on POSIX).
#include "enrolment/PKCS10Request.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

template <class Step> Bytes Take(HRESULT expected, Step step) {
    Bytes out;
    const HRESULT hResult = step(out);
    EXPECT_EQ(hResult, expected);
    if (FAILED(hResult)) {
        EXPECT_TRUE(out.empty()) << "nothing may be handed out on failure";
    }
    return out;
}

Bytes Repeat(BYTE b, size_t n) {
    return Bytes(n, b);
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(SM2RawSignature, IntegersAreMinimalDer) {
    struct Case {
        const char* why;
        Bytes r, s;
        Bytes expectR, expectS; // INTEGER TLVs
    } cases[] = {
        {"top bit set: a sign octet in front", Cat({{0x80}, Repeat(0x11, 31)}),
         Cat({{0x01}, Repeat(0x22, 31)}), Cat({{0x02, 0x21, 0x00, 0x80}, Repeat(0x11, 31)}),
         Cat({{0x02, 0x20, 0x01}, Repeat(0x22, 31)})},
        // A leading zero before a byte below 0x80 is redundant: DER verifiers
        // refuse it, so it goes.
        {"leading zero dropped", Cat({{0x00, 0x7F}, Repeat(0x33, 30)}),
         Cat({{0x00, 0x00, 0x01}, Repeat(0x44, 29)}), Cat({{0x02, 0x1F, 0x7F}, Repeat(0x33, 30)}),
         Cat({{0x02, 0x1E, 0x01}, Repeat(0x44, 29)})},
        {"leading zero kept as the sign octet", Cat({{0x00, 0x80}, Repeat(0x55, 30)}),
         Cat({{0x7F}, Repeat(0x66, 31)}), Cat({{0x02, 0x20, 0x00, 0x80}, Repeat(0x55, 30)}),
         Cat({{0x02, 0x20, 0x7F}, Repeat(0x66, 31)})},
    };
    for (const Case& c : cases) {
        const Bytes raw = Cat({c.r, c.s});
        const Bytes out = Take(S_OK, [&](Bytes& encoded) {
            return SM2EncodeRawSignature(raw.data(), DWORD(raw.size()), encoded);
        });
        const Bytes body = Cat({c.expectR, c.expectS});
        EXPECT_EQ(out, Cat({{0x30, BYTE(body.size())}, body})) << c.why;
    }
}

TEST(SM2RawSignature, OnlySixtyFourBytes) {
    const Bytes raw(65, 0x01);
    for (DWORD cb : {0u, 32u, 63u, 65u}) {
        Take(HRESULT(0x8007000D),
             [&](Bytes& encoded) { return SM2EncodeRawSignature(raw.data(), cb, encoded); });
    }
    // The BIT STRING step passes the refusal on.
    Take(HRESULT(0x8007000D), [&](Bytes& encoded) {
        return ComposeSignature(orvane::keys::FamilyFor(KeyAlgorithm::Sm2), raw.data(), 63,
                                encoded);
    });
}

TEST(RequestText, SixtyFourCharactersPerLine) {
    const std::string a64(64, 'A'), b76(76, 'B');
    struct Case {
        const char* why;
        std::string in, out;
    } cases[] = {
        {"empty", "", ""},
        {"one short line", "QUJD", "QUJD"},
        {"exactly one line: no break", a64, a64},
        {"one more character", a64 + "C", a64 + "\r\nC"},
        {"two full lines: no break at the end", a64 + a64, a64 + "\r\n" + a64},
        {"the encoder's 76-column breaks go", b76 + "\r\n" + "CC",
         std::string(64, 'B') + "\r\n" + std::string(12, 'B') + "CC"},
        {"a trailing break goes", "QUJD\r\n", "QUJD"},
    };
    for (const Case& c : cases) {
        std::string text;
        ASSERT_EQ(
            TransformBase64EncodedDatatoHoldCRLFPer64Chars(c.in.data(), DWORD(c.in.size()), text),
            S_OK)
            << c.why;
        EXPECT_EQ(text, c.out) << c.why;
    }
}

const Bytes kRsaAlg = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                       0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
// SEQUENCE { id-ecPublicKey, the SM2 curve }
const Bytes kSm2Alg = {0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                       0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};

TEST(RequestParts, SubjectPublicKeyInfo) {
    const Bytes key = {0x30, 0x03, 0x02, 0x01, 0x05};
    Bytes out = Take(S_OK, [&](Bytes& encoded) {
        return ComposeSignPublicKeyData(kOidRsaEncryption, "", key.data(), DWORD(key.size()),
                                        encoded);
    });
    EXPECT_EQ(out, Cat({{0x30, 0x17}, kRsaAlg, {0x03, 0x06, 0x00}, key}));

    const Bytes point = Cat({{0x04}, Repeat(0xAB, 64)});
    out = Take(S_OK, [&](Bytes& encoded) {
        return ComposeSignPublicKeyData(kOidEcPublicKey, kOidSM2Curve, point.data(),
                                        DWORD(point.size()), encoded);
    });
    EXPECT_EQ(out, Cat({{0x30, 0x59}, kSm2Alg, {0x03, 0x42, 0x00}, point}));
}

TEST(RequestParts, AttributesInTheIssuersForm) {
    const Bytes key = {0x01, 0x02, 0x03};
    const Bytes out = Take(S_OK, [&](Bytes& encoded) {
        return ComposeAttributes(FALSE, key.data(), DWORD(key.size()), encoded);
    });
    const Bytes expected = {
        0xA0, 0x2E,
        // SEQUENCE { challengePassword, PrintableString "482915" }: no SET
        0x30, 0x13, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x07, 0x13, 0x06,
        '4', '8', '2', '9', '1', '5',
        // SEQUENCE { 1.2.840.113549.1.9.63,
        //            OCTET STRING { SEQUENCE { INTEGER 1, OCTET STRING key } } }
        0x30, 0x17, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x3F, 0x04, 0x0A,
        0x30, 0x08, 0x02, 0x01, 0x01, 0x04, 0x03, 0x01, 0x02, 0x03};
    EXPECT_EQ(out, expected);

    // The PKCS #9 form puts each value in a SET.
    const Bytes standard = Take(S_OK, [&](Bytes& encoded) {
        return ComposeAttributes(TRUE, key.data(), DWORD(key.size()), encoded);
    });
    ASSERT_EQ(standard.size(), expected.size() + 4);
    EXPECT_EQ(standard[15], 0x31); // after the first attribute's OID
}

TEST(RequestParts, SignatureAlgorithmHasNullParameters) {
    const Bytes out =
        Take(S_OK, [&](Bytes& encoded) { return ComposeSignAlgorithm(kOidSM2WithSM3, encoded); });
    EXPECT_EQ(out, (Bytes{0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75,
                          0x05, 0x00}));
}

TEST(RequestParts, RequestInformationOfASingleCertificateEndsWithTheKey) {
    const Bytes key = {0x30, 0x03, 0x02, 0x01, 0x05};
    PKCS10RequestParams params{};
    params.pwszSubject = TEXT("CN=A,C=CN");
    params.pFamily = &orvane::keys::FamilyFor(KeyAlgorithm::Rsa);
    const Bytes out = Take(
        S_OK, [&](Bytes& encoded) { return ComposeCertRequestInfo(params, key, {}, encoded); });
    // The attributes in reverse order, one per RDN.
    const Bytes name = {0x30, 0x19, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55,
                        0x04, 0x06, 0x13, 0x02, 'C',  'N',  0x31, 0x0A, 0x30,
                        0x08, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x01, 'A'};
    const Bytes spki = Cat({{0x30, 0x17}, kRsaAlg, {0x03, 0x06, 0x00}, key});
    const Bytes body = Cat({{0x02, 0x01, 0x00}, name, spki});
    EXPECT_EQ(out, Cat({{0x30, BYTE(body.size())}, body}));
}

} // namespace
