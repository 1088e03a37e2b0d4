// One signed message per process, for the benchmarks that time or weigh a
// whole signing process against OpenSSL's command line:
//   pkcs7_sign_tool rsa|sm2 CERT.der PROVIDER CONTAINER KEYSPEC FILE attached|detached [OUT]
// RSA: the certificate leads to CONTAINER of PROVIDER through its key-provider
// property (SignFile). SM2: the certificate is a container certificate of
// CONTAINER (SM2SignFile). The Base64 text goes to OUT when given. With
// ORVANE_PEAK_REPORT set, the process's largest resident set (VmHWM, in KiB)
// is written to that file at the end: the kernel's count for the parent of a
// spawned process would start from the parent's own.
#include "signing/RsaPkcs7.h"
#include "signing/Sm2Pkcs7.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

WString Wide(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    WString out(size_t(n > 0 ? n : 1), 0);
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
    out.resize(out.size() - 1);
    return out;
}

// Writes the text in pieces, so that no second copy of it is ever whole.
bool WriteText(const char* path, BSTR text) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr)
        return false;
    const UINT cch = SysStringLen(text);
    char piece[65536];
    bool ok = true;
    for (UINT at = 0; at < cch && ok;) {
        const UINT n = std::min<UINT>(sizeof piece, cch - at);
        for (UINT i = 0; i < n; ++i)
            piece[i] = char(text[at + i]);
        ok = std::fwrite(piece, 1, n, f) == n;
        at += n;
    }
    return std::fclose(f) == 0 && ok;
}

void ReportPeak() {
    const char* path = std::getenv("ORVANE_PEAK_REPORT");
    if (path == nullptr)
        return;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            std::ofstream(path) << std::strtol(line.c_str() + 6, nullptr, 10) << "\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 8) {
        std::fprintf(stderr,
                     "usage: %s rsa|sm2 CERT.der PROVIDER CONTAINER KEYSPEC FILE "
                     "attached|detached [OUT]\n",
                     argv[0]);
        return 2;
    }
    const bool sm2 = std::strcmp(argv[1], "sm2") == 0;
    std::ifstream in(argv[2], std::ios::binary);
    const std::vector<BYTE> der((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
    WString provider = Wide(argv[3]), container = Wide(argv[4]);
    const DWORD keySpec = DWORD(std::strtoul(argv[5], nullptr, 10));
    const WString file = Wide(argv[6]);
    const BOOL attached = std::strcmp(argv[7], "attached") == 0;

    UniqueCertContext cert(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                        der.data(), DWORD(der.size())));
    if (!cert) {
        std::fprintf(stderr, "not a certificate: %s\n", argv[2]);
        return 1;
    }
    BSTR text = nullptr;
    HRESULT hr;
    if (sm2) {
        PCUNREGISTERED_CERT_CONTEXT ctx = nullptr;
        hr = CertCreateUnregisteredCertContext(container.c_str(), provider.c_str(), cert.get(),
                                               keySpec, &ctx);
        UniqueUnregisteredCertContext guard(ctx);
        if (SUCCEEDED(hr))
            hr = SM2SignFile(&text, ctx, file.c_str(), attached);
    } else {
        CRYPT_KEY_PROV_INFO info{};
        info.pwszContainerName = container.data();
        info.pwszProvName = provider.data();
        info.dwProvType = PROV_RSA_FULL;
        info.dwKeySpec = keySpec;
        CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
        hr = SignFile(&text, file.c_str(), cert.get(), attached);
    }
    UniqueBstr guard(text);
    if (FAILED(hr)) {
        std::fprintf(stderr, "signing failed: 0x%08x\n", unsigned(hr));
        return 1;
    }
    if (argc > 8 && !WriteText(argv[8], text)) {
        std::fprintf(stderr, "cannot write %s\n", argv[8]);
        return 1;
    }
    ReportPeak();
    return 0;
}
