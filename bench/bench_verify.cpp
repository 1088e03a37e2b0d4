// The relying party's verifier against OpenSSL, same messages, same run:
//  - a 30 MiB detached RSA message (SHA-1, no attributes, as Orvane's file
//    signer writes it), a whole orvane-verify process each against `openssl
//    cms -verify -binary` with the same anchor (target: at most 1.2x its time);
//  - a 1 KiB attached RSA message verified in process (VerifyMessage, from
//    its Base64 text to the last check) against CMS_verify on its DER with
//    the same anchor: verifications per second, the ratio reported.
// Keys, certificates and messages come from the openssl command line.
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "bench/BenchSupport.h"
#include "bench/RatioReporter.h"
#include "verify/Verifier.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kFileSize = 30u * 1024 * 1024;

struct Setup {
    std::string dir, ca, file, message, small, smallText;
    std::vector<unsigned char> smallDer;
    bool ok = false;
};
Setup g;

// Run: one process to its end, output and errors silenced.
int Run(const std::vector<std::string>& args) {
    return orvane::bench::RunQuietly(args, true);
}

bool Openssl(std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    return Run(args) == 0;
}

std::vector<unsigned char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Prepare() {
    char pattern[] = "/tmp/orvane-bench-verify.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return false;
    g.dir = pattern;
    const std::string d = g.dir + "/";
    g.ca = d + "ca.pem";
    g.file = d + "file.bin";
    g.message = d + "file.p7s";
    g.small = d + "small.p7s";
    g.smallText = d + "small.b64";
    {
        std::mt19937 random(7);
        std::vector<char> bytes(kFileSize);
        for (char& c : bytes)
            c = char(random());
        std::ofstream(g.file, std::ios::binary).write(bytes.data(), long(bytes.size()));
        std::ofstream(d + "small.bin", std::ios::binary).write(bytes.data(), 1024);
    }
    std::ofstream(d + "ee.ext") << "keyUsage=critical,digitalSignature\n";
    const bool made =
        Openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "ca.key", "-out",
                 g.ca, "-subj", "/CN=Bench Root", "-days", "30", "-addext",
                 "keyUsage=critical,keyCertSign"}) &&
        Openssl({"req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "ee.key", "-out",
                 d + "ee.csr", "-subj", "/CN=Bench Signer"}) &&
        Openssl({"x509", "-req", "-in", d + "ee.csr", "-CA", g.ca, "-CAkey", d + "ca.key", "-days",
                 "30", "-extfile", d + "ee.ext", "-set_serial", "2", "-out", d + "ee.pem"}) &&
        Openssl({"cms", "-sign", "-binary", "-noattr", "-md", "sha1", "-in", g.file, "-signer",
                 d + "ee.pem", "-inkey", d + "ee.key", "-outform", "DER", "-out", g.message}) &&
        Openssl({"cms", "-sign", "-binary", "-nodetach", "-noattr", "-md", "sha1", "-in",
                 d + "small.bin", "-signer", d + "ee.pem", "-inkey", d + "ee.key", "-outform",
                 "DER", "-out", g.small}) &&
        Openssl({"base64", "-A", "-in", g.small, "-out", g.smallText});
    if (!made)
        return false;
    g.smallDer = ReadAll(g.small);
    // Both verifiers must accept the messages, or the timings mean nothing.
    g.ok = Run({ORVANE_VERIFY_PATH, "--ca", g.ca, g.message, g.file}) == 0 &&
           Openssl({"cms", "-verify", "-binary", "-inform", "DER", "-in", g.message, "-content",
                    g.file, "-CAfile", g.ca, "-out", "/dev/null"});
    return g.ok;
}

void BM_OrvaneVerify30MiBDetached(benchmark::State& state) {
    if (!g.ok) {
        state.SkipWithError("set-up failed");
        return;
    }
    for (auto _ : state)
        if (Run({ORVANE_VERIFY_PATH, "--ca", g.ca, g.message, g.file}) != 0) {
            state.SkipWithError("orvane-verify refused the message");
            break;
        }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}

void BM_OpensslCmsVerify30MiBDetached(benchmark::State& state) {
    if (!g.ok) {
        state.SkipWithError("set-up failed");
        return;
    }
    for (auto _ : state)
        if (!Openssl({"cms", "-verify", "-binary", "-inform", "DER", "-in", g.message, "-content",
                      g.file, "-CAfile", g.ca, "-out", "/dev/null"})) {
            state.SkipWithError("openssl cms -verify refused the message");
            break;
        }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}

void BM_VerifyMessage1KiB(benchmark::State& state) {
    using namespace orvane::verify;
    VerifyOptions options;
    std::string why;
    if (!g.ok || !LoadCertificates(g.ca, options.anchors, why)) {
        state.SkipWithError("set-up failed");
        return;
    }
    options.at = std::int64_t(std::time(nullptr));
    const std::vector<unsigned char> text = ReadAll(g.smallText);
    for (auto _ : state) {
        const Report report = VerifyMessage(text, "", options);
        if (!report.Verified()) {
            state.SkipWithError(report.Verdict().c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_CmsVerify1KiB(benchmark::State& state) {
    if (!g.ok) {
        state.SkipWithError("set-up failed");
        return;
    }
    X509_STORE* store = X509_STORE_new();
    X509_STORE_load_file(store, g.ca.c_str());
    for (auto _ : state) {
        const unsigned char* p = g.smallDer.data();
        CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, long(g.smallDer.size()));
        BIO* out = BIO_new(BIO_s_null());
        const bool ok =
            cms != nullptr && CMS_verify(cms, nullptr, store, nullptr, out, CMS_BINARY) == 1;
        BIO_free(out);
        CMS_ContentInfo_free(cms);
        if (!ok) {
            state.SkipWithError("CMS_verify refused the message");
            break;
        }
    }
    X509_STORE_free(store);
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_OrvaneVerify30MiBDetached)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->Repetitions(5)
    ->UseRealTime();
BENCHMARK(BM_OpensslCmsVerify30MiBDetached)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->Repetitions(5)
    ->UseRealTime();
BENCHMARK(BM_VerifyMessage1KiB)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_CmsVerify1KiB)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

int main(int argc, char** argv) {
    if (!Prepare())
        std::fprintf(stderr, "bench_verify: the messages could not be prepared in %s\n",
                     g.dir.c_str());
    const int rc = orvane::bench::RunWithRatios(
        argc, argv,
        {{"BM_OrvaneVerify30MiBDetached", "BM_OpensslCmsVerify30MiBDetached", 1.0 / 1.2},
         {"BM_VerifyMessage1KiB", "BM_CmsVerify1KiB", 0.0}});
    if (!g.dir.empty())
        Run({"rm", "-rf", g.dir});
    return rc;
}
