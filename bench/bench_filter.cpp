// filter: choosing signing certificates from the user's "MY" store holding
// 10, 100 and 1,000 certificates with keys (FilterCertificatesfromLocalStore
// with the signing filter: key usage 0x80, private key required, RSA
// signature algorithm), per certificate, against the enrolment agent's
// listing of the same store (VURO_GetAllCertInfo) at the same size. Target:
// the filter costs at most twice the listing per certificate (rate at least
// half the anchor's) at every size, so its growth is linear like the
// listing's. Runs in a temporary user hive of its own; the keys are ten
// containers of the software provider, shared round-robin.
//
// csp names: what a selection does with the page's provider list (the
// personal store filtered by it, then the containers of the vendor providers
// it names searched), for one provider named 1,000, 10,000 and 20,000 times
// ("||"-joined: 32 KB, 320 KB and 640 KB of UTF-8, the last a frame's worth),
// per byte of the list, against cutting the same list once into owned pieces.
// The token holds one signing certificate in a container. Target: the search
// keeps at least a tenth of the cutting's rate at the two long lists (a
// twentieth at the short one, where opening the token weighs most), so its
// cost grows with the list's length as the cutting's does, not with its
// square; the "candidates" counter says how many certificates it offered.
#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"

#include "enrolment/CryptoAgent.h"
#include "selection/CertificateFilter.h"
#include "selection/UnregisteredCert.h"
#include "tests/support/CertificateBuilder.h"

#include <wincrypt.h>

#include "bench/BenchStores.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
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
    orvane::test::CertificateFields fields;
    fields.subject = {{"2.5.4.6", "CN"}, {"2.5.4.3", "Bench holder " + std::to_string(i)}};
    fields.serial = {0x10, BYTE(i >> 8), BYTE(i)};
    fields.signatureAlgorithm = "1.2.840.113549.1.1.11";
    fields.keyUsage = orvane::test::Bytes{0x07, 0x80};
    fields.publicKeyInfo = orvane::test::EncodePublicKeyInfo(*key.info);
    return orvane::test::BuildCertificate(fields);
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
    HCERTSTORE s = orvane::bench::OpenMy();
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

constexpr char16_t kSm2Token[] = u"Orvane Soft SM2 Token CSP v1.0";

// TokenCertificate: one SM2 signing key in a container of the stand-in token
// with its certificate kept beside it (as the token's middleware does), made
// once. Whether it is there.
bool TokenCertificate() {
    static const bool made = [] {
        HCRYPTPROV prov = 0;
        HCRYPTKEY key = 0;
        if (!CryptAcquireContextW(&prov, u"bench-filter-sm2", kSm2Token, PROV_RSA_FULL,
                                  CRYPT_NEWKEYSET))
            return false;
        bool ok = CryptGenKey(prov, 0x3E00, 0, &key) != FALSE; // the token's SM2 signing pair
        orvane::test::CertificateFields fields;
        if (ok)
            fields.publicKeyInfo = orvane::test::ExportPublicKeyInfo(prov, AT_SIGNATURE);
        ok = ok && !fields.publicKeyInfo.empty();
        if (ok) {
            fields.subject = {{"2.5.4.6", "CN"}, {"2.5.4.3", "Bench token holder"}};
            fields.signatureAlgorithm = "1.2.156.10197.1.501";
            fields.keyUsage = orvane::test::Bytes{0x07, 0x80};
            const std::vector<BYTE> der = orvane::test::BuildCertificate(fields);
            ok = CryptSetKeyParam(key, KP_CERTIFICATE, der.data(), 0) != FALSE;
        }
        if (key != 0)
            CryptDestroyKey(key);
        CryptReleaseContext(prov, 0);
        return ok;
    }();
    return made;
}

// The token's name `repeats` times, joined by "||".
std::u16string RepeatedNames(int64_t repeats) {
    std::u16string names;
    for (int64_t i = 0; i < repeats; ++i) {
        if (i != 0)
            names += u"||";
        names += kSm2Token;
    }
    return names;
}

void BM_CspNames(benchmark::State& state) {
    if (!TokenCertificate()) {
        state.SkipWithError("could not make the token's certificate");
        return;
    }
    const std::u16string names = RepeatedNames(state.range(0));
    // The selection's filters: signing usage, a reachable key, RSA from the
    // store and SM2 from the containers.
    CERTIFICATE_FILTER filter{};
    filter.pwszCSPName = names.c_str();
    filter.dwKeyUsage = 0x80;
    filter.fPrivateKey = 1;
    size_t candidates = 0;
    for (auto _ : state) {
        CertificateList store;
        UnregisteredCertList containers;
        filter.pszSignatureAlg = kRsaSignatureAlgPrefix;
        if (FilterCertificatesfromLocalStore(&filter, store) != VURO_OK) {
            state.SkipWithError("the store filter failed");
            break;
        }
        filter.pszSignatureAlg = kSm2SignatureAlgPrefix;
        if (FilterUnregisteredCertificatesfromCSP(names.c_str(), &filter, containers) != VURO_OK ||
            containers.empty()) {
            state.SkipWithError("the token's certificate was not found");
            break;
        }
        candidates = store.size() + containers.size();
    }
    state.counters["candidates"] = double(candidates);
    state.SetBytesProcessed(state.iterations() * int64_t(names.size() * sizeof(char16_t)));
}

// The anchor: the same list cut once at every "||" into owned pieces.
void BM_CutOnce(benchmark::State& state) {
    const std::u16string names = RepeatedNames(state.range(0));
    for (auto _ : state) {
        std::vector<std::u16string> pieces;
        std::u16string_view rest(names);
        for (size_t cut; (cut = rest.find(u"||")) != std::u16string_view::npos;) {
            pieces.emplace_back(rest.substr(0, cut));
            rest.remove_prefix(cut + 2);
        }
        pieces.emplace_back(rest);
        benchmark::DoNotOptimize(pieces.data());
    }
    state.SetBytesProcessed(state.iterations() * int64_t(names.size() * sizeof(char16_t)));
}

// Each length's subject right after its anchor, before the store fills.
BENCHMARK(BM_CutOnce)->Arg(1000);
BENCHMARK(BM_CspNames)->Arg(1000);
BENCHMARK(BM_CutOnce)->Arg(10000);
BENCHMARK(BM_CspNames)->Arg(10000);
BENCHMARK(BM_CutOnce)->Arg(20000);
BENCHMARK(BM_CspNames)->Arg(20000);

// Each size's subject right after its anchor, on the same store.
void BM_List(benchmark::State& s) {
    Listing(s, size_t(s.range(0)));
}
void BM_Filter(benchmark::State& s) {
    Filter(s, size_t(s.range(0)));
}
BENCHMARK(BM_List)->Arg(10);
BENCHMARK(BM_Filter)->Arg(10);
BENCHMARK(BM_List)->Arg(100);
BENCHMARK(BM_Filter)->Arg(100);
BENCHMARK(BM_List)->Arg(1000);
BENCHMARK(BM_Filter)->Arg(1000);

} // namespace

int main(int argc, char** argv) {
    return orvane::bench::RunInScratchHives("bench-filter", argc, argv,
                                            {{"BM_Filter/10", "BM_List/10", 0.5},
                                             {"BM_Filter/100", "BM_List/100", 0.5},
                                             {"BM_Filter/1000", "BM_List/1000", 0.5},
                                             {"BM_CspNames/1000", "BM_CutOnce/1000", 0.05},
                                             {"BM_CspNames/10000", "BM_CutOnce/10000", 0.1},
                                             {"BM_CspNames/20000", "BM_CutOnce/20000", 0.1}});
}
