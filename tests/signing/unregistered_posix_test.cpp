// Certificates kept in the containers of the stand-in's vendor tokens (POSIX
// only: under Wine there is no vendor provider to hold them).
#include "selection/UnregisteredCert.h"

#include "tests/signing/SigningTestSupport.h"
#include "tests/support/CertificateBuilder.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using orvane::test::Bytes;
using orvane::test::CertificateFields;

namespace {

const WCHAR kSm2Token[] = TEXT("Orvane Soft SM2 Token CSP v1.0");
const WCHAR kRsaToken[] = TEXT("Orvane Soft RSA Token CSP v1.0");
constexpr ALG_ID kSm2Exchange = 0xBE00;
constexpr ALG_ID kSm2Signature = 0x3E00;

// A container of a token with key pairs whose certificates are kept with
// them; deleted when the test ends.
class TokenContainer {
public:
    TokenContainer(const WCHAR* provider, WString name) : m_provider(provider), m_name(name) {}
    ~TokenContainer() {
        HCRYPTPROV none = 0;
        CryptAcquireContextW(&none, m_name.c_str(), m_provider.c_str(), PROV_RSA_FULL,
                             CRYPT_DELETEKEYSET);
    }
    TokenContainer(const TokenContainer&) = delete;
    TokenContainer& operator=(const TokenContainer&) = delete;

    // AddKey: a key pair of dwKeySpec and, unless fields is null, its
    // certificate set on the key. Use with ASSERT_NO_FATAL_FAILURE.
    void AddKey(DWORD dwKeySpec, const CertificateFields* fields) {
        UniqueProvider prov;
        // The first key makes the container; later ones open it.
        const bool exists = CryptAcquireContextW(prov.put(), m_name.c_str(), m_provider.c_str(),
                                                 PROV_RSA_FULL, 0) != FALSE;
        if (!exists) {
            ASSERT_TRUE(CryptAcquireContextW(prov.put(), m_name.c_str(), m_provider.c_str(),
                                             PROV_RSA_FULL, CRYPT_NEWKEYSET))
                << std::hex << GetLastError();
        }
        const bool sm2 = m_provider == kSm2Token;
        const ALG_ID alg =
            sm2 ? (dwKeySpec == AT_KEYEXCHANGE ? kSm2Exchange : kSm2Signature) : dwKeySpec;
        UniqueKey key;
        ASSERT_TRUE(CryptGenKey(prov.get(), alg, sm2 ? 0 : 1024u << 16, key.put()))
            << std::hex << GetLastError();
        if (fields == nullptr)
            return;
        CertificateFields withKey = *fields;
        withKey.publicKeyInfo = orvane::test::ExportPublicKeyInfo(prov.get(), dwKeySpec);
        ASSERT_FALSE(withKey.publicKeyInfo.empty()) << std::hex << GetLastError();
        const Bytes der = orvane::test::BuildCertificate(withKey);
        ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, der.data(), 0))
            << std::hex << GetLastError();
        (dwKeySpec == AT_KEYEXCHANGE ? m_exchange : m_signature) = der;
    }

    const WString& Name() const { return m_name; }
    const WString& Provider() const { return m_provider; }
    const Bytes& Certificate(DWORD dwKeySpec) const {
        return dwKeySpec == AT_KEYEXCHANGE ? m_exchange : m_signature;
    }

private:
    WString m_provider;
    WString m_name;
    Bytes m_exchange, m_signature;
};

CertificateFields Fields(const WString& commonName, const char* algorithm, BYTE usage,
                         BYTE serial) {
    CertificateFields fields;
    fields.subject = {{"2.5.4.6", "CN"}, CommonName(commonName)};
    fields.signatureAlgorithm = algorithm;
    fields.keyUsage = Bytes{0x00, usage};
    fields.serial = {serial};
    return fields;
}

struct Found {
    std::string csp, container;
    DWORD keySpec;
    Bytes encoded;
    bool operator==(const Found&) const = default;
};

std::vector<Found> Describe(const UnregisteredCertList& list) {
    std::vector<Found> out;
    for (const UniqueUnregisteredCertContext& r : list) {
        const PCCERT_CONTEXT cert = r.get()->pCertContext;
        out.push_back({U8(r.get()->wszCSPName), U8(r.get()->wszContainerName), r.get()->dwKeySpec,
                       Bytes(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded)});
    }
    return out;
}

