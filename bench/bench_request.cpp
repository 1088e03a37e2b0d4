// A whole certification request (key generation in the provider, the DER,
// the signature, the Base64 text) against the OpenSSL command doing the same
// job in the same run: `openssl req -new -newkey rsa:2048 -nodes`, and the
// same with an SM2 key signed with SM3. Both sides are dominated by key
// generation, whose time varies from key to key, so each side runs at least
// 21 times and the medians are compared. Target: ours takes at most 1.2 times
// as long (a rate of at least 0.83 of the anchor's).
#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"

#include "enrolment/CertificateRequisition.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kRepetitions = 21;

void Request(benchmark::State& state, const WCHAR* pwszProvider, BOOL bRSA, DWORD dwBits) {
    for (auto _ : state) {
        std::string text;
        WString container;
        const HRESULT hResult =
            PKCS10CertRequisition(text, container, pwszProvider, TEXT("CN=Alice,OU=Retail,C=CN"), 1,
                                  1, bRSA ? KeyAlgorithm::Rsa : KeyAlgorithm::Sm2, dwBits, 0);
        if (FAILED(hResult)) {
            state.SkipWithError("PKCS10CertRequisition failed");
            break;
        }
        benchmark::DoNotOptimize(text.data());
        state.PauseTiming();
        HCRYPTPROV hDelete = 0;
        CryptAcquireContextW(&hDelete, container.c_str(), pwszProvider, PROV_RSA_FULL,
                             bRSA ? CRYPT_DELETEKEYSET : kSM2DeleteFlags);
        state.ResumeTiming();
    }
}

void Openssl(benchmark::State& state, const char* pszCommand) {
    for (auto _ : state) {
        const int status = std::system(pszCommand);
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("openssl req failed");
            break;
        }
    }
}

void BM_RequestRsa2048(benchmark::State& state) {
    Request(state, TEXT("Microsoft Enhanced Cryptographic Provider v1.0"), TRUE, 2048);
}
void BM_OpensslReqRsa2048(benchmark::State& state) {
    Openssl(state, "openssl req -new -newkey rsa:2048 -nodes -subj /CN=Alice/OU=Retail/C=CN "
                   "-keyout /dev/null -out /dev/null 2>/dev/null");
}
void BM_RequestSm2(benchmark::State& state) {
    Request(state, TEXT("Orvane Soft SM2 Token CSP v1.0"), FALSE, 256);
}
void BM_OpensslReqSm2(benchmark::State& state) {
    Openssl(state, "openssl req -new -newkey SM2 -nodes -sm3 -sigopt distid:1234567812345678 "
                   "-subj /CN=Alice/OU=Retail/C=CN -keyout /dev/null -out /dev/null 2>/dev/null");
}

#define ORVANE_REQUEST_BENCH(fn)                                                                   \
    BENCHMARK(fn)                                                                                  \
        ->Iterations(1)                                                                            \
        ->Repetitions(kRepetitions)                                                                \
        ->UseRealTime()                                                                            \
        ->Unit(benchmark::kMillisecond)
ORVANE_REQUEST_BENCH(BM_RequestRsa2048);
ORVANE_REQUEST_BENCH(BM_OpensslReqRsa2048);
ORVANE_REQUEST_BENCH(BM_RequestSm2);
ORVANE_REQUEST_BENCH(BM_OpensslReqSm2);

} // namespace

int main(int argc, char** argv) {
    // Keys go to hives of this run, never the user's.
    return orvane::bench::RunInScratchHives("bench-request", argc, argv,
                                            {{"BM_RequestRsa2048", "BM_OpensslReqRsa2048", 0.83},
                                             {"BM_RequestSm2", "BM_OpensslReqSm2", 0.83}});
}
