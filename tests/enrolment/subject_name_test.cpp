// Subject texts to DER names, and the attribute builders. Expected bytes were
// checked with `openssl asn1parse -inform DER`; the same expectations hold
// with Windows' encoder (under Wine, differences marked in place) and ours.
#include "certificates/Names.h"
#include "tests/support/TestSupport.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using orvane::tests::Hex;

struct Encoded {
    HRESULT hr;
    std::vector<BYTE> bytes;
};

Encoded Subject(const char* utf8) {
    const WString text = W(utf8);
    std::vector<BYTE> name;
    HRESULT hr = ComposeSubject(text.c_str(), &name);
    if (FAILED(hr))
        return {hr, {}};
    return {hr, name};
}

// RDN fragments used below: SET { SEQUENCE { OID, value } }.
const char* kRdnCountryCN = "310B 3009 0603 550406 1302 434E";
const char* kRdnOrgExample = "3110 300E 0603 55040A 0C07 4578616D706C65";
const char* kRdnCnAlice = "310E 300C 0603 550403 0C05 416C696365";

} // namespace

TEST(SubjectSplit, PiecesAndEmptyPieces) {
    std::vector<WString> pieces;
    ASSERT_EQ(SplidWstr(W("A,,B,"), u',', &pieces), VURO_OK);
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[0], W("A"));
    EXPECT_TRUE(pieces[1].empty());
    EXPECT_EQ(pieces[2], W("B"));
    EXPECT_TRUE(pieces[3].empty()); // a separator at the end gives a final empty piece
    ASSERT_EQ(SplidWstr(W(""), u',', &pieces), VURO_OK);
    EXPECT_TRUE(pieces.empty()) << "an empty text gives no pieces at all";
    EXPECT_EQ(ReplaceWchar(W(" C N "), u' '), W("CN"));
}

TEST(SubjectParse, NamesValuesAndMalformedPieces) {
    std::vector<SubjectPair> pairs;
    ASSERT_EQ(
        ParseSubject(W(" C N = Alice ,cn=b,Cn=c,st=x,S=y,E=a@b,SERIALNUMBER=1,Foo=z"), &pairs),
        VURO_OK);
    ASSERT_EQ(pairs.size(), 8u);
    EXPECT_EQ(pairs[0].strObjectID, "2.5.4.3");
    EXPECT_EQ(pairs[0].wstrValue, W(" Alice ")) << "spaces go from the name only";
    EXPECT_EQ(pairs[1].strObjectID, "2.5.4.3");
    EXPECT_EQ(pairs[2].strObjectID, "2.5.4.3");
    EXPECT_EQ(pairs[3].strObjectID, "2.5.4.8");
    EXPECT_EQ(pairs[4].strObjectID, "2.5.4.8");
    EXPECT_EQ(pairs[5].strObjectID, "1.2.840.113549.1.9.1");
    EXPECT_EQ(pairs[6].strObjectID, "2.5.4.5");
    EXPECT_EQ(pairs[7].strObjectID, "") << "unknown names carry no identifier";
    EXPECT_EQ(GetObjectID(W("jurisdictionOfIncorporationCountryName")), "1.3.6.1.4.1.311.60.2.1.3");
    EXPECT_EQ(GetObjectID(W("businesscategory")), "2.5.4.15");

    for (const char* bad : {"CN=A=B", "CN", "CN=Alice,,O=Example", "CN=Alice,"}) {
        pairs.clear();
        EXPECT_EQ(ParseSubject(W(bad), &pairs), NTE_BAD_DATA) << bad;
        EXPECT_TRUE(pairs.empty()) << bad;
    }
}

TEST(SubjectCompose, EncodedNames) {
    const struct {
        const char* subject;
        std::string der;
    } cases[] = {
        // The attributes reversed, one per RDN; repeats kept, each in its own.
        {"CN=Alice,O=Example,C=CN",
         std::string("302F") + kRdnCountryCN + kRdnOrgExample + kRdnCnAlice},
        {"C=CN,O=Example,CN=Alice",
         std::string("302F") + kRdnCnAlice + kRdnOrgExample + kRdnCountryCN},
        {"CN=Alice,CN=Alice", std::string("3020") + kRdnCnAlice + kRdnCnAlice},
        // The string type follows the attribute: E as IA5String, C as
        // PrintableString.
        {"C=CN,E=a@b.cn", "3024"
                          "3115 3013 0609 2A864886F70D010901 1606 6140622E636E"
                          "310B 3009 0603 550406 1302 434E"},
        // A Chinese common name is UTF8String with its UTF-8 bytes.
        {"CN=张三", "3011 310F 300D 0603 550403 0C06 E5BCA0E4B889"},
        // SERIALNUMBER is PrintableString; S and ST are one attribute.
        {"SERIALNUMBER=42,S=Guangdong", "3021"
                                        "3112 3010 0603 550408 0C09 4775616E67646F6E67"
                                        "310B 3009 0603 550405 1302 3432"},
    };
    for (const auto& c : cases) {
        const Encoded e = Subject(c.subject);
        ASSERT_EQ(e.hr, VURO_OK) << c.subject;
        EXPECT_EQ(e.bytes, Hex(c.der.c_str())) << c.subject;
    }
}

