// sign_roundtrip: what a page pays for signing through npSarvik. The subject
// is VURO_SelectUserCert plus VURO_SignData of a 1 KiB text, each a line of
// npshell's script loop run against the loaded plug-in library; the anchor
// is the PKCS #7 builder called directly with the same certificate and text
// in the same run. The plug-in path should cost at most 10 % more.
#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"
#include "foundation/Handles.h"
#include "signing/RsaPkcs7.h"
#include "tests/support/CertificateBuilder.h"
#include "tools/npshell/Browser.h"
#include "tools/npshell/PluginLibrary.h"
#include "tools/npshell/Shell.h"

#include "bench/BenchStores.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr char kCommonName[] = "Bench Signer sign_roundtrip";

struct Fixture {
    UniqueCertContext cert;
    std::string text = std::string(1024, 'a');
    NPPluginFuncs funcs{};
    std::unique_ptr<npshell::PluginLibrary> library;
    std::unique_ptr<npshell::Shell> shell;
    std::ostringstream out, err;
    int line = 0;
} g;

// MakeSigner: a 2048-bit signature key in the software provider and a
// certificate of it in "MY", linked to it.
bool MakeSigner() {
    const WCHAR container[] = TEXT("orvane-bench-sign-roundtrip");
    UniqueProvider prov;
    if (!CryptAcquireContextW(prov.put(), container, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                              CRYPT_NEWKEYSET))
        return false;
    UniqueKey key;
    if (!CryptGenKey(prov.get(), AT_SIGNATURE, 2048u << 16, key.put()))
        return false;
    orvane::test::CertificateFields fields;
    fields.publicKeyInfo = orvane::test::ExportPublicKeyInfo(prov.get(), AT_SIGNATURE);
    if (fields.publicKeyInfo.empty())
        return false;
    fields.subject = {{"2.5.4.6", "CN"}, {"2.5.4.3", kCommonName}};
    const orvane::test::Bytes der = orvane::test::BuildCertificate(fields);
    UniqueStore my(orvane::bench::OpenMy());
    PCCERT_CONTEXT added = nullptr;
    if (!my || !CertAddEncodedCertificateToStore(my.get(), X509_ASN_ENCODING, der.data(),
                                                 DWORD(der.size()), CERT_STORE_ADD_NEW, &added))
        return false;
    g.cert.reset(added);
    WCHAR containerName[64] = {};
    WCHAR providerName[64] = {};
    for (size_t i = 0; container[i] != 0; ++i)
        containerName[i] = container[i];
    for (size_t i = 0; MS_ENHANCED_PROV_W[i] != 0; ++i)
        providerName[i] = MS_ENHANCED_PROV_W[i];
    CRYPT_KEY_PROV_INFO link{};
    link.pwszContainerName = containerName;
    link.pwszProvName = providerName;
    link.dwProvType = PROV_RSA_FULL;
    link.dwKeySpec = AT_SIGNATURE;
    return CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &link) != FALSE;
}

bool LoadPlugin() {
    std::string error;
    g.library = npshell::PluginLibrary::Load(ORVANE_NPSARVIK_PATH, &error);
    if (!g.library) {
        std::fprintf(stderr, "bench_sign_roundtrip: %s\n", error.c_str());
        return false;
    }
    NPNetscapeFuncs browser = npshell::Browser::Instance().Functions();
    g.funcs.size = uint16_t(sizeof(g.funcs));
    if (g.library->Initialize(&browser, &g.funcs) != NPERR_NO_ERROR)
        return false;
    const std::string mime = g.library->MIMEDescription();
    g.shell = std::make_unique<npshell::Shell>(g.funcs, mime, mime.substr(0, mime.find(':')),
                                               std::vector<std::pair<std::string, std::string>>{},
                                               g.out, g.err);
    return true;
}

void BM_SignDirect(benchmark::State& state) {
    const auto* content = reinterpret_cast<const BYTE*>(g.text.data());
    for (auto _ : state) {
        BSTR signature = nullptr;
        if (FAILED(SignBinaryData(&signature, content, g.cert.get(), DWORD(g.text.size()), TRUE))) {
            state.SkipWithError("SignBinaryData failed");
            break;
        }
        SysFreeString(signature);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_SelectAndSignThroughNpshell(benchmark::State& state) {
    const std::string select =
        std::string("VURO_SelectUserCert(\"") + kCommonName + "\", \"\", \"\", \"\", false) => ok";
    const std::string sign = "VURO_SignData(\"" + g.text + "\", \"SHA-1\") => ok";
    for (auto _ : state) {
        if (!g.shell->RunLine(select, ++g.line) || !g.shell->RunLine(sign, ++g.line)) {
            state.SkipWithError("a script line failed");
            break;
        }
        // The printed results are not kept across iterations.
        g.out.str(std::string());
    }
    state.SetItemsProcessed(state.iterations());
}

// Medians of repeated runs: the machine's other work moves single runs by
// more than the margin measured.
BENCHMARK(BM_SignDirect)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SelectAndSignThroughNpshell)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv) {
    const orvane::bench::ScratchHives hives("bench-sign");
    int rc = 1;
    if (MakeSigner() && LoadPlugin()) {
        // At most 10 % more time: at least 1/1.1 of the anchor's rate.
        rc = orvane::bench::RunWithRatios(
            argc, argv, {{"BM_SelectAndSignThroughNpshell", "BM_SignDirect", 1.0 / 1.1}});
        if (!g.err.str().empty())
            std::fprintf(stderr, "%s", g.err.str().c_str());
        g.shell->DestroyAll();
        g.shell.reset();
        g.library->Shutdown();
    } else {
        std::fprintf(stderr, "bench_sign_roundtrip: setup failed (0x%08x)\n",
                     unsigned(GetLastError()));
    }
    g.cert.reset();
    return rc;
}
