// enum_scale: enumerations of the stand-in's registry and providers as they
// grow, per item, against a raw SQLite scan of the same rows.
//
//   BM_RegEnumKey/N         RegEnumKeyExW over a key with N subkeys (up to 100,000)
//   BM_RawSubkeys/N         the anchor: one query reading the N names in order
//   BM_EnumContainers/P/N   PP_ENUMCONTAINERS of provider P (0 the software RSA
//                           provider, 1 the SM2 token) over N containers (up to 10,000)
//   BM_RawContainers/P/N    the anchor: one query reading the N container names
//
// Targets: each enumeration costs at most 3x its raw scan per item, and its
// cost per item stays flat (within 1.5x) as N grows. Each runs three times:
// min, median and max of the CPU time are reported, and the ratios use the
// medians. Works in a temporary hive of its own.
#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"

#include <windows.h>
#include <wincrypt.h>
#include <winreg.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string& HivePath() {
    static std::string path;
    return path;
}

std::u16string Utf16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

const char16_t kEnumKey[] = u"Software\\OrvaneBench\\Enum";

struct ProviderCase {
    const char16_t* name;
    DWORD verifyFlags; // a context without a container, for enumerating
    const char* root;  // where its containers live in the user hive
};
const ProviderCase kProviders[] = {
    {u"Microsoft Enhanced Cryptographic Provider v1.0", CRYPT_VERIFYCONTEXT,
     "Software\\Orvane\\Crypto\\RSA"},
    {u"Orvane Soft SM2 Token CSP v1.0", 0xF0000000u, "Software\\Orvane\\Crypto\\Tokens\\SM2"},
};

// FillSubkeys: the enumerated key has exactly n subkeys (sizes come in
// increasing order).
bool FillSubkeys(size_t n) {
    static size_t filled = 0;
    if (filled > n)
        return false;
    for (; filled < n; ++filled) {
        const std::u16string path =
            std::u16string(kEnumKey) + u"\\subkey-" + Utf16(std::to_string(filled));
        HKEY h = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &h,
                            nullptr) != ERROR_SUCCESS)
            return false;
        RegCloseKey(h);
    }
    return true;
}

bool FillContainers(int provider, size_t n) {
    static size_t filled[2] = {0, 0};
    if (filled[provider] > n)
        return false;
    for (; filled[provider] < n; ++filled[provider]) {
        const std::u16string name = u"enum-scale-" + Utf16(std::to_string(filled[provider]));
        HCRYPTPROV prov = 0;
        if (!CryptAcquireContextW(&prov, name.c_str(), kProviders[provider].name, PROV_RSA_FULL,
                                  CRYPT_NEWKEYSET))
            return false;
        CryptReleaseContext(prov, 0);
    }
    return true;
}

// --- anchors ------------------------------------------------------------------------------

sqlite3* OpenRaw() {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(HivePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

int64_t KeyId(sqlite3* db, const std::string& path) {
    int64_t id = 1;
    size_t start = 0;
    while (start < path.size() && id > 0) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE parent=?1 AND name=?2 COLLATE NOCASE", -1,
                           &s, nullptr);
        sqlite3_bind_int64(s, 1, id);
        sqlite3_bind_text(s, 2, part.c_str(), -1, SQLITE_TRANSIENT);
        id = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
        sqlite3_finalize(s);
        start = end + 1;
    }
    return id;
}

// RawNames: the names of parent's subkeys, in order, as UTF-16.
size_t RawNames(sqlite3* db, int64_t parent) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM keys WHERE parent=?1 ORDER BY fold", -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, parent);
    size_t rows = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
        benchmark::DoNotOptimize(sqlite3_column_text16(s, 0));
        ++rows;
    }
    sqlite3_finalize(s);
    return rows;
}

void Raw(benchmark::State& state, const std::string& path, size_t n) {
    sqlite3* db = OpenRaw();
    if (db == nullptr) {
        state.SkipWithError("cannot open the hive");
        return;
    }
    const int64_t parent = KeyId(db, path);
    orvane::bench::CountEachIteration(state, n, [&] { return RawNames(db, parent); });
    sqlite3_close(db);
}

// Filled: whether filling worked; the benchmark stops with an error if not.
bool Filled(benchmark::State& state, bool filled) {
    if (!filled)
        state.SkipWithError("could not fill");
    return filled;
}