TEST(SubjectCompose, RefusedTextsAndValues) {
    EXPECT_EQ(Subject("CN=A=B").hr, NTE_BAD_DATA);
    EXPECT_EQ(Subject("").hr, E_FAIL) << "an empty name cannot be encoded";
    EXPECT_EQ(Subject("CN=").hr, E_FAIL) << "an empty value has empty content";
    EXPECT_EQ(Subject("CN=,O=x").hr, E_FAIL);
    EXPECT_TRUE(FAILED(Subject("Foo=bar").hr)) << "an unknown name has no identifier";
    // Characters outside the string type are refused by the encoder.
    if (RunningUnderWine()) {
        // Wine checks neither IA5String nor PrintableString characters: it
        // encodes the UTF-8 bytes as they are.
        EXPECT_EQ(Subject("E=张@b.cn").hr, VURO_OK);
        EXPECT_EQ(Subject("C=中国").hr, VURO_OK);
    } else {
        EXPECT_EQ(Subject("E=张@b.cn").hr, CRYPT_E_INVALID_IA5_STRING);
        EXPECT_EQ(Subject("C=中国").hr, CRYPT_E_INVALID_PRINTABLE_STRING);
        EXPECT_EQ(Subject("C=C_N").hr, CRYPT_E_INVALID_PRINTABLE_STRING);
    }
}

TEST(AttributeBuilders, AlgorithmIdentifierBitStringAndAttribute) {
    std::vector<BYTE> out;
    // sha1WithRSAEncryption with NULL parameters.
    ASSERT_EQ(ComposeSpecialAttribute("1.2.840.113549.1.1.5", nullptr, 0, &out), VURO_OK);
    EXPECT_EQ(out, Hex("300D 0609 2A864886F70D010105 0500"));

    const BYTE key[] = {0xAB, 0xCD};
    ASSERT_EQ(ComposeBITString(sizeof(key), key, &out), VURO_OK);
    EXPECT_EQ(out, Hex("0303 00ABCD"));

    // challengePassword attribute holding PrintableString "pw".
    const BYTE value[] = {0x13, 0x02, 'p', 'w'};
    ASSERT_EQ(ComposeStandardAttribute("1.2.840.113549.1.9.7", value, sizeof(value), &out),
              VURO_OK);
    EXPECT_EQ(out, Hex("3011 0609 2A864886F70D010907 3104 13027077"));

    // A value TLV with empty content cannot be re-encoded; the result stays.
    const BYTE empty[] = {0x0C, 0x00};
    EXPECT_EQ(ComposeSpecialAttribute("2.5.4.3", empty, sizeof(empty), &out), E_FAIL);
    EXPECT_EQ(out, Hex("3011 0609 2A864886F70D010907 3104 13027077"));
}

TEST(AttributeBuilders, NowhereToPutTheResultIsRefused) {
    // These once wrote through the null pointers they were given.
    const BYTE value[] = {0x0C, 0x01, 'A'};
    const SubjectPair pair{"2.5.4.3", W("A")};
    const HRESULT results[] = {
        ComposeSpecialAttribute("2.5.4.3", value, sizeof(value), nullptr),
        ComposeSpecialAttribute("2.5.4.3", nullptr, 0, nullptr),
        ComposeSubjectChild(pair, nullptr),
        ComposeSubject(TEXT("CN=A"), nullptr),
        ComposeBITString(sizeof(value), value, nullptr),
        ComposeAnyString(1, CERT_RDN_PRINTABLE_STRING, value + 2, nullptr),
        ComposeObjectIdentifier("2.5.4.3", nullptr),
    };
    for (size_t i = 0; i < std::size(results); ++i)
        EXPECT_EQ(results[i], E_POINTER) << i;
}
