// System certificate stores over the SQLite hives under real use: what one
// process adds another sees, a Blob written straight into the machine's ROOT
// key is a root, many writers at once lose nothing, a killed writer leaves
// every certificate whole or absent, and only root changes the machine stores.
// Store calls run in forked children pointed at hives in a fresh folder; a
// child reports a failed check on standard error and in its exit status.
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

#include <wincrypt.h>
#include <winreg.h>

#include "tests/support/ChildHives.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

pid_t StartChild(const TempDir& dir, const std::function<int()>& body) {
    return orvane::test::StartChild(orvane::test::Hives::In(dir), body);
}

int InChild(const TempDir& dir, const std::function<int()>& body) {
    return orvane::test::InChild(orvane::test::Hives::In(dir), body);
}

using orvane::test::Wait;

// Variant: a distinct certificate made from the RSA one by rewriting six bytes
// of its serial number. The signature no longer verifies, which stores do not
// check; the thumbprint differs for every (a, b).
std::vector<BYTE> Variant(unsigned a, unsigned b) {
    std::vector<BYTE> der(kRsaCertificate.data, kRsaCertificate.data + kRsaCertificate.size);
    const BYTE serial[] = {0x02, 0x09, 0x00, 0xF1, 0xE2, 0xD3, 0xC4, 0xB5, 0xA6, 0x97, 0x88};
    auto it = std::search(der.begin(), der.end(), std::begin(serial), std::end(serial));
    if (it == der.end())
        return {};
    BYTE* s = &*it + 3;
    s[1] = BYTE(a >> 8);
    s[2] = BYTE(a);
    s[3] = BYTE(b >> 8);
    s[4] = BYTE(b);
    return der;
}

// Record: one serialized property record (id, reserved 1, length, value).
std::vector<BYTE> Record(DWORD id, const TestCertificate& value) {
    std::vector<BYTE> out;
    for (DWORD v : {id, DWORD(1), value.size})
        for (int i = 0; i < 4; ++i)
            out.push_back(BYTE(v >> (8 * i)));
    out.insert(out.end(), value.data, value.data + value.size);
    return out;
}

bool WriteRootBlob(const char* sha1, const std::vector<BYTE>& blob) {
    const WString path =
        W("SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\") + W(sha1);
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &h, nullptr) != ERROR_SUCCESS)
        return false;
    const bool ok = RegSetValueExW(h, W("Blob").c_str(), 0, REG_BINARY, blob.data(),
                                   DWORD(blob.size())) == ERROR_SUCCESS;
    RegCloseKey(h);
    return ok;
}

HCERTSTORE OpenUser(const char* name, DWORD extra = 0) {
    const WString w = W(name);
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | extra,
                         w.c_str());
}

HCERTSTORE OpenMachine(const char* name, DWORD extra = 0) {
    const WString w = W(name);
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE | extra,
                         w.c_str());
}

std::set<std::vector<BYTE>> Encodings(HCERTSTORE store) {
    std::set<std::vector<BYTE>> out;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr)
        out.emplace(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
    return out;
}

bool Add(HCERTSTORE store, const std::vector<BYTE>& der, PCCERT_CONTEXT* out = nullptr) {
    return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                            CERT_STORE_ADD_NEW, out) != FALSE;
}

// CertificateKeys: how many keys the store's Certificates key has.
DWORD CertificateKeys(HKEY root, const char* path) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(root, W(path).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return 0;
    DWORD n = 0;
    RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr);
    RegCloseKey(h);
    return n;
}

