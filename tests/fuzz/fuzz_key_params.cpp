// Key parameters and key imports of every stand-in provider with arbitrary
// bytes: CryptSetKeyParam, CryptGetKeyParam and CryptImportKey on the key
// pairs of the software RSA provider, the SM2 token and the RSA token, in
// containers of a scratch hive.
//
// Input: byte 0 picks the call, byte 1 the provider and key pair, byte 2 the
// parameter; the rest is the value or the blob.
//
// CryptSetKeyParam carries no length: a caller hands over a value the
// parameter's own rules delimit (a DWORD, an IV, one whole certificate). The
// value therefore sits at the start of a buffer with room after it for the
// largest value a parameter may take, so reads within those rules stay
// inside; anything read beyond is a fault for AddressSanitizer. A certificate
// the provider accepted must come back as exactly the bytes handed over, and
// be one whole certificate.
//
// The enveloped imports carry the address of their ciphertext: the last field
// of such a blob is pointed at a copy of the input's remainder (and its bit
// length kept within it), as a caller would.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr ALG_ID kSm2Sign = 0x3E00;
constexpr ALG_ID kSm2Exchange = 0xBE00;
constexpr ALG_ID kRsaEnvelope = 0xA400;
// Room after a value: the largest certificate a key takes, with its header.
constexpr size_t kRoom = 0x10008;

struct Pair {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
};

struct Providers {
    std::vector<Pair> pairs;
    Providers() {
        struct Setup {
            const WCHAR* name;
            ALG_ID algs[2];
            DWORD bits;
        } setups[] = {
            {u"Microsoft Enhanced Cryptographic Provider v1.0",
             {AT_KEYEXCHANGE, AT_SIGNATURE},
             512},
            {u"Orvane Soft SM2 Token CSP v1.0", {kSm2Exchange, kSm2Sign}, 0},
            {u"Orvane Soft RSA Token CSP v1.0", {AT_KEYEXCHANGE, AT_SIGNATURE}, 1024},
        };
        for (const Setup& s : setups) {
            for (ALG_ID alg : s.algs) {
                Pair p;
                const std::u16string container =
                    u"fuzz-key-params-" + std::u16string(1, char16_t(u'a' + pairs.size()));
                if (!CryptAcquireContextW(&p.prov, container.c_str(), s.name, PROV_RSA_FULL,
                                          CRYPT_NEWKEYSET) ||
                    !CryptGenKey(p.prov, alg, (s.bits << 16) | CRYPT_EXPORTABLE, &p.key))
                    std::abort();
                pairs.push_back(p);
            }
        }
    }
};

Providers& All() {
    static Providers* providers = new Providers;
    return *providers;
}

const DWORD kParams[] = {
    KP_CERTIFICATE, KP_CERTIFICATE, KP_CERTIFICATE, KP_MODE,     KP_PADDING, KP_PERMISSIONS,
    KP_IV,          KP_ALGID,       KP_KEYLEN,      KP_BLOCKLEN, 0,          0xFFFFFFFF};

bool WholeCertificate(const std::vector<BYTE>& value) {
    PCCERT_CONTEXT c =
        CertCreateCertificateContext(X509_ASN_ENCODING, value.data(), DWORD(value.size()));
    const bool whole = c != nullptr && c->cbCertEncoded == value.size();
    CertFreeCertificateContext(c);
    return whole;
}

std::vector<BYTE> Certificate(HCRYPTKEY key) {
    DWORD size = 0;
    if (!CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0))
        return {};
    std::vector<BYTE> out(size);
    if (!CryptGetKeyParam(key, KP_CERTIFICATE, out.data(), &size, 0))
        std::abort();
    out.resize(size);
    return out;
}

