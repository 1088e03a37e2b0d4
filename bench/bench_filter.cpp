// filter: choosing signing certificates from the user's "MY" store holding
// 10, 100 and 1,000 certificates with keys (FilterCertificatesfromLocalStore
// with the signing filter: key usage 0x80, private key required, RSA
// signature algorithm), per certificate, against the enrolment agent's
// listing of the same store (VURO_GetAllCertInfo) at the same size. Target:
// the filter costs at most twice the listing per certificate (rate at least
// half the anchor's) at every size, so its growth is linear like the
// listing's. Runs in a temporary user hive of its own; the keys are ten
// containers of the software provider, shared round-robin.
#include "bench/RatioReporter.h"

#include "enrolment/CryptoAgent.h"
#include "signing/CertificateFilter.h"
#include "tests/support/CertificateBuilder.h"

#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kContainers = 10;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Key {
    std::u16string container;
    CERT_PUBLIC_KEY_INFO* info = nullptr;
    std::vector<BYTE> block;
};

// A personal certificate of the key: CN "Bench holder i", RSA with SHA-256,
// digitalSignature, valid 2020 to 2040, made with the tests' builder.
std::vector<BYTE> MakeCertificate(size_t i, const Key& key) {
    orvane::test::CertificateSpec spec;
    spec.subject = {{"2.5.4.6", "CN"}, {"2.5.4.3", "Bench holder " + std::to_string(i)}};
    spec.serial = {0x10, BYTE(i >> 8), BYTE(i)};
    spec.signatureAlgorithm = "1.2.840.113549.1.1.11";
    spec.keyUsage = orvane::test::Bytes{0x07, 0x80};
    spec.publicKeyInfo = orvane::test::EncodePublicKeyInfo(*key.info);
    return orvane::test::BuildCertificate(spec);
}

std::vector<Key>& Keys() {
    static std::vector<Key> keys = [] {
        std::vector<Key> made;
        for (size_t i = 0; i < kContainers; ++i) {
            Key k;
            k.container = u"bench-filter-" + std::u16string(1, char16_t(u'a' + i));
            HCRYPTPROV prov = 0;
            HCRYPTKEY key = 0;
            if (!CryptAcquireContextW(&prov, k.container.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                      CRYPT_NEWKEYSET) ||
                !CryptGenKey(prov, AT_SIGNATURE, 1024u << 16, &key))
                std::abort();
            CryptDestroyKey(key);
            DWORD size = 0;
            CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &size);
            k.block.resize(size);
            k.info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(k.block.data());
            if (!CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING, k.info, &size))
                std::abort();
            CryptReleaseContext(prov, 0);
            made.push_back(std::move(k));
        }
        return made;
    }();
    return keys;
}

// Fill: makes "MY" hold exactly the first n certificates, each linked to its
// key (the sizes run in increasing order, so only what is missing is added).
bool Fill(size_t n) {
    static size_t filled = 0;
    if (filled > n)
        return false;
    HCERTSTORE s =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    if (s == nullptr)
        return false;
    for (; filled < n; ++filled) {
        Key& key = Keys()[filled % kContainers];
        const std::vector<BYTE> der = MakeCertificate(filled, key);
        PCCERT_CONTEXT added = nullptr;
        if (!CertAddEncodedCertificateToStore(s, kEncoding, der.data(), DWORD(der.size()),
                                              CERT_STORE_ADD_NEW, &added))
            break;
        std::u16string provider = MS_ENHANCED_PROV_W;
        CRYPT_KEY_PROV_INFO info{
            key.container.data(), provider.data(), PROV_RSA_FULL, 0, 0, nullptr, AT_SIGNATURE};
        const BOOL linked =
            CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
        CertFreeCertificateContext(added);
        if (!linked)
            break;
    }
    CertCloseStore(s, 0);
    return filled == n;
}

void Filter(benchmark::State& state, size_t n) {
    if (!Fill(n)) {
        state.SkipWithError("could not fill the store");
        return;
    }
    CERTIFICATE_FILTER filter{};
    filter.dwKeyUsage = 0x80;
    filter.fPrivateKey = 1;
    filter.pszSignatureAlg = kRsaSignatureAlgPrefix;
    for (auto _ : state) {
        CertificateList out;
        if (FilterCertificatesfromLocalStore(&filter, out) != VURO_OK || out.size() != n) {
            state.SkipWithError("wrong result");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(n));
}

void Listing(benchmark::State& state, size_t n) {
    if (!Fill(n)) {
        state.SkipWithError("could not fill the store");
        return;
    }
    CCryptoAgent agent;
    for (auto _ : state) {
        BSTR list = nullptr;
        if (agent.VURO_GetAllCertInfo(&list) != VURO_OK || SysStringLen(list) == 0) {
            state.SkipWithError("listing failed");
            break;
        }
        SysFreeString(list);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(n));
}

// Each size's subject right after its anchor, on the same store.
void BM_List10(benchmark::State& s) {
    Listing(s, 10);
}
void BM_Filter10(benchmark::State& s) {
    Filter(s, 10);
}
void BM_List100(benchmark::State& s) {
    Listing(s, 100);
}
void BM_Filter100(benchmark::State& s) {
    Filter(s, 100);
}
void BM_List1000(benchmark::State& s) {
    Listing(s, 1000);
}
void BM_Filter1000(benchmark::State& s) {
    Filter(s, 1000);
}
BENCHMARK(BM_List10);
BENCHMARK(BM_Filter10);
BENCHMARK(BM_List100);
BENCHMARK(BM_Filter100);
BENCHMARK(BM_List1000);
BENCHMARK(BM_Filter1000);

} // namespace

int main(int argc, char** argv) {
    // A hive of our own, set before any registry call opens the user's.
    std::error_code ec;
    const auto dir = std::filesystem::temp_directory_path(ec) /
                     ("orvane-bench-filter-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir, ec);
    setenv("ORVANE_USER_HIVE", (dir / "user.db").c_str(), 1);
    setenv("ORVANE_MACHINE_HIVE", (dir / "machine.db").c_str(), 1);
    int rc = orvane::bench::RunWithRatios(argc, argv,
                                          {{"BM_Filter10", "BM_List10", 0.5},
                                           {"BM_Filter100", "BM_List100", 0.5},
                                           {"BM_Filter1000", "BM_List1000", 0.5}});
    std::filesystem::remove_all(dir, ec);
    return rc;
}
