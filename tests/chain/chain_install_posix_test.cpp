// NP_Install as an installer runs it (npshell --install npPellin.so), checked
// from outside: a plain SQLite read of the machine hive, the stores as
// CryptoAPI lists them, and openssl verify of the demo's end-entity
// certificates with the roots and intermediates read back. Then the same
// without rights: every machine step fails and nothing changes.
//
// The registry is only ever used in forked children pointed at hives in a
// fresh folder; this process reads the hives with SQLite alone. Changing the
// machine hive needs root, as it needs an administrator on Windows.
#include "chain/CertificateChainDelete.h"
#include "chain/CertificateChainOperate.h"
#include "chain/NPInstall.h"
#include "tests/chain/ChainTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tools/chaindoc/ChainDocument.h"

#include "tests/support/ChildHives.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The user hive lives where the unprivileged user can write it.
std::string UserHive(const TempDir& dir) {
    return dir / "nobody/user.db";
}

int InChild(const TempDir& dir, const std::function<int()>& body) {
    return orvane::test::InChild({UserHive(dir), dir / "machine.db"}, body);
}

// RunInstaller: npshell --install npPellin.so on the folder's hives, traced.
int RunInstaller(const TempDir& dir, const std::string& strTrace) {
    const std::string command = "ORVANE_USER_HIVE='" + UserHive(dir) + "' ORVANE_MACHINE_HIVE='" +
                                (dir / "machine.db") + "' ORVANE_TRACE=f ORVANE_TRACE_FILE='" +
                                strTrace + "' '" ORVANE_NPSHELL_PATH "' --install '" +
                                ORVANE_NPPELLIN_PATH "' >/dev/null";
    return std::system(command.c_str());
}

std::string ReadText(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t Occurrences(const std::string& strText, const std::string& strPart) {
    size_t n = 0;
    for (size_t at = strText.find(strPart); at != std::string::npos;
         at = strText.find(strPart, at + 1))
        ++n;
    return n;
}

// The hive as SQLite holds it, without the stand-in.
class Hive {
public:
    explicit Hive(const std::string& strPath) {
        if (sqlite3_open_v2(strPath.c_str(), &m_db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(m_db);
            m_db = nullptr;
        }
    }
    ~Hive() { sqlite3_close(m_db); }
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    // Rows: every row of a query, columns joined by "|".
    std::vector<std::string> Rows(const char* pszSql, sqlite3_int64 nParam = 0) const {
        std::vector<std::string> rows;
        sqlite3_stmt* stmt = nullptr;
        if (m_db == nullptr || sqlite3_prepare_v2(m_db, pszSql, -1, &stmt, nullptr) != SQLITE_OK)
            return rows;
        sqlite3_bind_int64(stmt, 1, nParam);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                const unsigned char* p = sqlite3_column_text(stmt, i);
                row += (i == 0 ? "" : "|") + std::string(p ? reinterpret_cast<const char*>(p) : "");
            }
            rows.push_back(row);
        }
        sqlite3_finalize(stmt);
        return rows;
    }

    // KeyNames: the names of the keys below a path of the root key (id 1).
    std::set<std::string> KeyNames(const std::vector<std::string>& path) const {
        sqlite3_int64 id = 1;
        for (const std::string& part : path) {
            bool found = false;
            for (const std::string& row : Rows("SELECT id, name FROM keys WHERE parent = ?", id)) {
                const size_t bar = row.find('|');
                if (strcasecmp(row.substr(bar + 1).c_str(), part.c_str()) == 0) {
                    id = std::stoll(row.substr(0, bar));
                    found = true;
                }
            }
            if (!found)
                return {};
        }
        const std::vector<std::string> rows = Rows("SELECT name FROM keys WHERE parent = ?", id);
        return std::set<std::string>(rows.begin(), rows.end());
    }

    // Contents: every key and value, times of change left out.
    std::vector<std::string> Contents() const {
        std::vector<std::string> all = Rows("SELECT id, parent, name FROM keys ORDER BY id");
        for (const std::string& row :
             Rows("SELECT key, name, type, hex(data) FROM vals ORDER BY key, name"))
            all.push_back(row);
        return all;
    }

private:
    sqlite3* m_db = nullptr;
};