TEST(SystemStore, WhatOneProcessAddsAnotherSees) {
    TempDir dir("orvane-store");
    const std::vector<BYTE> ca(kCaCertificate.data, kCaCertificate.data + kCaCertificate.size);
    const std::vector<BYTE> ec(kEcCertificate.data, kEcCertificate.data + kEcCertificate.size);
    ASSERT_EQ(InChild(dir,
                      [&] {
                          HCERTSTORE s = OpenUser("MY");
                          CHECK(s != nullptr);
                          CHECK(Add(s, ca));
                          CHECK(Add(s, ec));
                          CertCloseStore(s, 0);
                          return 0;
                      }),
              0);
    // A later process, and a store open before a third one changes it.
    ASSERT_EQ(InChild(dir,
                      [&] {
                          HCERTSTORE s = OpenUser("my"); // names ignore case, as keys do
                          CHECK(s != nullptr);
                          CHECK((Encodings(s) == std::set<std::vector<BYTE>>{ca, ec}));
                          pid_t other = StartChild(dir, [&] {
                              HCERTSTORE t = OpenUser("MY");
                              CHECK(t != nullptr);
                              CHECK(Add(t, Variant(1, 1)));
                              CertCloseStore(t, 0);
                              return 0;
                          });
                          CHECK(Wait(other) == 0);
                          CHECK(Encodings(s).size() == 3);
                          CHECK(Encodings(s).count(Variant(1, 1)) == 1);
                          CertCloseStore(s, 0);
                          return 0;
                      }),
              0);
}

TEST(SystemStore, BlobWrittenIntoMachineRootIsARoot) {
    if (geteuid() != 0)
        GTEST_SKIP() << "writing the machine hive takes root";
    TempDir dir("orvane-store");
    ASSERT_EQ(InChild(dir,
                      [&] {
                          // As the chain import writes it: one record, the certificate.
                          CHECK(WriteRootBlob("A34070544429B32286F9EC683D4EA0AEA2914742",
                                              Record(32, kCaCertificate)));
                          // As another program may: records of ids we do not keep
                          // (an unknown one, a key context, a hash) before it.
                          std::vector<BYTE> extra = Record(0x7777, {nullptr, 0});
                          const BYTE ctx[16] = {};
                          for (const auto& r : {Record(5, {ctx, sizeof ctx}), Record(3, {ctx, 16}),
                                                Record(32, kExpiredCertificate)})
                              extra.insert(extra.end(), r.begin(), r.end());
                          CHECK(WriteRootBlob("D2C44086D4FF70378DA85AAB9160DFF292E0C67E", extra));
                          return 0;
                      }),
              0);
    ASSERT_EQ(
        InChild(dir,
                [&] {
                    HCERTSTORE s = OpenMachine("ROOT", CERT_STORE_READONLY_FLAG);
                    CHECK(s != nullptr);
                    std::set<std::string> names;
                    PCCERT_CONTEXT c = nullptr;
                    while ((c = CertEnumCertificatesInStore(s, c)) != nullptr) {
                        WCHAR name[64] = {};
                        CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 64);
                        names.insert(U8(name));
                    }
                    CHECK((names == std::set<std::string>{"Orvane Test CA", "Expired Example"}));
                    // The user's stores are apart from the machine's.
                    HCERTSTORE user = OpenUser("ROOT");
                    CHECK(user != nullptr && Encodings(user).empty());
                    CertCloseStore(user, 0);
                    CertCloseStore(s, 0);
                    return 0;
                }),
        0);
}

