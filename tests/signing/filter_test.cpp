// The filter engine on both targets (under Wine: Wine's crypt32 decodes the
// certificates, formats their names and keeps the personal store).
#include "selection/CertificateFilter.h"

#include "tests/signing/SigningTestSupport.h"
#include "tests/support/CertificateBuilder.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using orvane::test::Bytes;
using orvane::test::CertificateFields;

namespace {

std::vector<std::string> U8List(const TextList& list) {
    std::vector<std::string> out;
    for (const WString& s : list)
        out.push_back(U8(s));
    return out;
}

// --- splitting and hexadecimal text ----------------------------------------

// The two splitters over the same kinds of text: ParseFilters cuts filter
// alternatives at every "#", SplitStrings provider names at "||".
TEST(FilterText, SplittersCutWhereTheirSeparatorSays) {
    using Split = HRESULT (*)(LPCWSTR, TextList&);
    const std::string longText(300, 'x');
    const struct {
        const char* what;
        Split split;
        const char* text; // null: a null text
        std::vector<std::string> pieces;
    } cases[] = {
        {"ParseFilters", ParseFilters, nullptr, {}},
        {"ParseFilters", ParseFilters, "", {""}},      // one empty alternative: admits all
        {"ParseFilters", ParseFilters, "#", {"", ""}}, // two empty alternatives
        {"ParseFilters", ParseFilters, "Alice#Bob", {"Alice", "Bob"}},
        {"ParseFilters", ParseFilters, "a##b#", {"a", "", "b", ""}}, // empty pieces stay
        {"ParseFilters", ParseFilters, "CN=a, O=b#O=c", {"CN=a, O=b", "O=c"}},
        {"ParseFilters", ParseFilters, longText.c_str(), {std::string(255, 'x')}}, // cut to 255
        {"SplitStrings", SplitStrings, nullptr, {}},
        {"SplitStrings", SplitStrings, "", {}}, // an empty text names nothing
        {"SplitStrings", SplitStrings, "A||B", {"A", "B"}},
        {"SplitStrings", SplitStrings, "||A", {}},              // a leading separator ends at once
        {"SplitStrings", SplitStrings, "A||||B", {"A"}},        // two adjacent separators end it
        {"SplitStrings", SplitStrings, "A||", {"A"}},           // a trailing separator adds nothing
        {"SplitStrings", SplitStrings, "A|B", {"A|B"}},         // one bar is no separator
        {"SplitStrings", SplitStrings, "A|||B", {"A", "|B"}},   // the first two bars separate
        {"SplitStrings", SplitStrings, "A#B||C", {"A#B", "C"}}, // "#" means nothing here
        {"SplitStrings", SplitStrings, longText.c_str(), {longText}}, // not cut
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + (c.text != nullptr ? c.text : "(null)"));
        TextList list;
        const WString text = c.text != nullptr ? W(c.text) : WString();
        ASSERT_EQ(c.split(c.text != nullptr ? text.c_str() : nullptr, list), VURO_OK);
        EXPECT_EQ(U8List(list), c.pieces);
    }
    // Pieces are appended to what the list holds.
    TextList list{W("kept")};
    ASSERT_EQ(ParseFilters(TEXT("a#b"), list), VURO_OK);
    EXPECT_EQ(U8List(list), (std::vector<std::string>{"kept", "a", "b"}));
}