const std::vector<std::string> kRootPath = {"SOFTWARE", "Microsoft", "SystemCertificates", "ROOT",
                                            "Certificates"};

void WritePem(const std::string& strPath, const std::vector<Bytes>& certificates) {
    std::ofstream out(strPath, std::ios::binary);
    for (const Bytes& der : certificates)
        out << "-----BEGIN CERTIFICATE-----\n"
            << chaindoc::Base64Lines(der) << "-----END CERTIFICATE-----\n";
}

std::vector<Bytes> StoreCertificates(DWORD dwLocation, const WCHAR* pwszStore) {
    std::vector<Bytes> out;
    HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                 dwLocation | CERT_STORE_READONLY_FLAG, pwszStore);
    PCCERT_CONTEXT p = nullptr;
    while (h != nullptr && (p = CertEnumCertificatesInStore(h, p)) != nullptr)
        out.emplace_back(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded);
    if (h != nullptr)
        CertCloseStore(h, 0);
    return out;
}

int InstallWithdrawnHierarchy() {
    for (const char* file : kWithdrawnRsaFiles)
        CHECK(InstallWithdrawn(file));
    for (const char* file : kWithdrawnSm2Files)
        CHECK(InstallWithdrawn(file));
    return 0;
}

class ChainInstall : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "changing the machine hive needs root";
        ASSERT_EQ(mkdir((m_dir / "nobody").c_str(), 0700), 0);
        ASSERT_EQ(chown((m_dir / "nobody").c_str(), kNobody, kNobody), 0);
    }
    TempDir m_dir{"orvane-chain"};
};

} // namespace