void BM_RawSubkeys(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    if (!Filled(state, FillSubkeys(n)))
        return;
    Raw(state, "Software\\OrvaneBench\\Enum", n);
}

void BM_RawContainers(benchmark::State& state) {
    const int provider = int(state.range(0));
    const size_t n = size_t(state.range(1));
    if (!Filled(state, FillContainers(provider, n)))
        return;
    Raw(state, kProviders[provider].root, n);
}

// --- the enumerations ---------------------------------------------------------------------

void BM_RegEnumKey(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    if (!Filled(state, FillSubkeys(n)))
        return;
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kEnumKey, 0, KEY_READ, &h) != ERROR_SUCCESS) {
        state.SkipWithError("cannot open");
        return;
    }
    orvane::bench::CountEachIteration(state, n, [&] {
        size_t count = 0;
        for (DWORD i = 0;; ++i) {
            WCHAR name[256];
            DWORD cch = 256;
            LSTATUS rc = RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
            if (rc != ERROR_SUCCESS)
                break;
            ++count;
        }
        return count;
    });
    RegCloseKey(h);
}

void BM_EnumContainers(benchmark::State& state) {
    const int provider = int(state.range(0));
    const size_t n = size_t(state.range(1));
    if (!Filled(state, FillContainers(provider, n)))
        return;
    for (auto _ : state) {
        HCRYPTPROV prov = 0;
        if (!CryptAcquireContextW(&prov, nullptr, kProviders[provider].name, PROV_RSA_FULL,
                                  kProviders[provider].verifyFlags)) {
            state.SkipWithError("cannot acquire");
            break;
        }
        size_t count = 0;
        for (DWORD flags = CRYPT_FIRST;; flags = 0) {
            BYTE name[512];
            DWORD cb = sizeof name;
            if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, name, &cb, flags))
                break;
            ++count;
        }
        CryptReleaseContext(prov, 0);
        if (count != n) {
            state.SkipWithError("wrong count");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(n));
}

double Min(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}
double Max(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

template <class B> void Statistics(B* b) {
    b->Repetitions(3)->ComputeStatistics("min", Min)->ComputeStatistics("max", Max);
}

void Register() {
    for (int64_t n : {1000, 10000, 100000}) {
        const int64_t iterations = std::max<int64_t>(1, 200000 / n);
        Statistics(benchmark::RegisterBenchmark("BM_RawSubkeys", BM_RawSubkeys)
                       ->Arg(n)
                       ->Iterations(iterations));
        Statistics(benchmark::RegisterBenchmark("BM_RegEnumKey", BM_RegEnumKey)
                       ->Arg(n)
                       ->Iterations(iterations));
    }
    for (int64_t provider : {0, 1})
        for (int64_t n : {1000, 10000}) {
            const int64_t iterations = std::max<int64_t>(1, 50000 / n);
            Statistics(benchmark::RegisterBenchmark("BM_RawContainers", BM_RawContainers)
                           ->Args({provider, n})
                           ->Iterations(iterations));
            Statistics(benchmark::RegisterBenchmark("BM_EnumContainers", BM_EnumContainers)
                           ->Args({provider, n})
                           ->Iterations(iterations));
        }
}

} // namespace

int main(int argc, char** argv) {
    const orvane::bench::ScratchHives hives("enum-scale");
    HivePath() = hives.UserHive();
    Register();
    const double third = 1.0 / 3.0, flat = 1.0 / 1.5;
    std::vector<orvane::bench::RatioTarget> targets;
    for (const char* n : {"1000", "10000", "100000"})
        targets.push_back(
            {std::string("BM_RegEnumKey/") + n, std::string("BM_RawSubkeys/") + n, third});
    targets.push_back({"BM_RegEnumKey/100000", "BM_RegEnumKey/1000", flat});
    for (const char* p : {"0", "1"}) {
        for (const char* n : {"1000", "10000"})
            targets.push_back({std::string("BM_EnumContainers/") + p + "/" + n,
                               std::string("BM_RawContainers/") + p + "/" + n, third});
        targets.push_back({std::string("BM_EnumContainers/") + p + "/10000",
                           std::string("BM_EnumContainers/") + p + "/1000", flat});
    }
    return orvane::bench::RunWithRatios(argc, argv, targets);
}
