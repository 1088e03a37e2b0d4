// The providers' costs against OpenSSL's EVP interface doing the same work in
// the same run: RSA-2048 key generation (reported), RSA-2048 SHA-1 signing
// through CryptSignHashW and SM2 signing through the SM2 token (target: at
// least 0.9 of OpenSSL's rate). The CryptoAPI side signs with keys kept in a
// container, as the system does; the hives are temporary files of this run.
#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"

#include <windows.h>
#include <wincrypt.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

const BYTE kMessage[] = "the authenticated attributes of a signed message";
const WCHAR kContainer[] = u"OrvaneBenchCsp";
const WCHAR kSm2Csp[] = u"Orvane Soft SM2 Token CSP v1.0";

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey Generate(const char* type, int bits) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen_init(ctx) != 1 ||
        (bits != 0 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits) != 1) ||
        EVP_PKEY_generate(ctx, &key) != 1)
        key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    return Pkey(key);
}

// Acquire: a fresh container of the provider with one key pair of keySpec.
HCRYPTPROV Acquire(const WCHAR* csp, ALG_ID alg, DWORD flags) {
    HCRYPTPROV prov = 0;
    CryptAcquireContextW(&prov, kContainer, csp, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    if (!CryptAcquireContextW(&prov, kContainer, csp, PROV_RSA_FULL, CRYPT_NEWKEYSET))
        return 0;
    HCRYPTKEY key = 0;
    if (!CryptGenKey(prov, alg, flags, &key)) {
        CryptReleaseContext(prov, 0);
        return 0;
    }
    CryptDestroyKey(key);
    return prov;
}

void Release(HCRYPTPROV prov, const WCHAR* csp) {
    CryptReleaseContext(prov, 0);
    HCRYPTPROV none = 0;
    CryptAcquireContextW(&none, kContainer, csp, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

void CryptSign(benchmark::State& state, HCRYPTPROV prov, ALG_ID hashAlg, DWORD keySpec) {
    BYTE sig[512];
    for (auto _ : state) {
        HCRYPTHASH hash = 0;
        DWORD size = sizeof sig;
        if (!CryptCreateHash(prov, hashAlg, 0, 0, &hash) ||
            !CryptHashData(hash, kMessage, sizeof kMessage, 0) ||
            !CryptSignHashW(hash, keySpec, nullptr, 0, sig, &size)) {
            state.SkipWithError("CryptSignHashW failed");
            break;
        }
        CryptDestroyHash(hash);
        benchmark::DoNotOptimize(sig);
    }
    state.SetItemsProcessed(state.iterations());
}

void EvpSign(benchmark::State& state, EVP_PKEY* key, const char* md, bool sm2) {
    unsigned char sig[512];
    for (auto _ : state) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = nullptr;
        if (sm2) {
            pctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
            EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16);
            EVP_MD_CTX_set_pkey_ctx(ctx, pctx);
        }
        size_t len = sizeof sig;
        const bool ok =
            EVP_DigestSignInit_ex(ctx, nullptr, md, nullptr, nullptr, key, nullptr) == 1 &&
            EVP_DigestSign(ctx, sig, &len, kMessage, sizeof kMessage) == 1;
        EVP_MD_CTX_free(ctx);
        EVP_PKEY_CTX_free(pctx);
        if (!ok) {
            state.SkipWithError("EVP_DigestSign failed");
            break;
        }
        benchmark::DoNotOptimize(sig);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_CryptGenKeyRsa2048(benchmark::State& state) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT)) {
        state.SkipWithError("CryptAcquireContextW failed");
        return;
    }
    for (auto _ : state) {
        HCRYPTKEY key = 0;
        if (!CryptGenKey(prov, AT_KEYEXCHANGE, 2048 << 16, &key)) {
            state.SkipWithError("CryptGenKey failed");
            break;
        }
        CryptDestroyKey(key);
    }
    state.SetItemsProcessed(state.iterations());
    CryptReleaseContext(prov, 0);
}

void BM_EvpKeygenRsa2048(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(Generate("RSA", 2048));
    state.SetItemsProcessed(state.iterations());
}

void BM_CryptSignHashSha1Rsa2048(benchmark::State& state) {
    HCRYPTPROV prov = Acquire(MS_ENHANCED_PROV_W, AT_SIGNATURE, 2048 << 16);
    if (prov == 0) {
        state.SkipWithError("no container");
        return;
    }
    CryptSign(state, prov, CALG_SHA1, AT_SIGNATURE);
    Release(prov, MS_ENHANCED_PROV_W);
}

void BM_EvpSignSha1Rsa2048(benchmark::State& state) {
    Pkey key = Generate("RSA", 2048);
    EvpSign(state, key.get(), "SHA1", false);
}

void BM_CryptSignHashSm2(benchmark::State& state) {
    HCRYPTPROV prov = Acquire(kSm2Csp, 0x3E00, 0);
    if (prov == 0) {
        state.SkipWithError("no container");
        return;
    }
    CryptSign(state, prov, 0x800F, AT_SIGNATURE);
    Release(prov, kSm2Csp);
}

void BM_EvpSignSm2(benchmark::State& state) {
    Pkey key = Generate("SM2", 0);
    EvpSign(state, key.get(), "SM3", true);
}

BENCHMARK(BM_CryptGenKeyRsa2048)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_EvpKeygenRsa2048)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_CryptSignHashSha1Rsa2048)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_EvpSignSha1Rsa2048)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_CryptSignHashSm2)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_EvpSignSm2)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

} // namespace

int main(int argc, char** argv) {
    // Hives of this run only, never the user's.
    return orvane::bench::RunInScratchHives(
        "bench-csp", argc, argv,
        {// Key generation time is dominated by the prime search: reported, no target.
         {"BM_CryptGenKeyRsa2048", "BM_EvpKeygenRsa2048", 0.0},
         {"BM_CryptSignHashSha1Rsa2048", "BM_EvpSignSha1Rsa2048", 0.9},
         {"BM_CryptSignHashSm2", "BM_EvpSignSm2", 0.9}});
}
