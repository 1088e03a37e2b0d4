// store_scale: the personal-certificate listing as the hive grows to 100,000
// certificates with keys, per certificate, against a plain SQLite read of all
// the certificates' Blobs of the same hive.
//
//   BM_Host/N   VURO_GetAllCertInfo through the real Tandry (N up to 5,000;
//               beyond that the listing no longer fits one response)
//   BM_Agent/N  the enrolment agent's listing in process
//   BM_Plain/N  the anchor: one SQLite query reading every certificate's Blob,
//               through a map of the file as the hive reads (hive_MiB: its size)
//
// Targets: the agent's listing costs at most 3x the plain read per certificate
// at every size, and its cost per certificate stays flat (within 1.5x) from
// 100 to 100,000 and from 300 to 3,000 (the host's and the plain read's too:
// a hive outgrowing a reader's page cache shows first as that step). The hive
// is filled through the real API: one RSA key pair imported into a container
// per certificate, certificates issued in process by the test issuer's SM2
// authority, each added to "MY" with its key link.
// Times are CPU times (the machine may be busy with other work): this
// process's for the plain read and the agent, the host's own for BM_Host.
// Each runs three times: min, median and max are reported, and the ratios
// use the medians. Works in a temporary hive of its own.
// OpenSSL's headers come before the Windows ones (their PKCS7_SIGNER_INFO
// names clash).
#include "tools/testca/Authority.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"
#include "enrolment/CryptoAgent.h"
#include "tools/nmclient/HostProcess.h"

#include <windows.h>
#include <wincrypt.h>

#include "bench/BenchStores.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace testca = orvane::tools::testca;

const char16_t kProvider[] = u"Microsoft Enhanced Cryptographic Provider v1.0";

struct Scratch {
    std::filesystem::path dir;
    std::string hive;
};

Scratch& Dir() {
    static Scratch s;
    return s;
}

std::u16string Utf16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// Filler: the key pair every container receives and the authority that
// issues the certificates.
struct Filler {
    bool ready = false;
    std::vector<BYTE> privateBlob;
    testca::PkeyPtr publicKey;
    testca::Authority rsa, sm2;
    size_t filled = 0;

    bool Prepare() {
        std::string error;
        if (!testca::LoadAuthorities((Dir().dir / "ca").string(), rsa, sm2, error)) {
            std::fprintf(stderr, "authorities: %s\n", error.c_str());
            return false;
        }
        HCRYPTPROV prov = 0;
        HCRYPTKEY key = 0;
        if (!CryptAcquireContextW(&prov, u"store-scale-template", kProvider, PROV_RSA_FULL,
                                  CRYPT_NEWKEYSET) ||
            !CryptGenKey(prov, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &key))
            return false;
        DWORD cb = 0;
        bool ok = CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &cb);
        privateBlob.resize(cb);
        ok = ok && CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, privateBlob.data(), &cb);
        DWORD cbInfo = 0;
        ok = ok &&
             CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &cbInfo);
        std::vector<BYTE> info(cbInfo);
        auto* pInfo = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data());
        ok =
            ok && CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING, pInfo, &cbInfo);
        CryptDestroyKey(key);
        CryptReleaseContext(prov, 0);
        if (!ok)
            return false;
        // The key info's bit string holds the PKCS #1 RSAPublicKey.
        const unsigned char* p = pInfo->PublicKey.pbData;
        publicKey.reset(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, long(pInfo->PublicKey.cbData)));
        ready = publicKey != nullptr;
        return ready;
    }

    // AddOne: container i with the key pair, and its certificate in "MY".
    bool AddOne(HCERTSTORE my, size_t i) {
        const std::u16string container = u"store-scale-" + Utf16(std::to_string(i));
        HCRYPTPROV prov = 0;
        HCRYPTKEY key = 0;
        if (!CryptAcquireContextW(&prov, container.c_str(), kProvider, PROV_RSA_FULL,
                                  CRYPT_NEWKEYSET))
            return false;
        const bool imported =
            CryptImportKey(prov, privateBlob.data(), DWORD(privateBlob.size()), 0, 0, &key);
        CryptDestroyKey(key);
        CryptReleaseContext(prov, 0);
        if (!imported)
            return false;

        testca::NamePtr subject(X509_NAME_new());
        const std::string cn = "Scale holder " + std::to_string(i);
        X509_NAME_add_entry_by_txt(subject.get(), "C", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("CN"), -1, -1, 0);
        X509_NAME_add_entry_by_txt(subject.get(), "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Orvane"), -1, -1, 0);
        X509_NAME_add_entry_by_txt(subject.get(), "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
        std::string error;
        testca::X509Ptr cert = testca::MakeCertificate(
            subject.get(), publicKey.get(), sm2.cert.get(), sm2.key.get(), 365, {}, error);
        if (!cert)
            return false;
        const testca::Bytes der = testca::DerOfCertificate(cert.get());
        PCCERT_CONTEXT ctx = nullptr;
        if (!CertAddEncodedCertificateToStore(my, X509_ASN_ENCODING, der.data(), DWORD(der.size()),
                                              CERT_STORE_ADD_NEW, &ctx))
            return false;
        CRYPT_KEY_PROV_INFO link{};
        link.pwszContainerName = const_cast<LPWSTR>(container.c_str());
        link.pwszProvName = const_cast<LPWSTR>(kProvider);
        link.dwProvType = PROV_RSA_FULL;
        link.dwKeySpec = AT_KEYEXCHANGE;
        const bool linked =
            CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &link);
        CertFreeCertificateContext(ctx);
        return linked;
    }

    // Fill: "MY" holds exactly n certificates (sizes come in increasing order).
    bool Fill(size_t n) {
        if (!ready && !Prepare())
            return false;
        if (filled > n)
            return false;
        HCERTSTORE my = orvane::bench::OpenMy();
        if (my == nullptr)
            return false;
        while (filled < n && AddOne(my, filled))
            ++filled;
        CertCloseStore(my, 0);
        return filled == n;
    }
};