TEST(FilterText, HexadecimalTextIsReadFromTheEnd) {
    struct Case {
        const char* text;
        HRESULT result;
        Bytes bytes; // least significant (last pair) first
    } const cases[] = {
        {"0A1B", VURO_OK, {0x1B, 0x0A}},
        {"0a1b", VURO_OK, {0x1B, 0x0A}},                // either letter case
        {"008A1B", VURO_OK, {0x1B, 0x8A, 0x00}},        // a leading 00 is a byte
        {"fF", VURO_OK, {0xFF}},                        //
        {"", VURO_OK, {}},                              // no digits, no bytes
        {"ABC", E_INVALIDARG, {}},                      // odd length
        {"0G", E_INVALIDARG, {}},                       // not a digit
        {"0A 1B", E_INVALIDARG, {}},                    // separators are not digits
        {"0x0A", E_INVALIDARG, {}},                     // nor is a prefix
        {"\xEF\xBC\x90\xEF\xBC\x91", E_INVALIDARG, {}}, // full-width digits
    };
    for (const Case& c : cases) {
        const WString text = W(c.text);
        const Bytes untouched = {0xDE, 0xAD};
        Bytes out = untouched;
        const HRESULT hr = ConvertStringToBinaryData(text.c_str(), &out);
        EXPECT_EQ(hr, c.result) << c.text;
        if (FAILED(hr)) {
            // Out-parameters are set only on success.
            EXPECT_EQ(out, untouched) << c.text;
            continue;
        }
        EXPECT_EQ(out, c.bytes) << c.text;
    }
    Bytes out;
    EXPECT_EQ(ConvertStringToBinaryData(nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(ConvertStringToBinaryData(TEXT("00"), nullptr), E_POINTER);
}

// --- the checks over certificates made to measure ---------------------------

constexpr char kCountry[] = "2.5.4.6";
constexpr char kOrg[] = "2.5.4.10";
constexpr char kCommonName[] = "2.5.4.3";

// Three holders that differ in every field a filter reads.
class FilterCertificatesTest : public ::testing::Test {
protected:
    void SetUp() override {
        CertificateFields alice;
        alice.subject = {{kCountry, "CN"}, {kOrg, "Example"}, {kCommonName, "Alice"}};
        alice.issuer = {{kCountry, "CN"}, {kCommonName, "Root RSA"}};
        alice.serial = {0x0A, 0x1B};
        alice.keyUsage = Bytes{0x07, 0x80}; // digitalSignature
        alice.subjectKeyId = Bytes{0x01, 0x02, 0x03, 0x04};
        alice.signatureAlgorithm = "1.2.840.113549.1.1.5";
        Add("alice", alice);

        CertificateFields bob;
        bob.subject = {{kCountry, "US"}, {kOrg, "Other"}, {kCommonName, "Bob Smith"}};
        bob.issuer = {{kCountry, "CN"}, {kCommonName, "Root SM2"}};
        bob.serial = {0x00, 0x8A, 0x1B};  // positive with the top bit set: a leading 00
        bob.keyUsage = Bytes{0x05, 0x20}; // keyEncipherment only
        bob.signatureAlgorithm = "1.2.156.10197.1.501";
        Add("bob", bob);

        CertificateFields carol;
        carol.subject = {{kCommonName, "Carol"}};
        carol.issuer = {{kCountry, "CN"}, {kCommonName, "Root RSA"}};
        carol.serial = {0x7F};
        carol.keyUsage.reset();
        carol.subjectKeyId = Bytes{0xAA, 0xBB};
        carol.signatureAlgorithm = "1.2.840.113549.1.1.11";
        carol.notBefore = "20000101000000";
        carol.notAfter = "20100101000000";
        Add("carol", carol);
    }

    void Add(const std::string& name, const CertificateFields& fields) {
        const Bytes der = orvane::test::BuildCertificate(fields);
        PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                           der.data(), DWORD(der.size()));
        ASSERT_NE(cert, nullptr) << name << " " << std::hex << GetLastError();
        m_names[cert] = name;
        m_certs.emplace_back(cert);
    }

    PCCERT_CONTEXT Cert(const std::string& name) const {
        for (const auto& [cert, n] : m_names)
            if (n == name)
                return cert;
        return nullptr;
    }

    // The names of the certificates that pass, in the order they come out.
    std::vector<std::string> Passing(const CERTIFICATE_FILTER* pFilter) {
        CertificateList out;
        EXPECT_EQ(FilterCertificates(pFilter, out, m_certs), VURO_OK);
        std::vector<std::string> names;
        for (const UniqueCertContext& c : out)
            names.push_back(m_names.count(c.get()) ? m_names[c.get()] : "?");
        return names;
    }

    CertificateList m_certs;
    std::map<PCCERT_CONTEXT, std::string> m_names;
};

using Names = std::vector<std::string>;

TEST_F(FilterCertificatesTest, EachFieldAdmitsWhatItShould) {
    const FILETIME in2030 = UtcYear(2030), in2005 = UtcYear(2005), in2045 = UtcYear(2045);
    struct Case {
        const char* what;
        CERTIFICATE_FILTER filter;
        Names passing;
    };
    const Case cases[] = {
        {"empty filter", Filter(), {"alice", "bob", "carol"}},
        {"two alternatives, any case", Filter().Subject(TEXT("alice#BOB")), {"alice", "bob"}},
        {"# alone: two empty alternatives", Filter().Subject(TEXT("#")), {"alice", "bob", "carol"}},
        {"empty text: one empty alternative",
         Filter().Subject(TEXT("")),
         {"alice", "bob", "carol"}},
        {"most specific part first", Filter().Subject(TEXT("cn=alice, o=example")), {"alice"}},
        {"the trailing parts of a name", Filter().Subject(TEXT("O=Example, C=CN")), {"alice"}},
        {"parts in certificate order do not occur", Filter().Subject(TEXT("C=CN, O=Example")), {}},
        {"issuer", Filter().Issuer(TEXT("Root SM2")), {"bob"}},
        {"issuer and subject together",
         Filter().Subject(TEXT("Carol#Alice")).Issuer(TEXT("ROOT RSA")),
         {"alice", "carol"}},
        {"serial as displayed", Filter().Serial(TEXT("0A1B")), {"alice"}},
        {"serial in lower case", Filter().Serial(TEXT("0a1b")), {"alice"}},
        {"serial without its leading 00", Filter().Serial(TEXT("8A1B")), {}},
        {"serial with its leading 00", Filter().Serial(TEXT("008A1B")), {"bob"}},
        {"serial of odd length", Filter().Serial(TEXT("A1B")), {}},
        {"serial with a bad character", Filter().Serial(TEXT("0G1B")), {}},
        {"serial empty: no condition", Filter().Serial(TEXT("")), {"alice", "bob", "carol"}},
        {"key usage 0x80", Filter().Usage(0x80), {"alice"}},
        {"key usage 0x20", Filter().Usage(0x20), {"bob"}},
        {"key usage 0xA0: one shared bit suffices", Filter().Usage(0xA0), {"alice", "bob"}},
        {"key identifier as displayed", Filter().KeyId(TEXT("01020304")), {"alice"}},
        {"key identifier reversed", Filter().KeyId(TEXT("04030201")), {}},
        {"key identifier too short", Filter().KeyId(TEXT("0102")), {}},
        {"key identifier in lower case", Filter().KeyId(TEXT("aabb")), {"carol"}},
        {"RSA family", Filter().Algorithm("1.2.840.113549"), {"alice", "carol"}},
        {"SM2 family", Filter().Algorithm("1.2.156.10197"), {"bob"}},
        {"a whole identifier", Filter().Algorithm("1.2.840.113549.1.1.5"), {"alice"}},
        {"no dot boundary is demanded", Filter().Algorithm("1.2.840.11354"), {"alice", "carol"}},
        {"valid in 2030", Filter().Time(&in2030), {"alice", "bob"}},
        {"valid in 2005", Filter().Time(&in2005), {"carol"}},
        {"valid in 2045", Filter().Time(&in2045), {}},
        {"a leading separator names no provider",
         Filter().Csp(TEXT("||Orvane")),
         {"alice", "bob", "carol"}},
        {"a provider demands a key link", Filter().Csp(TEXT("Orvane")), {}},
        {"private key checked only when exactly 1",
         Filter().PrivateKey(2),
         {"alice", "bob", "carol"}},
        {"no certificate here reaches a key", Filter().PrivateKey(1), {}},
        {"every condition at once",
         Filter()
             .Subject(TEXT("ALICE"))
             .Issuer(TEXT("Root"))
             .KeyId(TEXT("01020304"))
             .Serial(TEXT("0A1B"))
             .Usage(0x80)
             .Algorithm("1.2.840.113549")
             .Time(&in2030),
         {"alice"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Passing(&c.filter), c.passing) << c.what;
    // A null filter is the empty one, and the input stays as it was.
    EXPECT_EQ(Passing(nullptr), (Names{"alice", "bob", "carol"}));
    EXPECT_EQ(m_certs.size(), 3u);
}

TEST_F(FilterCertificatesTest, ChecksSayWhyACertificateFails) {
    PCCERT_CONTEXT alice = Cert("alice"), bob = Cert("bob"), carol = Cert("carol");
    const FILETIME in2045 = UtcYear(2045);
    struct Case {
        const char* what;
        HRESULT got;
        HRESULT expected;
    } const cases[] = {
        {"subject", CheckCertSubjectName(alice, {W("Bob")}), E_FAIL},
        {"issuer", CheckCertIssuer(alice, {W("SM2")}), E_FAIL},
        {"no key usage", CheckCertKeyUsage(carol, 0x80), VURO_E_NO_KEY_USAGE},
        {"usage without the bit", CheckCertKeyUsage(bob, 0x80), VURO_E_INVALID_CERT_USAGE},
        {"mask beyond the first byte", CheckCertKeyUsage(alice, 0x8000), VURO_E_INVALID_CERT_USAGE},
        {"no key identifier", CheckCertSubjectKeyID(bob, TEXT("01")), VURO_E_NO_SUBJECT_KEY_ID},
        {"malformed key identifier", CheckCertSubjectKeyID(alice, TEXT("123")), E_INVALIDARG},
        {"other key identifier", CheckCertSubjectKeyID(alice, TEXT("01020305")), E_FAIL},
        {"malformed serial", CheckCertSerialNumber(alice, TEXT("XY")), E_INVALIDARG},
        {"other serial", CheckCertSerialNumber(alice, TEXT("0A1C")), E_FAIL},
        {"expired", CheckCertTimeValidity(alice, &in2045), E_FAIL},
        {"algorithm", CheckCertSignatureAlg(bob, "1.2.840.113549"), E_FAIL},
        {"no key-provider property", CheckCSPName(alice, {W("Orvane")}), CRYPT_E_NOT_FOUND},
        {"no certificate", CheckCertSubjectName(nullptr, {}), E_INVALIDARG},
        {"passes", CheckCertSerialNumber(bob, TEXT("008a1b")), VURO_OK},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.expected) << c.what;
}

TEST_F(FilterCertificatesTest, ResultsAreAppendedAndInputStaysTheCallers) {
    CertificateList out;
    out.emplace_back(CertDuplicateCertificateContext(Cert("carol")));
    const CERTIFICATE_FILTER filter = Filter().Subject(TEXT("Alice"));
    ASSERT_EQ(FilterCertificates(&filter, out, m_certs), VURO_OK);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].get(), Cert("carol"));
    EXPECT_EQ(out[1].get(), Cert("alice"));
    // Each element holds its own reference: the input may go first.
    m_certs.clear();
    m_names.clear();
    EXPECT_EQ(CommonNameWord(out[1].get()), "Alice");
}

// --- stores -----------------------------------------------------------------

TEST(ExtractCertificates, KeepsTheStoreOrderAndAppends) {
    UniqueStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    ASSERT_TRUE(store);
    for (BYTE serial : {0x11, 0x22, 0x33}) {
        CertificateFields fields;
        fields.serial = {serial};
        const Bytes der = orvane::test::BuildCertificate(fields);
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                                     DWORD(der.size()), CERT_STORE_ADD_ALWAYS,
                                                     nullptr));
    }
    // The store's own order (Wine's memory stores hand out the newest first).
    std::vector<BYTE> order;
    PCCERT_CONTEXT walk = nullptr;
    while ((walk = CertEnumCertificatesInStore(store.get(), walk)) != nullptr)
        order.push_back(walk->pCertInfo->SerialNumber.pbData[0]);
    ASSERT_EQ(order.size(), 3u);

    CertificateList list;
    ASSERT_EQ(ExtractCertificatesFromStore(store.get(), list), VURO_OK);
    ASSERT_EQ(ExtractCertificatesFromStore(store.get(), list), VURO_OK);
    ASSERT_EQ(list.size(), 6u);
    for (size_t i = 0; i < list.size(); ++i)
        EXPECT_EQ(list[i].get()->pCertInfo->SerialNumber.pbData[0], order[i % 3]) << i;
    // Closing the store leaves the references with the list.
    store.reset();
    EXPECT_EQ(list[2].get()->pCertInfo->SerialNumber.pbData[0], order[2]);

    EXPECT_EQ(ExtractCertificatesFromStore(nullptr, list), E_INVALIDARG);
    EXPECT_TRUE(list.empty()); // a failure leaves the list empty
}