TEST_F(ChainInstall, TheInstallerLeavesExactlyTheUnexpiredRootsAndAVerifiableChain) {
    ASSERT_EQ(InChild(m_dir, InstallWithdrawnHierarchy), 0);
    ASSERT_EQ(Hive(m_dir / "machine.db").KeyNames(kRootPath).size(), 7u);
    ASSERT_EQ(RunInstaller(m_dir, m_dir / "first.trace"), 0);

    // Exactly the demo's unexpired roots, read with SQLite and through the store.
    std::set<std::string> expected;
    for (const char* file :
         {"rsa-root-g1", "rsa-root-g2", "sm2-root", "test-rsa-root", "test-sm2-root"})
        expected.insert(ThumbprintOf(DemoCertificate(file)));
    const Hive hive(m_dir / "machine.db");
    EXPECT_EQ(hive.KeyNames(kRootPath), expected);
    ASSERT_EQ(InChild(m_dir,
                      [&] {
                          std::set<std::string> listed;
                          for (const Bytes& c :
                               StoreCertificates(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("ROOT")))
                              listed.insert(ThumbprintOf(c));
                          CHECK(listed == expected);
                          // The withdrawn certificates are gone from the user's store too.
                          CHECK(CaSubjects(CERT_SYSTEM_STORE_CURRENT_USER).empty());
                          CHECK(CaSubjects(CERT_SYSTEM_STORE_LOCAL_MACHINE).size() == 14);
                          WritePem(
                              m_dir / "roots.pem",
                              StoreCertificates(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("ROOT")));
                          WritePem(m_dir / "cas.pem",
                                   StoreCertificates(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA")));
                          for (const Bytes& c :
                               StoreCertificates(CERT_SYSTEM_STORE_LOCAL_MACHINE, TEXT("CA")))
                              if (SubjectOf(c) == SubjectOf(DemoCertificate("sm2-ca-1")))
                                  WritePem(m_dir / "sm2-ca.pem", {c});
                          WritePem(m_dir / "rsa-user.pem", {DemoCertificate("rsa-user")});
                          WritePem(m_dir / "sm2-user.pem", {DemoCertificate("sm2-user")});
                          return 0;
                      }),
              0);
    auto verify = [&](const std::string& strArgs) {
        return std::system(("openssl verify " + strArgs + " >/dev/null").c_str());
    };
    const std::string roots = "'" + (m_dir / "roots.pem") + "' ";
    const std::string cas = "'" + (m_dir / "cas.pem") + "' ";
    EXPECT_EQ(
        verify("-CAfile " + roots + "-untrusted " + cas + "'" + (m_dir / "rsa-user.pem") + "'"), 0);
    // OpenSSL 3.0 applies the SM2 signer identity to the certificate it is
    // asked about only, so the SM2 chain is checked a link at a time: the
    // intermediate against the roots, the user against the intermediates.
    const std::string sm2 = "-vfyopt distid:1234567812345678 ";
    EXPECT_EQ(verify(sm2 + "-CAfile " + roots + "'" + (m_dir / "sm2-ca.pem") + "'"), 0);
    EXPECT_EQ(verify(sm2 + "-partial_chain -CAfile " + cas + "'" + (m_dir / "sm2-user.pem") + "'"),
              0);

    // A second run changes nothing; each withdrawn root's missing entry is traced.
    const std::vector<std::string> before = hive.Contents();
    ASSERT_EQ(RunInstaller(m_dir, m_dir / "second.trace"), 0);
    EXPECT_EQ(Hive(m_dir / "machine.db").Contents(), before);
    EXPECT_EQ(Occurrences(ReadText(m_dir / "second.trace"),
                          "(DeleteTrustedRootCert -- DeleteRegistryKey)\t\t--Failed:(0x80070002)"),
              7u);
}

TEST_F(ChainInstall, WithoutRightsEveryMachineStepFailsAndNothingChanges) {
    ASSERT_EQ(InChild(m_dir,
                      [] {
                          CHECK(InstallWithdrawnHierarchy() == 0);
                          const Bytes production = DemoDocument("PRODUCTION");
                          CHECK(ImportCertificateChainfromBlobData(
                                    production.data(), DWORD(production.size())) == S_OK);
                          return 0;
                      }),
              0);
    for (const char* suffix : {"", "-wal", "-shm"})
        chown((m_dir / "nobody/user.db").append(suffix).c_str(), kNobody, kNobody);
    const std::vector<std::string> machine = Hive(m_dir / "machine.db").Contents();
    const std::vector<std::string> user = Hive(m_dir / "nobody/user.db").Contents();
    ASSERT_FALSE(machine.empty());
    ASSERT_FALSE(user.empty());

    EXPECT_EQ(
        InChild(m_dir,
                [] {
                    CHECK(setgid(kNobody) == 0);
                    CHECK(setuid(kNobody) == 0);
                    const HRESULT kDenied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
                    // Each row fails at its first machine step.
                    for (const WITHDRAWN_CERT& row : RsaWithdrawnCertificates())
                        CHECK((row.eKind == WITHDRAWN_KIND::Root
                                   ? DeleteTrustedRootCert(row.pwszIssuerDN, row.pwszThumbprint,
                                                           row.pwszSerialNumber, row.pwszSubjectDN)
                                   : DeleteIntermediateCert(row.pwszIssuerDN, row.pwszSerialNumber,
                                                            row.pwszSubjectDN)) == kDenied);
                    // Every root entry at the registry key, the chain at "CA".
                    const BYTE blob[1] = {0};
                    CHECK(RegWriteBinaryValue(kRootStoreKey, TEXT("AB"), blob, 1) == kDenied);
                    const Bytes production = DemoDocument("PRODUCTION");
                    CHECK(ImportCertificateChainfromBlobData(production.data(),
                                                             DWORD(production.size())) == kDenied);
                    NP_Install();
                    return 0;
                }),
        0);
    EXPECT_EQ(Hive(m_dir / "machine.db").Contents(), machine);
    EXPECT_EQ(Hive(m_dir / "nobody/user.db").Contents(), user);
}