Filler& TheFiller() {
    static Filler f;
    return f;
}

void Fill(benchmark::State& state, size_t n) {
    if (!TheFiller().Fill(n))
        state.SkipWithError("could not fill the hive");
}

// --- the anchor -------------------------------------------------------------------------

// PlainRead: every certificate's Blob of the hive, with one query.
size_t PlainRead(sqlite3* db, int64_t certificatesKey) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT v.data FROM keys k JOIN vals v ON v.key=k.id"
                       " WHERE k.parent=?1 AND v.name='Blob' ORDER BY k.fold",
                       -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, certificatesKey);
    size_t rows = 0, bytes = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
        bytes += size_t(sqlite3_column_bytes(s, 0));
        benchmark::DoNotOptimize(sqlite3_column_blob(s, 0));
        ++rows;
    }
    sqlite3_finalize(s);
    benchmark::DoNotOptimize(bytes);
    return rows;
}

int64_t CertificatesKey(sqlite3* db) {
    int64_t id = 1;
    for (const char* part : {"Software", "Microsoft", "SystemCertificates", "MY", "Certificates"}) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE parent=?1 AND name=?2 COLLATE NOCASE", -1,
                           &s, nullptr);
        sqlite3_bind_int64(s, 1, id);
        sqlite3_bind_text(s, 2, part, -1, SQLITE_STATIC);
        id = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
        sqlite3_finalize(s);
        if (id < 0)
            break;
    }
    return id;
}

void BM_Plain(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    Fill(state, n);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(Dir().hive.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        state.SkipWithError("cannot open the hive");
        sqlite3_close(db);
        return;
    }
    // Read as the hive reads: through a map of the file (see hive_connection.cpp).
    sqlite3_exec(db, "PRAGMA mmap_size=268435456", nullptr, nullptr, nullptr);
    const int64_t certs = CertificatesKey(db);
    orvane::bench::CountEachIteration(state, n, [&] { return PlainRead(db, certs); });
    sqlite3_close(db);
    // The hive's size, log included: what a reader's cache would have to hold.
    std::error_code ec, logEc;
    const auto bytes = std::filesystem::file_size(Dir().hive, ec);
    const auto log = std::filesystem::file_size(Dir().hive + "-wal", logEc);
    state.counters["hive_MiB"] = double((ec ? 0 : bytes) + (logEc ? 0 : log)) / (1 << 20);
}

// --- the listing ------------------------------------------------------------------------

// Records: the listing's records (one per certificate, separated by "||").
size_t Records(const std::u16string& text) {
    if (text.empty())
        return 0;
    size_t n = 1;
    for (size_t at = text.find(u"||"); at != std::u16string::npos; at = text.find(u"||", at + 2))
        ++n;
    return n;
}