// The personal store with keys behind two certificates, one of whose
// containers is deleted: the private-key and provider checks against the
// system's key links (under Wine: Wine's rsaenh and its "MY" store).
TEST(FilterLocalStore, PrivateKeyAndProviderConditions) {
    const WString marker = UniqueMarker();
    LinkedCertificate kept, orphaned;
    ASSERT_NO_FATAL_FAILURE(kept.Create(W("Kept ") + marker, AT_SIGNATURE));
    ASSERT_NO_FATAL_FAILURE(orphaned.Create(W("Orphaned ") + marker, AT_SIGNATURE));
    // An unlinked certificate of the same holder, beside them in the store.
    ASSERT_NO_FATAL_FAILURE(kept.AddUnlinkedNeighbour(W("Unlinked ") + marker));
    orphaned.DeleteContainer();

    struct Case {
        const char* what;
        const WCHAR* csp;
        BOOL privateKey;
        Names passing;
    } const cases[] = {
        {"key required", nullptr, 1, {"Kept"}},
        {"no key condition", nullptr, 0, {"Kept", "Orphaned", "Unlinked"}},
        {"provider by a piece of its name",
         TEXT("enhanced CRYPTOGRAPHIC"),
         0,
         {"Kept", "Orphaned"}},
        {"second of two providers",
         TEXT("Orvane Soft SM2||Microsoft Enhanced"),
         0,
         {"Kept", "Orphaned"}},
        {"another provider", TEXT("Orvane Soft SM2"), 0, {}},
        {"provider and key", TEXT("Microsoft"), 1, {"Kept"}},
    };
    for (const Case& c : cases) {
        const CERTIFICATE_FILTER filter =
            Filter().Subject(marker.c_str()).Csp(c.csp).PrivateKey(c.privateKey);
        CertificateList out;
        ASSERT_EQ(FilterCertificatesfromLocalStore(&filter, out), VURO_OK) << c.what;
        Names names;
        for (const UniqueCertContext& cert : out)
            names.push_back(CommonNameWord(cert.get()));
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.passing) << c.what;
    }
}

} // namespace
