// Withdrawn-certificate removal against the machine's and the user's "CA"
// stores and the root store's registry entries, with the demo authority's
// withdrawn hierarchy installed first.
#include "chain/CertificateChainDelete.h"
#include "tests/chain/ChainTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tools/chaindoc/ChainDocument.h"

#include <gtest/gtest.h>

namespace {

constexpr DWORD kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;
constexpr DWORD kUser = CERT_SYSTEM_STORE_CURRENT_USER;

bool IsRootFile(const char* pszFile) {
    return std::string(pszFile).find("root") != std::string::npos;
}

void InstallAll(const char* const* files, size_t count) {
    for (size_t i = 0; i < count; ++i)
        ASSERT_TRUE(InstallWithdrawn(files[i])) << files[i];
}

size_t Count(const std::multiset<std::string>& subjects, const std::string& strPart) {
    size_t n = 0;
    for (const std::string& s : subjects)
        n += s.find(strPart) != std::string::npos ? 1 : 0;
    return n;
}

class ChainDelete : public ::testing::Test {
protected:
    void SetUp() override { ResetMachine(); }
    void TearDown() override { ResetMachine(); }
};

} // namespace

#ifdef ORVANE_CHAIN_IS_DEMO
TEST(ChainTables, BuiltInTablesNameTheDemoWithdrawnHierarchyInOrder) {
    const struct {
        std::span<const WITHDRAWN_CERT> table;
        const char* const* files;
        size_t count;
    } tables[] = {{RsaWithdrawnCertificates(), kWithdrawnRsaFiles, 9},
                  {Sm2WithdrawnCertificates(), kWithdrawnSm2Files, 8}};
    for (const auto& t : tables) {
        ASSERT_EQ(t.table.size(), t.count);
        for (size_t i = 0; i < t.count; ++i) {
            const WITHDRAWN_CERT& row = t.table[i];
            const Bytes cert = DemoCertificate(t.files[i]);
            EXPECT_EQ(row.eKind == WITHDRAWN_KIND::Root, IsRootFile(t.files[i])) << t.files[i];
            EXPECT_EQ(U8(row.pwszSubjectDN), SubjectOf(cert)) << t.files[i];
            if (row.eKind == WITHDRAWN_KIND::Root) {
                EXPECT_EQ(U8(row.pwszThumbprint), ThumbprintOf(cert)) << t.files[i];
            }
        }
    }
}

TEST_F(ChainDelete, BothTablesRemoveTheWithdrawnHierarchyFromEveryStore) {
    InstallAll(kWithdrawnRsaFiles, 9);
    InstallAll(kWithdrawnSm2Files, 8);
    ASSERT_EQ(CaSubjects(kMachine).size(), 17u);
    ASSERT_EQ(CaSubjects(kUser).size(), 10u);
    ASSERT_EQ(RootEntryThumbprints().size(), 7u);

    EXPECT_EQ(DeleteRSADiscardCert(), S_OK);
    EXPECT_EQ(Count(CaSubjects(kMachine), "RSA"), 0u);
    EXPECT_EQ(Count(CaSubjects(kUser), "RSA"), 0u);
    EXPECT_EQ(CaSubjects(kMachine).size(), 8u); // the SM2 rows are the other table's
    EXPECT_EQ(RootEntryThumbprints().size(), 3u);

    EXPECT_EQ(DeleteSM2DiscardCert(), S_OK);
    EXPECT_TRUE(CaSubjects(kMachine).empty());
    EXPECT_TRUE(CaSubjects(kUser).empty());
    EXPECT_TRUE(RootEntryThumbprints().empty());

    // A second run finds nothing; each root row reports its missing entry.
    EXPECT_EQ(DeleteRSADiscardCert(), S_OK);
    for (const WITHDRAWN_CERT& row : Sm2WithdrawnCertificates()) {
        const HRESULT hr =
            row.eKind == WITHDRAWN_KIND::Root
                ? DeleteTrustedRootCert(row.pwszIssuerDN, row.pwszThumbprint, row.pwszSerialNumber,
                                        row.pwszSubjectDN)
                : DeleteIntermediateCert(row.pwszIssuerDN, row.pwszSerialNumber, row.pwszSubjectDN);
        EXPECT_EQ(hr, row.eKind == WITHDRAWN_KIND::Root ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
                                                        : S_OK)
            << U8(row.pwszSubjectDN);
    }
}

TEST_F(ChainDelete, ARowMatchesLongerNamesButNotOtherSerials) {
    InstallAll(kWithdrawnRsaFiles, 1); // withdrawn CA 1
    const Bytes longer = DemoCertificate("w-rsa-ca-1-longer-subject");
    const Bytes otherSerial = DemoCertificate("w-rsa-ca-1-other-serial");
    ASSERT_TRUE(AddToStore(kMachine, TEXT("CA"), longer));
    ASSERT_TRUE(AddToStore(kMachine, TEXT("CA"), otherSerial));
    ASSERT_EQ(CaSubjects(kMachine).size(), 3u);

    const WITHDRAWN_CERT& row = RsaWithdrawnCertificates()[0];
    EXPECT_EQ(DeleteIntermediateCert(row.pwszIssuerDN, row.pwszSerialNumber, row.pwszSubjectDN),
              S_OK);
    EXPECT_EQ(CaSubjects(kMachine), (std::multiset<std::string>{SubjectOf(otherSerial)}));
    EXPECT_TRUE(CaSubjects(kUser).empty());
}
#endif // ORVANE_CHAIN_IS_DEMO

TEST_F(ChainDelete, RowsThatWouldMatchTooMuchAreRefused) {
    const Bytes ca = DemoCertificate("w-rsa-ca-1");
    ASSERT_TRUE(AddToStore(kMachine, TEXT("CA"), ca));
    const std::string issuer = "CN=Orvane Withdrawn RSA Root 1";
    const std::string subject = SubjectOf(ca);
    const std::string thumbprint = ThumbprintOf(ca);
    const std::string serial = chaindoc::SerialText(ca);
    const struct {
        const char* what;
        bool root;
        std::string issuer, subject, serial, thumbprint;
    } cases[] = {
        // Invalid: empty names and serials, "#" alternatives, bad key names.
        {"empty issuer", false, "", subject, serial, ""},
        {"empty subject", false, issuer, "", serial, ""},
        {"empty serial", false, issuer, subject, "", ""},
        {"an empty alternative", false, issuer, "#", serial, ""},
        {"root with empty name", true, "", "", serial, thumbprint},
        {"root with a short thumbprint", true, subject, subject, serial, "ABCD"},
        {"root with a path for a thumbprint", true, subject, subject, serial,
         "..\\" + thumbprint.substr(3)},
    };
    for (const auto& c : cases) {
        const WString i = W(c.issuer.c_str()), s = W(c.subject.c_str()), n = W(c.serial.c_str()),
                      t = W(c.thumbprint.c_str());
        const HRESULT hr = c.root
                               ? DeleteTrustedRootCert(i.c_str(), t.c_str(), n.c_str(), s.c_str())
                               : DeleteIntermediateCert(i.c_str(), n.c_str(), s.c_str());
        EXPECT_EQ(hr, E_INVALIDARG) << c.what;
        EXPECT_EQ(CaSubjects(kMachine).size(), 1u) << c.what;
    }
    CERTIFICATE_FILTER filter{};
    EXPECT_EQ(DeleteCertificateFromStore(0x30000, &filter), E_INVALIDARG);
    EXPECT_EQ(CaSubjects(kMachine).size(), 1u);
}