void BM_Agent(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    Fill(state, n);
    CCryptoAgent agent;
    for (auto _ : state) {
        BSTR list = nullptr;
        if (agent.VURO_GetAllCertInfo(&list) != 0) {
            state.SkipWithError("listing failed");
            break;
        }
        const size_t records = Records(list == nullptr ? std::u16string() : std::u16string(list));
        SysFreeString(list);
        if (records != n) {
            state.SkipWithError("wrong count");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(n));
}

// HostCpuNs: the CPU time the host has used so far, in nanoseconds (the
// host is this process's newest child).
uint64_t HostCpuNs() {
    const std::string self = std::to_string(::getpid());
    std::FILE* f = std::fopen(("/proc/" + self + "/task/" + self + "/children").c_str(), "r");
    long child = 0, pid = 0;
    while (f != nullptr && std::fscanf(f, "%ld", &pid) == 1)
        child = pid;
    if (f != nullptr)
        std::fclose(f);
    unsigned long long ns = 0;
    f = std::fopen(("/proc/" + std::to_string(child) + "/schedstat").c_str(), "r");
    if (f != nullptr) {
        if (std::fscanf(f, "%llu", &ns) != 1)
            ns = 0;
        std::fclose(f);
    }
    return ns;
}

// BM_Host: timed by the host's own CPU time per listing, as a browser's
// machine pays it (the pipe and this process are not the host's work).
void BM_Host(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    Fill(state, n);
    orvane::tools::HostProcess host;
    // ORVANE_BENCH_TANDRY runs another build of the host (to compare builds).
    const char* tandry = std::getenv("ORVANE_BENCH_TANDRY");
    if (!host.Start({tandry != nullptr ? tandry : ORVANE_TANDRY_PATH},
                    {"ORVANE_USER_HIVE=" + Dir().hive,
                     "ORVANE_MACHINE_HIVE=" + (Dir().dir / "machine.db").string()})) {
        state.SkipWithError(host.Error().c_str());
        return;
    }
    const std::string request =
        orvane::tools::Frame(R"({"function":"VURO_GetAllCertInfo","params":[],"randomId":"7"})");
    std::string body;
    for (auto _ : state) {
        const uint64_t before = HostCpuNs();
        if (!host.WriteAll(request) ||
            host.ReadFrame(body, 600000) != orvane::tools::HostProcess::ReadStatus::Frame ||
            body.find(R"("errorcode":0)") == std::string::npos) {
            state.SkipWithError("no listing");
            break;
        }
        state.SetIterationTime(double(HostCpuNs() - before) / 1e9);
        benchmark::DoNotOptimize(body);
    }
    host.CloseInput();
    host.Wait();
    state.SetItemsProcessed(state.iterations() * int64_t(n));
}

double Min(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}
double Max(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

void Register() {
    const int64_t sizes[] = {100, 300, 1000, 3000, 5000, 10000, 100000};
    for (int64_t n : sizes) {
        // Fewer iterations as the sizes grow: each lists everything.
        const int64_t iterations = std::max<int64_t>(1, 20000 / n);
        benchmark::RegisterBenchmark("BM_Plain", BM_Plain)
            ->Arg(n)
            ->Iterations(iterations * 4)
            ->Repetitions(3)
            ->ComputeStatistics("min", Min)
            ->ComputeStatistics("max", Max);
        if (n <= 5000)
            benchmark::RegisterBenchmark("BM_Host", BM_Host)
                ->Arg(n)
                ->Iterations(iterations)
                ->UseManualTime()
                ->Repetitions(3)
                ->ComputeStatistics("min", Min)
                ->ComputeStatistics("max", Max);
        benchmark::RegisterBenchmark("BM_Agent", BM_Agent)
            ->Arg(n)
            ->Iterations(iterations)
            ->Repetitions(3)
            ->ComputeStatistics("min", Min)
            ->ComputeStatistics("max", Max);
    }
}

} // namespace

int main(int argc, char** argv) {
    // Hives of our own, set before any registry call opens the user's.
    std::error_code ec;
    Dir().dir = std::filesystem::temp_directory_path(ec) /
                ("orvane-store-scale-" + std::to_string(::getpid()));
    std::filesystem::remove_all(Dir().dir, ec);
    std::filesystem::create_directories(Dir().dir, ec);
    Dir().hive = (Dir().dir / "user.db").string();
    setenv("ORVANE_USER_HIVE", Dir().hive.c_str(), 1);
    setenv("ORVANE_MACHINE_HIVE", (Dir().dir / "machine.db").c_str(), 1);
    Register();
    const double third = 1.0 / 3.0, flat = 1.0 / 1.5;
    std::vector<orvane::bench::RatioTarget> targets;
    for (const char* n : {"100", "300", "1000", "3000", "5000", "10000", "100000"})
        targets.push_back({std::string("BM_Agent/") + n, std::string("BM_Plain/") + n, third});
    for (const char* n : {"100", "300", "1000", "3000", "5000"})
        targets.push_back({std::string("BM_Host/") + n, std::string("BM_Plain/") + n, third});
    targets.push_back({"BM_Agent/100000", "BM_Agent/100", flat});
    targets.push_back({"BM_Host/5000", "BM_Host/100", flat});
    for (const char* f : {"BM_Agent/", "BM_Host/", "BM_Plain/"})
        targets.push_back({std::string(f) + "3000", std::string(f) + "300", flat});
    int rc = orvane::bench::RunWithRatios(argc, argv, targets);
    std::filesystem::remove_all(Dir().dir, ec);
    return rc;
}