class TokenCertificates : public ::testing::Test {
protected:
    void SetUp() override {
        m_marker = UniqueMarker();
        m_sm2 = std::make_unique<TokenContainer>(kSm2Token, W("sm2-") + m_marker);
        m_rsa = std::make_unique<TokenContainer>(kRsaToken, W("rsa-") + m_marker);
        const CertificateFields sm2Exchange =
            Fields(W("SM2 exchange ") + m_marker, "1.2.156.10197.1.501", 0x20, 0x01);
        const CertificateFields sm2Signature =
            Fields(W("SM2 signature ") + m_marker, "1.2.156.10197.1.501", 0x80, 0x02);
        const CertificateFields rsaExchange =
            Fields(W("RSA exchange ") + m_marker, "1.2.840.113549.1.1.5", 0x20, 0x03);
        const CertificateFields rsaSignature =
            Fields(W("RSA signature ") + m_marker, "1.2.840.113549.1.1.5", 0xC0, 0x04);
        ASSERT_NO_FATAL_FAILURE(m_sm2->AddKey(AT_KEYEXCHANGE, &sm2Exchange));
        ASSERT_NO_FATAL_FAILURE(m_sm2->AddKey(AT_SIGNATURE, &sm2Signature));
        ASSERT_NO_FATAL_FAILURE(m_rsa->AddKey(AT_KEYEXCHANGE, &rsaExchange));
        ASSERT_NO_FATAL_FAILURE(m_rsa->AddKey(AT_SIGNATURE, &rsaSignature));
        // The RSA token registers its certificates in "MY"; with those
        // entries removed (as a user may), they are container certificates.
        for (DWORD keySpec : {DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)})
            ASSERT_EQ(RemoveFromMy(m_rsa->Certificate(keySpec)), 1u);
    }

    // RemoveFromMy: deletes the personal store's copies of der; how many.
    static size_t RemoveFromMy(const Bytes& der) {
        UniqueStore my(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                                     TEXT("MY")));
        std::vector<UniqueCertContext> copies;
        for (PCCERT_CONTEXT p = CertEnumCertificatesInStore(my.get(), nullptr); p != nullptr;
             p = CertEnumCertificatesInStore(my.get(), p))
            if (Bytes(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded) == der)
                copies.emplace_back(CertDuplicateCertificateContext(p));
        for (UniqueCertContext& copy : copies)
            EXPECT_TRUE(CertDeleteCertificateFromStore(copy.release()));
        return copies.size();
    }

    Found Expect(const TokenContainer& c, DWORD keySpec) const {
        return {U8(c.Provider()), U8(c.Name()), keySpec, c.Certificate(keySpec)};
    }

    std::vector<Found> Search(const WCHAR* csps, CERTIFICATE_FILTER filter) const {
        if (filter.pwszSubjectDN == nullptr)
            filter.pwszSubjectDN = m_marker.c_str();
        UnregisteredCertList list;
        EXPECT_EQ(FilterUnregisteredCertificatesfromCSP(csps, &filter, list), VURO_OK);
        return Describe(list);
    }

    WString m_marker;
    std::unique_ptr<TokenContainer> m_sm2, m_rsa;
};

TEST_F(TokenCertificates, FoundForBothKeySpecsWithTheirProviderAndContainer) {
    // Every installed provider: the tokens in the provider table's order,
    // exchange pair before signature pair.
    const std::vector<Found> all = {Expect(*m_sm2, AT_KEYEXCHANGE), Expect(*m_sm2, AT_SIGNATURE),
                                    Expect(*m_rsa, AT_KEYEXCHANGE), Expect(*m_rsa, AT_SIGNATURE)};
    EXPECT_EQ(Search(nullptr, Filter()), all);
    // Named providers, in the order named.
    const std::vector<Found> rsaFirst = {
        Expect(*m_rsa, AT_KEYEXCHANGE), Expect(*m_rsa, AT_SIGNATURE),
        Expect(*m_sm2, AT_KEYEXCHANGE), Expect(*m_sm2, AT_SIGNATURE)};
    EXPECT_EQ(
        Search(TEXT("Orvane Soft RSA Token CSP v1.0||Orvane Soft SM2 Token CSP v1.0"), Filter()),
        rsaFirst);
}