void SetParam(const Pair& p, DWORD param, const uint8_t* data, size_t size) {
    std::vector<BYTE> memory(data, data + size);
    memory.resize(size + kRoom, 0x5A);
    const std::vector<BYTE> before = Certificate(p.key);
    if (CryptSetKeyParam(p.key, param, memory.data(), 0)) {
        if (param != KP_CERTIFICATE)
            return;
        const std::vector<BYTE> stored = Certificate(p.key);
        if (stored.empty() || stored.size() > memory.size() ||
            std::memcmp(stored.data(), memory.data(), stored.size()) != 0 ||
            !WholeCertificate(stored))
            std::abort();
    } else if (param == KP_CERTIFICATE && Certificate(p.key) != before) {
        std::abort(); // refused, yet something was stored
    }
}

void GetParam(const Pair& p, DWORD param) {
    DWORD size = 0;
    if (!CryptGetKeyParam(p.key, param, nullptr, &size, 0))
        return;
    std::vector<BYTE> out(size);
    DWORD again = size;
    if (!CryptGetKeyParam(p.key, param, out.data(), &again, 0) || again != size)
        std::abort();
    if (size > 0) {
        DWORD tooSmall = size - 1;
        if (CryptGetKeyParam(p.key, param, out.data(), &tooSmall, 0) ||
            GetLastError() != ERROR_MORE_DATA || tooSmall != size)
            std::abort();
    }
}

void PutU32(std::vector<BYTE>& blob, size_t at, DWORD v) {
    for (int i = 0; i < 4; ++i)
        blob[at + size_t(i)] = BYTE(v >> (8 * i));
}

DWORD U32(const std::vector<BYTE>& blob, size_t at) {
    return DWORD(blob[at]) | DWORD(blob[at + 1]) << 8 | DWORD(blob[at + 2]) << 16 |
           DWORD(blob[at + 3]) << 24;
}

void Import(const Pair& p, const uint8_t* data, size_t size) {
    if (size < 1)
        return;
    const size_t blobSize = std::min<size_t>(data[0], size - 1);
    std::vector<BYTE> blob(data + 1, data + 1 + blobSize);
    const std::vector<BYTE> pointed(data + 1 + blobSize, data + size);
    // An enveloped blob: its address field points at the input's remainder.
    if (blob.size() >= 16 && blob[0] == PRIVATEKEYBLOB) {
        const ALG_ID alg = U32(blob, 4);
        const size_t bitsAt = alg == kSm2Exchange ? 12 : alg == kRsaEnvelope ? 16 : 0;
        if (bitsAt != 0 && blob.size() == bitsAt + 4 + sizeof(void*)) {
            const BYTE* address = pointed.empty() ? nullptr : pointed.data();
            std::memcpy(blob.data() + bitsAt + 4, &address, sizeof address);
            PutU32(blob, bitsAt, std::min<DWORD>(U32(blob, bitsAt), DWORD(pointed.size() * 8)));
        }
    }
    std::unique_ptr<BYTE[]> exact(new BYTE[blob.size() + 1]);
    std::memcpy(exact.get(), blob.data(), blob.size());
    HCRYPTKEY key = 0;
    if (CryptImportKey(p.prov, exact.get(), DWORD(blob.size()), 0, CRYPT_EXPORTABLE, &key))
        CryptDestroyKey(key);
}

} // namespace

std::filesystem::path& ScratchDir() {
    static std::filesystem::path dir;
    return dir;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Scratch hives of this run's own, removed at the end (after the hives
    // are closed: handlers run in the reverse order of registration).
    ScratchDir() = std::filesystem::temp_directory_path() /
                   ("orvane-fuzz-key-params-" + std::to_string(getpid()));
    const auto& dir = ScratchDir();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(ScratchDir(), ec);
    });
    setenv("ORVANE_USER_HIVE", (dir / "user.db").c_str(), 1);
    setenv("ORVANE_MACHINE_HIVE", (dir / "machine.db").c_str(), 1);
    All();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    const auto& pairs = All().pairs;
    const Pair& p = pairs[data[1] % pairs.size()];
    const DWORD param = kParams[data[2] % (sizeof kParams / sizeof kParams[0])];
    switch (data[0] % 3) {
    case 0:
        SetParam(p, param, data + 3, size - 3);
        break;
    case 1:
        GetParam(p, param);
        break;
    default:
        Import(p, data + 3, size - 3);
        break;
    }
    return 0;
}