// The stores read a Blob by the rules the chain import checks a root entry by
// (der/SerializedProperties.h): ids and lengths are whole 32-bit numbers, and
// a Blob counts only with exactly one certificate record holding exactly one
// whole certificate. Anything else is skipped, never half read.
TEST(SystemStore, BlobsAreReadByTheRulesTheChainImportChecks) {
    TempDir dir("orvane-store");
    auto bytes = [](const TestCertificate& c) {
        return std::vector<BYTE>(c.data, c.data + c.size);
    };
    auto record = [](DWORD id, DWORD length, const std::vector<BYTE>& value) {
        std::vector<BYTE> out;
        for (DWORD v : {id, DWORD(1), length})
            for (int i = 0; i < 4; ++i)
                out.push_back(BYTE(v >> (8 * i)));
        out.insert(out.end(), value.begin(), value.end());
        return out;
    };
    auto join = [](std::vector<BYTE> a, const std::vector<BYTE>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<BYTE> ca = bytes(kCaCertificate), expired = bytes(kExpiredCertificate);
    const DWORD cbCa = DWORD(ca.size()), cbExpired = DWORD(expired.size());
    const struct {
        const char* key;
        std::vector<BYTE> blob;
    } blobs[] = {
        // A top byte on an id makes another property: the certificate is the
        // record that is 32, whatever key it was filed under.
        {"01", join(record(0x01000020, cbExpired, expired), record(32, cbCa, ca))},
        // Invalid: two certificate records, a byte after the certificate, a
        // top byte on a length, no record 32 at all.
        {"02", join(record(32, cbExpired, expired), record(32, cbCa, ca))},
        {"03", record(32, cbExpired + 1, join(expired, {0x00}))},
        {"04", join(record(32, 0x01000000 | cbExpired, expired), record(3, 0, {}))},
        {"05", record(0xFF000020, cbExpired, expired)},
    };
    const std::string certificates =
        "Software\\Microsoft\\SystemCertificates\\OrvaneRules\\Certificates\\";
    ASSERT_EQ(InChild(dir,
                      [&] {
                          for (const auto& b : blobs) {
                              HKEY h = nullptr;
                              CHECK(RegCreateKeyExW(HKEY_CURRENT_USER,
                                                    W((certificates + b.key).c_str()).c_str(), 0,
                                                    nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                                                    nullptr) == ERROR_SUCCESS);
                              CHECK(RegSetValueExW(h, W("Blob").c_str(), 0, REG_BINARY,
                                                   b.blob.data(),
                                                   DWORD(b.blob.size())) == ERROR_SUCCESS);
                              RegCloseKey(h);
                          }
                          HCERTSTORE s = OpenUser("OrvaneRules", CERT_STORE_READONLY_FLAG);
                          CHECK(s != nullptr);
                          CHECK((Encodings(s) == std::set<std::vector<BYTE>>{ca}));
                          CertCloseStore(s, 0);
                          return 0;
                      }),
              0);
}

TEST(SystemStore, ManyWritersLoseNothing) {
    TempDir dir("orvane-store");
    constexpr unsigned kWriters = 8;
    constexpr unsigned kEach = 200;
    std::vector<pid_t> writers;
    for (unsigned w = 0; w < kWriters; ++w) {
        writers.push_back(StartChild(dir, [&, w] {
            HCERTSTORE s = OpenUser("MY");
            CHECK(s != nullptr);
            std::vector<PCCERT_CONTEXT> added;
            for (unsigned i = 0; i < kEach; ++i) {
                PCCERT_CONTEXT c = nullptr;
                CHECK(Add(s, Variant(w, i), &c));
                added.push_back(c);
            }
            // Then delete every other one of its own.
            for (unsigned i = 0; i < kEach; ++i) {
                if (i % 2 == 0)
                    CHECK(CertDeleteCertificateFromStore(added[i]));
                else
                    CertFreeCertificateContext(added[i]);
            }
            CertCloseStore(s, 0);
            return 0;
        }));
    }
    for (pid_t pid : writers)
        EXPECT_EQ(Wait(pid), 0);
    ASSERT_EQ(InChild(dir,
                      [&] {
                          HCERTSTORE s = OpenUser("MY");
                          CHECK(s != nullptr);
                          std::set<std::vector<BYTE>> want;
                          for (unsigned w = 0; w < kWriters; ++w)
                              for (unsigned i = 1; i < kEach; i += 2)
                                  want.insert(Variant(w, i));
                          CHECK(Encodings(s) == want);
                          CHECK(CertificateKeys(HKEY_CURRENT_USER,
                                                "Software\\Microsoft\\SystemCertificates\\MY\\"
                                                "Certificates") == want.size());
                          CertCloseStore(s, 0);
                          return 0;
                      }),
              0);
}

TEST(SystemStore, KilledWriterLeavesWholeCertificates) {
    TempDir dir("orvane-store");
    int progress[2];
    ASSERT_EQ(pipe(progress), 0);
    pid_t writer = StartChild(dir, [&] {
        close(progress[0]);
        HCERTSTORE s = OpenUser("CA");
        CHECK(s != nullptr);
        for (unsigned i = 0;; ++i) {
            CHECK(Add(s, Variant(7, i)));
            CHECK(write(progress[1], &i, sizeof i) == sizeof i);
        }
    });
    close(progress[1]);
    unsigned n = 0;
    for (int seen = 0; seen < 40 && read(progress[0], &n, sizeof n) == sizeof n; ++seen) {
    }
    kill(writer, SIGKILL);
    close(progress[0]);
    EXPECT_EQ(Wait(writer), 128 + SIGKILL);
    ASSERT_EQ(InChild(dir,
                      [&] {
                          HCERTSTORE s = OpenUser("CA");
                          CHECK(s != nullptr);
                          const auto found = Encodings(s);
                          // Every reported add is there; the one in flight may be too.
                          CHECK(found.size() >= 40);
                          for (unsigned i = 0; i < found.size(); ++i)
                              CHECK(found.count(Variant(7, i)) == 1);
                          // No key without its whole Blob.
                          CHECK(CertificateKeys(HKEY_CURRENT_USER,
                                                "Software\\Microsoft\\SystemCertificates\\CA\\"
                                                "Certificates") == found.size());
                          CertCloseStore(s, 0);
                          return 0;
                      }),
              0);
}

TEST(SystemStore, MachineStoresRefuseOthers) {
    TempDir dir("orvane-store");
    const bool root = geteuid() == 0;
    if (root) {
        // Root makes the store, so the unprivileged user has something to read.
        ASSERT_EQ(InChild(dir,
                          [&] {
                              HCERTSTORE s = OpenMachine("MY");
                              CHECK(s != nullptr);
                              CHECK(Add(s, Variant(9, 9)));
                              CertCloseStore(s, 0);
                              return 0;
                          }),
                  0);
        ASSERT_EQ(mkdir((dir / "nobody").c_str(), 0700), 0);
        ASSERT_EQ(chown((dir / "nobody").c_str(), kNobody, kNobody), 0);
    }
    EXPECT_EQ(InChild(dir,
                      [&] {
                          if (root) {
                              CHECK(setgid(kNobody) == 0);
                              CHECK(setuid(kNobody) == 0);
                              setenv("ORVANE_USER_HIVE", (dir / "nobody/user.db").c_str(), 1);
                          }
                          // Invalid: opening a machine store for writing.
                          SetLastError(0);
                          CHECK(OpenMachine("MY") == nullptr);
                          CHECK(GetLastError() == ERROR_ACCESS_DENIED);
                          // Asking for what is allowed gives a store that refuses changes.
                          HCERTSTORE s = OpenMachine("MY", CERT_STORE_MAXIMUM_ALLOWED_FLAG);
                          CHECK(s != nullptr);
                          SetLastError(0);
                          CHECK(!Add(s, Variant(9, 10)));
                          CHECK(GetLastError() == DWORD(E_ACCESSDENIED));
                          PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr);
                          if (root) {
                              CHECK(c != nullptr);
                              SetLastError(0);
                              CHECK(!CertDeleteCertificateFromStore(c)); // frees c
                              CHECK(GetLastError() == DWORD(E_ACCESSDENIED));
                          }
                          CertCloseStore(s, 0);
                          // The user's own stores stay writable.
                          HCERTSTORE mine = OpenUser("MY");
                          CHECK(mine != nullptr);
                          CHECK(Add(mine, Variant(9, 11)));
                          CertCloseStore(mine, 0);
                          return 0;
                      }),
              0);
    if (root) {
        EXPECT_EQ(InChild(dir,
                          [&] {
                              HCERTSTORE s = OpenMachine("MY", CERT_STORE_READONLY_FLAG);
                              CHECK(s != nullptr);
                              CHECK((Encodings(s) == std::set<std::vector<BYTE>>{Variant(9, 9)}));
                              CertCloseStore(s, 0);
                              return 0;
                          }),
                  0);
    }
}

} // namespace