TEST_F(TokenCertificates, FilterChecksOneToSevenApply) {
    const FILETIME y2045 = UtcYear(2045);
    const WString exchange = W("exchange ") + m_marker;
    struct Case {
        const char* what;
        const WCHAR* csps;
        CERTIFICATE_FILTER filter;
        std::vector<std::pair<TokenContainer*, DWORD>> found;
    } const cases[] = {
        {"SM2 signing certificates",
         nullptr,
         Filter().Usage(0x80).Algorithm("1.2.156.10197"),
         {{m_sm2.get(), AT_SIGNATURE}}},
        {"RSA family",
         nullptr,
         Filter().Algorithm("1.2.840.113549"),
         {{m_rsa.get(), AT_KEYEXCHANGE}, {m_rsa.get(), AT_SIGNATURE}}},
        {"serial", nullptr, Filter().Serial(TEXT("02")), {{m_sm2.get(), AT_SIGNATURE}}},
        {"subject alternatives",
         nullptr,
         Filter().Subject(exchange.c_str()),
         {{m_sm2.get(), AT_KEYEXCHANGE}, {m_rsa.get(), AT_KEYEXCHANGE}}},
        {"validity", nullptr, Filter().Time(&y2045), {}},
        // Neither the provider filter nor the private-key condition applies
        // to container certificates: the provider is the one searched.
        {"provider and key conditions are not checked",
         kSm2Token,
         Filter().Csp(TEXT("no such provider")).PrivateKey(1),
         {{m_sm2.get(), AT_KEYEXCHANGE}, {m_sm2.get(), AT_SIGNATURE}}},
        {"Microsoft providers are skipped",
         TEXT("Microsoft Enhanced Cryptographic Provider v1.0||Orvane Soft RSA Token CSP v1.0"),
         Filter(),
         {{m_rsa.get(), AT_KEYEXCHANGE}, {m_rsa.get(), AT_SIGNATURE}}},
    };
    for (const Case& c : cases) {
        std::vector<Found> expected;
        for (const auto& [container, keySpec] : c.found)
            expected.push_back(Expect(*container, keySpec));
        EXPECT_EQ(Search(c.csps, c.filter), expected) << c.what;
    }
}

TEST_F(TokenCertificates, ACertificateLinkedToItsKeyIsNotUnregistered) {
    // The SM2 signing certificate also sits in the personal store, linked to
    // its container, as a token's middleware may register it.
    const Bytes& der = m_sm2->Certificate(AT_SIGNATURE);
    UniqueStore my(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, TEXT("MY")));
    ASSERT_TRUE(my);
    PCCERT_CONTEXT raw = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(my.get(), X509_ASN_ENCODING, der.data(),
                                                 DWORD(der.size()), CERT_STORE_ADD_NEW, &raw));
    UniqueCertContext registered(raw);
    WString container = m_sm2->Name(), provider = kSm2Token;
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 0,
                             nullptr,          AT_SIGNATURE};
    ASSERT_TRUE(
        CertSetCertificateContextProperty(registered.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));

    UniqueUnregisteredCertContext record;
    EXPECT_EQ(GetUnregisteredCertfromContainer(kSm2Token, m_sm2->Name().c_str(), AT_SIGNATURE,
                                               record.put()),
              VURO_E_CONTAINER_CERT_LINKED);
    EXPECT_FALSE(record);
    EXPECT_EQ(Search(kSm2Token, Filter()), std::vector<Found>{Expect(*m_sm2, AT_KEYEXCHANGE)});

    // Once the store forgets it, it is a container certificate again.
    ASSERT_TRUE(CertDeleteCertificateFromStore(registered.release()));
    EXPECT_EQ(GetUnregisteredCertfromContainer(kSm2Token, m_sm2->Name().c_str(), AT_SIGNATURE,
                                               record.put()),
              VURO_OK);
}

