// store_enumerate: enumerating the user's "MY" store holding 10, 100 and 1,000
// certificates, per certificate, against parsing the same certificate with
// d2i_X509 alone. Target: each size costs at most 3x d2i_X509 per certificate
// (rate at least a third of the anchor's), so growth is linear as well. The
// "cold" runs open a fresh store handle each time (nothing parsed yet) and are
// reported without a target. Runs in a temporary user hive of its own.
#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <wincrypt.h>

#include "bench/BenchStores.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

using Der = std::vector<unsigned char>;

const std::vector<Der>& Certificates() {
    static const std::vector<Der> certs = orvane::bench::MakeCertificates(1000, "Benchmark holder");
    return certs;
}

// Fill: makes "MY" hold exactly the first n certificates (adds only what is missing;
// the sizes run in increasing order).
bool Fill(size_t n) {
    static size_t filled = 0;
    if (filled > n)
        return false;
    HCERTSTORE s = orvane::bench::OpenMy();
    if (s == nullptr)
        return false;
    const auto& certs = Certificates();
    for (; filled < n && filled < certs.size(); ++filled)
        if (!CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, certs[filled].data(),
                                              DWORD(certs[filled].size()), CERT_STORE_ADD_NEW,
                                              nullptr))
            break;
    CertCloseStore(s, 0);
    return filled == n;
}

size_t EnumerateAll(HCERTSTORE s) {
    size_t count = 0;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(s, c)) != nullptr) {
        benchmark::DoNotOptimize(c->pCertInfo);
        ++count;
    }
    return count;
}

void Enumerate(benchmark::State& state, size_t n, bool cold) {
    if (!Fill(n)) {
        state.SkipWithError("could not fill the store");
        return;
    }
    HCERTSTORE s = orvane::bench::OpenMy();
    orvane::bench::CountEachIteration(state, n, [&] {
        if (cold) {
            CertCloseStore(s, 0);
            s = orvane::bench::OpenMy();
        }
        return EnumerateAll(s);
    });
    CertCloseStore(s, 0);
}

void BM_D2iX509(benchmark::State& state) {
    const auto& certs = Certificates();
    size_t i = 0;
    for (auto _ : state) {
        const Der& d = certs[i++ % certs.size()];
        const unsigned char* p = d.data();
        X509* x = d2i_X509(nullptr, &p, long(d.size()));
        benchmark::DoNotOptimize(x);
        X509_free(x);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_EnumerateMy10(benchmark::State& state) {
    Enumerate(state, 10, false);
}
void BM_EnumerateMy100(benchmark::State& state) {
    Enumerate(state, 100, false);
}
void BM_EnumerateMy1000(benchmark::State& state) {
    Enumerate(state, 1000, false);
}
void BM_EnumerateMyCold1000(benchmark::State& state) {
    Enumerate(state, 1000, true);
}

BENCHMARK(BM_D2iX509);
BENCHMARK(BM_EnumerateMy10);
BENCHMARK(BM_EnumerateMy100);
BENCHMARK(BM_EnumerateMy1000);
BENCHMARK(BM_EnumerateMyCold1000);

} // namespace

int main(int argc, char** argv) {
    const double third = 1.0 / 3.0;
    return orvane::bench::RunInScratchHives("bench-store", argc, argv,
                                            {{"BM_EnumerateMy10", "BM_D2iX509", third},
                                             {"BM_EnumerateMy100", "BM_D2iX509", third},
                                             {"BM_EnumerateMy1000", "BM_D2iX509", third}});
}