TEST_F(TokenCertificates, TheRsaTokensOwnStoreEntriesAreNotOfferedAgain) {
    // A fresh RSA token container keeps its "MY" entries: both certificates
    // reach their keys through the store, so the container search skips them.
    TokenContainer rsa(kRsaToken, W("rsa2-") + m_marker);
    const CertificateFields fields =
        Fields(W("RSA registered ") + m_marker, "1.2.840.113549.1.1.5", 0x80, 0x05);
    ASSERT_NO_FATAL_FAILURE(rsa.AddKey(AT_SIGNATURE, &fields));
    UniqueUnregisteredCertContext record;
    EXPECT_EQ(
        GetUnregisteredCertfromContainer(kRsaToken, rsa.Name().c_str(), AT_SIGNATURE, record.put()),
        VURO_E_CONTAINER_CERT_LINKED);
    EXPECT_EQ(Search(kRsaToken, Filter()),
              (std::vector<Found>{Expect(*m_rsa, AT_KEYEXCHANGE), Expect(*m_rsa, AT_SIGNATURE)}));
    EXPECT_EQ(RemoveFromMy(rsa.Certificate(AT_SIGNATURE)), 1u);
}

TEST(TokenContainers, WithoutKeyOrCertificateNothingIsFound) {
    const WString marker = UniqueMarker();
    TokenContainer keyOnly(kSm2Token, W("keyonly-") + marker);
    ASSERT_NO_FATAL_FAILURE(keyOnly.AddKey(AT_SIGNATURE, nullptr));
    struct Case {
        const char* what;
        const WCHAR* container;
        DWORD keySpec;
        HRESULT result;
    } const cases[] = {
        {"a key without certificate", keyOnly.Name().c_str(), AT_SIGNATURE, HRESULT(NTE_NOT_FOUND)},
        {"no key of that kind", keyOnly.Name().c_str(), AT_KEYEXCHANGE, HRESULT(NTE_NO_KEY)},
        {"no such container", TEXT("no-such-container"), AT_SIGNATURE, HRESULT(NTE_BAD_KEYSET)},
    };
    for (const Case& c : cases) {
        UniqueUnregisteredCertContext record;
        EXPECT_EQ(GetUnregisteredCertfromContainer(kSm2Token, c.container, c.keySpec, record.put()),
                  c.result)
            << c.what;
        EXPECT_FALSE(record) << c.what;
    }
    UnregisteredCertList list;
    const CERTIFICATE_FILTER filter = Filter().Subject(marker.c_str());
    EXPECT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(kSm2Token, &filter, list), VURO_OK);
    EXPECT_TRUE(list.empty());
    // A provider that is not installed contributes nothing and is no failure
    // of the whole search.
    EXPECT_NE(FilterUnregisteredCertificatesfromSpecifiedCSP(TEXT("No Such CSP"), &filter, list),
              VURO_OK);
    EXPECT_EQ(FilterUnregisteredCertificatesfromCSP(TEXT("No Such CSP"), &filter, list), VURO_OK);
    EXPECT_TRUE(list.empty());
}

// The stand-in tokens report the size of the first container name, not of
// the longest: a later, longer name must not end the list.
TEST(TokenContainers, ALongerNameLaterInTheListIsStillRead) {
    const WString marker = UniqueMarker();
    // Names sort by their text: the short one comes first, the long one last.
    TokenContainer shortName(kSm2Token, W("0-") + marker);
    TokenContainer longName(kSm2Token, W("z-") + marker + WString(200, TEXT('x')));
    const CertificateFields fields =
        Fields(W("Long list ") + marker, "1.2.156.10197.1.501", 0x80, 9);
    ASSERT_NO_FATAL_FAILURE(shortName.AddKey(AT_SIGNATURE, &fields));
    ASSERT_NO_FATAL_FAILURE(longName.AddKey(AT_SIGNATURE, &fields));
    UnregisteredCertList list;
    const CERTIFICATE_FILTER filter = Filter().Subject(marker.c_str());
    ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(kSm2Token, &filter, list), VURO_OK);
    std::vector<std::string> containers;
    for (const UniqueUnregisteredCertContext& r : list)
        containers.push_back(U8(r.get()->wszContainerName));
    EXPECT_EQ(containers, (std::vector<std::string>{U8(shortName.Name()), U8(longName.Name())}));
}

} // namespace
