// Signed messages made with keys in the stand-in providers, checked by
// OpenSSL: RSA messages verified by its CMS code and command, SM2 messages
// taken apart element by element and r and s verified with its SM2. Also the
// files that change while they are signed, and random contents.
// OpenSSL's headers come first: wincrypt.h's names (PKCS7_SIGNER_INFO, ...)
// would otherwise rewrite theirs.
#include <openssl/cms.h>

#include "tests/pkcs7/Pkcs7Checks.h"

#include "foundation/Handles.h"
#include "tests/pkcs7/CspSigner.h"
#include "signing/RsaPkcs7.h"
#include "signing/Sm2Pkcs7.h"
#include "tests/support/PosixTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <thread>

namespace {

using namespace orvane::checks;

constexpr WCHAR kBase[] = TEXT("Microsoft Base Cryptographic Provider v1.0");
constexpr WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
constexpr const WCHAR* kAes = orvane::tests::kAesProvider;
using orvane::tests::ProviderType;
constexpr WCHAR kRsaToken[] = TEXT("Orvane Soft RSA Token CSP v1.0");
constexpr WCHAR kSm2Token[] = TEXT("Orvane Soft SM2 Token CSP v1.0");
const HRESULT kFileCutShort = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);

WString NewContainerName() {
    static int n = 0;
    return W(("pkcs7-test-" + std::to_string(getpid()) + "-" + std::to_string(++n)).c_str());
}

std::string Text(BSTR b) {
    return U8(b);
}

Bytes Der(const std::string& text) {
    return Base64Decode(text);
}

void PutFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

Bytes RandomBytes(std::mt19937& rng, size_t n) {
    Bytes out(n);
    for (auto& b : out)
        b = std::uint8_t(rng());
    return out;
}

// --- signers ------------------------------------------------------------------------

using RsaSigner = orvane::tests::CspSigner;

// A new key pair in a new container of provider, exported as a public key
// blob; empty when the provider refuses.
Bytes NewKeyBlob(const WString& container, const WCHAR* provider, DWORD provType, ALG_ID alg,
                 DWORD flags) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, container.c_str(), provider, provType, CRYPT_NEWKEYSET))
        return {};
    HCRYPTKEY key = 0;
    Bytes blob;
    DWORD cb = 0;
    if (CryptGenKey(prov, alg, flags, &key) &&
        CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &cb)) {
        blob.resize(cb);
        if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &cb))
            blob.clear();
    }
    if (key)
        CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    return blob;
}

std::unique_ptr<RsaSigner> MakeRsaSigner(const WCHAR* provider, DWORD bits, DWORD keySpec,
                                         const Bytes& serial = {0x01, 0x23, 0x45}) {
    auto s = std::make_unique<RsaSigner>();
    s->provider = provider;
    s->container = NewContainerName();
    s->keySpec = keySpec;
    Pkey pub = RsaPublicFromBlob(NewKeyBlob(s->container, provider, ProviderType(provider), keySpec,
                                            (bits << 16) | CRYPT_EXPORTABLE));
    if (!pub)
        return nullptr;
    const Bytes der = IssueCertificate(pub.get(), serial, false, "RSA signer " + U8(provider));
    s->cert.reset(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                               DWORD(der.size())));
    if (!s->cert)
        return nullptr;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = s->container.data();
    info.pwszProvName = s->provider.data();
    info.dwProvType = ProviderType(provider);
    info.dwKeySpec = keySpec;
    if (!CertSetCertificateContextProperty(s->cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
        return nullptr;
    return s;
}

// An SM2 key pair in a fresh container of the SM2 token and the unregistered
// context of its certificate.
struct Sm2Signer {
    WString container;
    UniqueUnregisteredCertContext context;
    ~Sm2Signer() {
        HCRYPTPROV none = 0;
        CryptAcquireContextW(&none, container.c_str(), kSm2Token, PROV_RSA_FULL,
                             CRYPT_DELETEKEYSET);
    }
};

std::unique_ptr<Sm2Signer> MakeSm2Signer(DWORD keySpec = AT_SIGNATURE,
                                         const Bytes& serial = {0x05, 0x06}) {
    auto s = std::make_unique<Sm2Signer>();
    s->container = NewContainerName();
    Pkey pub = Sm2PublicFromBlob(NewKeyBlob(s->container, kSm2Token, PROV_RSA_FULL,
                                            keySpec == AT_SIGNATURE ? 0x3E00 : 0xBE00, 0));
    if (!pub)
        return nullptr;
    const Bytes der = IssueCertificate(pub.get(), serial, true, "SM2 signer");
    UniqueCertContext cert(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                        der.data(), DWORD(der.size())));
    PCUNREGISTERED_CERT_CONTEXT ctx = nullptr;
    if (!cert || FAILED(CertCreateUnregisteredCertContext(s->container.c_str(), kSm2Token,
                                                          cert.get(), keySpec, &ctx)))
        return nullptr;
    s->context.reset(ctx);
    return s;
}

// The four builders over one content, as the agent calls them.
enum class Builder { RsaData, RsaFile, Sm2Data, Sm2File };

struct Signed {
    HRESULT hResult = E_FAIL;
    std::string text;
};

Signed SignWith(Builder b, const void* signer, const Bytes& content, bool attached,
                const std::string& path) {
    Signed out;
    BSTR bstr = nullptr;
    const WString wpath = W(path.c_str());
    switch (b) {
    case Builder::RsaData:
        out.hResult =
            SignBinaryData(&bstr, content.data(), static_cast<const RsaSigner*>(signer)->cert.get(),
                           DWORD(content.size()), attached);
        break;
    case Builder::RsaFile:
        PutFile(path, content);
        out.hResult = SignFile(&bstr, wpath.c_str(),
                               static_cast<const RsaSigner*>(signer)->cert.get(), attached);
        break;
    case Builder::Sm2Data:
        out.hResult = SM2SignData(&bstr, static_cast<const Sm2Signer*>(signer)->context.get(),
                                  content.data(), DWORD(content.size()), attached);
        break;
    case Builder::Sm2File:
        PutFile(path, content);
        out.hResult = SM2SignFile(&bstr, static_cast<const Sm2Signer*>(signer)->context.get(),
                                  wpath.c_str(), attached);
        break;
    }
    if (SUCCEEDED(out.hResult)) {
        EXPECT_NE(bstr, nullptr);
        out.text = Text(bstr);
        EXPECT_EQ(SysStringLen(bstr), out.text.size());
    } else {
        EXPECT_EQ(bstr, nullptr) << "nothing is handed out on failure";
    }
    SysFreeString(bstr);
    return out;
}

// Lines of the print with their indentation taken away.
std::vector<std::string> PrintLines(const std::string& print) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < print.size()) {
        size_t end = print.find('\n', at);
        if (end == std::string::npos)
            end = print.size();
        std::string line = print.substr(at, end - at);
        line.erase(0, line.find_first_not_of(' '));
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

// Whether `second` follows `first` somewhere, as many times as asked.
int CountPairs(const std::vector<std::string>& lines, const std::string& first,
               const std::string& second) {
    int n = 0;
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        if (lines[i] == first && lines[i + 1] == second)
            ++n;
    return n;
}

int Count(const std::vector<std::string>& lines, const std::string& text) {
    return int(std::count(lines.begin(), lines.end(), text));
}

class Pkcs7OpenSSL : public ::testing::Test {
protected:
    TempDir dir{"orvane-pkcs7"};
    std::string File(const char* name) const { return dir / name; }
};

bool IsRsa(Builder b) {
    return b == Builder::RsaData || b == Builder::RsaFile;
}

// An RSA signer of the enhanced provider and an SM2 signer, each builder
// signing with the one of its kind, OpenSSL verifying as fits the kind.
class Pkcs7Signers : public Pkcs7OpenSSL {
protected:
    void SetUp() override {
        rsa = MakeRsaSigner(kEnhanced, 1024, AT_SIGNATURE);
        sm2 = MakeSm2Signer();
        ASSERT_TRUE(rsa && sm2);
    }
    Signed Sign(Builder b, const Bytes& content, bool attached, const std::string& path) {
        const void* signer = IsRsa(b) ? static_cast<const void*>(rsa.get()) : sm2.get();
        return SignWith(b, signer, content, attached, path);
    }
    static bool Verifies(Builder b, const Bytes& der, const Bytes& content, bool attached) {
        return IsRsa(b) ? CmsVerify(der, content, attached)
                        : CheckSm2Message(der, content, attached);
    }
    std::unique_ptr<RsaSigner> rsa;
    std::unique_ptr<Sm2Signer> sm2;
};

// --- RSA in every provider, with either key length ---------------------------------

struct RsaVariant {
    const char* name;
    const WCHAR* provider;
    DWORD bits;
    DWORD keySpec;
};

class RsaProviders : public Pkcs7OpenSSL, public ::testing::WithParamInterface<RsaVariant> {};

TEST_P(RsaProviders, TextAndFileVerifyAttachedAndDetached) {
    const RsaVariant& v = GetParam();
    auto signer = MakeRsaSigner(v.provider, v.bits, v.keySpec);
    ASSERT_TRUE(signer);
    // UTF-8 of a text with characters outside ASCII, as the agent hands it on.
    const std::string utf8 = "签名 the text, 1 KiB and a little more: " + std::string(1000, 'x');
    const Bytes text(utf8.begin(), utf8.end());
    std::mt19937 rng(v.bits + v.keySpec);
    const Bytes fileContent = RandomBytes(rng, 70000);

    struct Case {
        Builder builder;
        const Bytes* content;
        bool attached;
    };
    const Case cases[] = {{Builder::RsaData, &text, true},
                          {Builder::RsaData, &text, false},
                          {Builder::RsaFile, &fileContent, true},
                          {Builder::RsaFile, &fileContent, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.builder == Builder::RsaData ? "text" : "file") +
                     (c.attached ? " attached" : " detached"));
        const Signed s = SignWith(c.builder, signer.get(), *c.content, c.attached, File("in.bin"));
        ASSERT_EQ(s.hResult, S_OK);
        const Bytes der = Der(s.text);
        EXPECT_TRUE(CmsVerifyWithCommand(der, *c.content, c.attached, dir.path));
        // Texts on one line, files in lines of 76 characters.
        EXPECT_EQ(s.text, Base64Lines(der, c.builder == Builder::RsaFile));
        // The SignerInfo carries the CSP's signature, turned most
        // significant byte first.
        Bytes expected = signer->CspSignature(*c.content);
        std::reverse(expected.begin(), expected.end());
        EXPECT_EQ(CmsSignature(der), expected);
        EXPECT_EQ(expected.size(), v.bits / 8);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryProvider, RsaProviders,
    ::testing::Values(RsaVariant{"Base1024", kBase, 1024, AT_KEYEXCHANGE},
                      RsaVariant{"Base2048", kBase, 2048, AT_SIGNATURE},
                      RsaVariant{"Enhanced1024", kEnhanced, 1024, AT_SIGNATURE},
                      RsaVariant{"Enhanced2048", kEnhanced, 2048, AT_KEYEXCHANGE},
                      RsaVariant{"Aes1024", kAes, 1024, AT_KEYEXCHANGE},
                      RsaVariant{"Aes2048", kAes, 2048, AT_SIGNATURE},
                      RsaVariant{"Token1024", kRsaToken, 1024, AT_SIGNATURE},
                      RsaVariant{"Token2048", kRsaToken, 2048, AT_KEYEXCHANGE}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(Pkcs7Signers, RsaLayoutAsVerifiersExpect) {
    const Bytes content{'a', 'b', 'c'};
    for (bool attached : {true, false}) {
        SCOPED_TRACE(attached ? "attached" : "detached");
        const Signed s = Sign(Builder::RsaData, content, attached, "");
        ASSERT_EQ(s.hResult, S_OK);
        const Bytes der = Der(s.text);
        EXPECT_TRUE(ShortestLengths(der));
        const auto lines = PrintLines(CmsPrint(der, dir.path));
        // SHA-1 with NULL parameters in digestAlgorithms and the SignerInfo,
        // rsaEncryption with NULL, version 1 twice, one certificate, no
        // attributes of either kind.
        EXPECT_EQ(CountPairs(lines, "algorithm: sha1 (1.3.14.3.2.26)", "parameter: NULL"), 2);
        EXPECT_EQ(
            CountPairs(lines, "algorithm: rsaEncryption (1.2.840.113549.1.1.1)", "parameter: NULL"),
            2); // the SignerInfo's and the certificate key's
        EXPECT_EQ(Count(lines, "version: 1"), 2);
        EXPECT_EQ(Count(lines, "d.certificate:"), 1);
        EXPECT_EQ(CountPairs(lines, "signedAttrs:", "<ABSENT>"), 1);
        EXPECT_EQ(CountPairs(lines, "unsignedAttrs:", "<ABSENT>"), 1);
        EXPECT_EQ(CountPairs(lines, "crls:", "<ABSENT>"), 1);
        EXPECT_EQ(Count(lines, "eContentType: pkcs7-data (1.2.840.113549.1.7.1)"), 1);
        EXPECT_EQ(Count(lines, "eContent: <ABSENT>"), attached ? 0 : 1);
    }
}

// --- SM2 ------------------------------------------------------------------------------

TEST_F(Pkcs7OpenSSL, Sm2TextAndFileVerifyAttachedAndDetached) {
    for (DWORD keySpec : {DWORD(AT_SIGNATURE), DWORD(AT_KEYEXCHANGE)}) {
        SCOPED_TRACE(keySpec == AT_SIGNATURE ? "signature pair" : "exchange pair");
        auto signer = MakeSm2Signer(keySpec);
        ASSERT_TRUE(signer);
        std::mt19937 rng(keySpec);
        const std::string utf8 = "国密签名 of a text";
        const Bytes text(utf8.begin(), utf8.end());
        const Bytes fileContent = RandomBytes(rng, 50000);
        for (Builder b : {Builder::Sm2Data, Builder::Sm2File}) {
            const Bytes& content = b == Builder::Sm2Data ? text : fileContent;
            for (bool attached : {true, false}) {
                SCOPED_TRACE(std::string(b == Builder::Sm2Data ? "text" : "file") +
                             (attached ? " attached" : " detached"));
                const Signed s = SignWith(b, signer.get(), content, attached, File("in.bin"));
                ASSERT_EQ(s.hResult, S_OK);
                const Bytes der = Der(s.text);
                Sm2Message found;
                EXPECT_TRUE(CheckSm2Message(der, content, attached, &found));
                // One line, files as well as texts.
                EXPECT_EQ(s.text, Base64Lines(der, false));
                const Bytes cert(signer->context.get()->pCertContext->pbCertEncoded,
                                 signer->context.get()->pCertContext->pbCertEncoded +
                                     signer->context.get()->pCertContext->cbCertEncoded);
                EXPECT_EQ(found.certificate, cert);
            }
        }
    }
}

// --- edge cases -------------------------------------------------------------------------

TEST_F(Pkcs7Signers, FileSizesAroundALineOfBase64) {
    std::mt19937 rng(57);
    // Empty (the message carries an empty OCTET STRING), one line of Base64
    // exactly, one byte more.
    for (size_t size : {size_t(0), size_t(57), size_t(58)}) {
        const Bytes content = RandomBytes(rng, size);
        for (bool attached : {true, false}) {
            SCOPED_TRACE(std::to_string(size) + (attached ? " attached" : " detached"));
            const Signed r = Sign(Builder::RsaFile, content, attached, File("f"));
            ASSERT_EQ(r.hResult, S_OK);
            const Bytes der = Der(r.text);
            EXPECT_EQ(r.text, Base64Lines(der, true));
            EXPECT_TRUE(CmsVerifyWithCommand(der, content, attached, dir.path));
            const Signed s = Sign(Builder::Sm2File, content, attached, File("f"));
            ASSERT_EQ(s.hResult, S_OK);
            EXPECT_TRUE(CheckSm2Message(Der(s.text), content, attached));
        }
    }
}

TEST_F(Pkcs7OpenSSL, SerialNumbersThatNeedASignOctet) {
    // 0x8A... is negative without a leading 00; the message must name the
    // certificate by the same number.
    const Bytes serial{0x8A, 0x00, 0x11, 0x22, 0x33};
    auto rsa = MakeRsaSigner(kEnhanced, 1024, AT_SIGNATURE, serial);
    auto sm2 = MakeSm2Signer(AT_SIGNATURE, serial);
    ASSERT_TRUE(rsa && sm2);
    EXPECT_EQ(rsa->cert.get()->pCertInfo->SerialNumber.cbData, 6u)
        << "the certificate keeps its 00";
    const Bytes content{1, 2, 3};
    const Signed r = SignWith(Builder::RsaData, rsa.get(), content, true, "");
    ASSERT_EQ(r.hResult, S_OK);
    EXPECT_TRUE(CmsVerify(Der(r.text), content, true)); // finds its signer by issuer and serial
    const auto lines = PrintLines(CmsPrint(Der(r.text), dir.path));
    // Positive (no minus sign), in the certificate and in the SignerInfo.
    EXPECT_EQ(Count(lines, "serialNumber: 592706609715"), 2); // 0x8A00112233

    const Signed s = SignWith(Builder::Sm2Data, sm2.get(), content, false, "");
    ASSERT_EQ(s.hResult, S_OK);
    Sm2Message found;
    ASSERT_TRUE(CheckSm2Message(Der(s.text), content, false, &found));
    EXPECT_EQ(found.serial, (Bytes{0x02, 0x06, 0x00, 0x8A, 0x00, 0x11, 0x22, 0x33}));
}

TEST_F(Pkcs7Signers, MissingFilesAndBadArgumentsFail) {
    const WString missing = W(File("no-such-file").c_str());
    BSTR out = nullptr;
    EXPECT_EQ(SignFile(&out, missing.c_str(), rsa->cert.get(), TRUE),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(SM2SignFile(&out, sm2->context.get(), missing.c_str(), FALSE),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(out, nullptr);
    // A certificate with no key behind it.
    UniqueCertContext bare(CertCreateCertificateContext(
        X509_ASN_ENCODING, rsa->cert.get()->pbCertEncoded, rsa->cert.get()->cbCertEncoded));
    const BYTE one = 1;
    EXPECT_EQ(SignBinaryData(&out, &one, bare.get(), 1, TRUE), HRESULT(CRYPT_E_NO_KEY_PROPERTY));
    // A container that is gone: the opening fails, with the provider's reason.
    PCUNREGISTERED_CERT_CONTEXT gone = nullptr;
    ASSERT_EQ(CertCreateUnregisteredCertContext(TEXT("pkcs7-no-such-container"), kSm2Token,
                                                sm2->context.get()->pCertContext, AT_SIGNATURE,
                                                &gone),
              S_OK);
    UniqueUnregisteredCertContext goneGuard(gone);
    EXPECT_EQ(SM2SignData(&out, gone, &one, 1, TRUE), HRESULT(NTE_BAD_KEYSET));
    EXPECT_EQ(out, nullptr);
}

// --- files that change while they are signed -------------------------------------------

// What the read seam does after the first read of a file.
struct Change {
    std::string path;
    enum Kind { None, Truncate, Append, Rewrite } kind = None;
    Bytes replacement; // Rewrite: the new bytes; Append: the bytes added
    bool done = false;
};

void ChangeAfterFirstRead(void* pv, ULONGLONG /*cbRead*/) {
    auto* c = static_cast<Change*>(pv);
    if (c->done)
        return;
    c->done = true;
    switch (c->kind) {
    case Change::Truncate:
        std::filesystem::resize_file(c->path, 1000);
        break;
    case Change::Append: {
        std::ofstream out(c->path, std::ios::binary | std::ios::app);
        out.write(reinterpret_cast<const char*>(c->replacement.data()),
                  std::streamsize(c->replacement.size()));
        break;
    }
    case Change::Rewrite: {
        // In place, as an editor saving over it would.
        std::fstream out(c->path, std::ios::binary | std::ios::in | std::ios::out);
        out.write(reinterpret_cast<const char*>(c->replacement.data()),
                  std::streamsize(c->replacement.size()));
        break;
    }
    case Change::None:
        break;
    }
}

struct ObserverGuard {
    explicit ObserverGuard(Change* c) { SetSigningReadObserver(ChangeAfterFirstRead, c); }
    ~ObserverGuard() { SetSigningReadObserver(nullptr, nullptr); }
};

TEST_F(Pkcs7Signers, FilesThatChangeWhileTheyAreRead) {
    std::mt19937 rng(7);
    const Bytes original = RandomBytes(rng, 3 * kSigningReadChunk + 100);
    const Bytes other = RandomBytes(rng, original.size());
    const Bytes extra = RandomBytes(rng, 5000);
    // What was read: the first piece before the change, the rest after it.
    Bytes mixed = other;
    std::copy_n(original.begin(), kSigningReadChunk, mixed.begin());

    struct Case {
        const char* what;
        Change::Kind kind;
        const Bytes* replacement;
        HRESULT expected;
        const Bytes* signedContent; // what the message must carry and verify over
    };
    const Case cases[] = {
        // Cut short: the call fails, nothing is handed out.
        {"truncated", Change::Truncate, nullptr, kFileCutShort, nullptr},
        // Grown: the size at opening is signed and carried.
        {"appended", Change::Append, &extra, S_OK, &original},
        // Rewritten: the bytes hashed are the bytes carried, so the message
        // still verifies.
        {"rewritten", Change::Rewrite, &other, S_OK, &mixed},
    };
    const std::string path = File("changing.bin");
    for (const Case& c : cases) {
        for (Builder b : {Builder::RsaFile, Builder::Sm2File}) {
            for (bool attached : {true, false}) {
                SCOPED_TRACE(std::string(c.what) + (b == Builder::RsaFile ? " RSA" : " SM2") +
                             (attached ? " attached" : " detached"));
                Change change{path, c.kind, c.replacement ? *c.replacement : Bytes{}};
                Signed s;
                {
                    ObserverGuard guard(&change);
                    s = Sign(b, original, attached, path);
                }
                ASSERT_TRUE(change.done);
                ASSERT_EQ(s.hResult, c.expected);
                if (c.signedContent != nullptr) {
                    EXPECT_TRUE(Verifies(b, Der(s.text), *c.signedContent, attached));
                }
            }
        }
    }
}

// A second thread keeps rewriting, cutting and growing the file while it is
// signed: a call may fail (the file was cut short), but a message handed out
// always verifies over the content it carries.
TEST_F(Pkcs7Signers, FileRewrittenByAnotherThreadNeverYieldsABadMessage) {
    const std::string path = File("raced.bin");
    std::mt19937 seed(11);
    PutFile(path, RandomBytes(seed, 400000));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::mt19937 rng(12);
        while (!stop.load()) {
            const size_t size = 200000 + rng() % 400000;
            if (rng() % 3 == 0) {
                std::error_code ec;
                std::filesystem::resize_file(path, size / 4, ec);
            }
            std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
            const Bytes data = RandomBytes(rng, size);
            out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        }
    });
    int verified = 0, cutShort = 0;
    const WString wpath = W(path.c_str());
    for (int i = 0; i < 24; ++i) {
        const bool useRsa = i % 2 == 0;
        BSTR out = nullptr;
        const HRESULT hr = useRsa ? SignFile(&out, wpath.c_str(), rsa->cert.get(), TRUE)
                                  : SM2SignFile(&out, sm2->context.get(), wpath.c_str(), TRUE);
        if (hr == kFileCutShort) {
            ++cutShort;
            EXPECT_EQ(out, nullptr);
            continue;
        }
        ASSERT_EQ(hr, S_OK);
        const Bytes der = Der(Text(out));
        SysFreeString(out);
        if (useRsa) {
            // The content is what the message says it is; it must verify.
            const unsigned char* p = der.data();
            CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, long(der.size()));
            ASSERT_NE(cms, nullptr);
            ASN1_OCTET_STRING** carried = CMS_get0_content(cms);
            ASSERT_TRUE(carried != nullptr && *carried != nullptr);
            const Bytes content(ASN1_STRING_get0_data(*carried),
                                ASN1_STRING_get0_data(*carried) + ASN1_STRING_length(*carried));
            CMS_ContentInfo_free(cms);
            EXPECT_TRUE(CmsVerify(der, content, true));
        } else {
            EXPECT_TRUE(CheckSm2Message(der, Sm2AttachedContent(der), true));
        }
        ++verified;
    }
    stop = true;
    writer.join();
    EXPECT_GT(verified, 0);
    RecordProperty("cut_short", cutShort);
}

// --- random contents -------------------------------------------------------------------

// A random UTF-16 text (supplementary characters included) as the UTF-8 the
// agent signs.
Bytes RandomTextUtf8(std::mt19937& rng, size_t maxBytes) {
    WString text;
    while (text.size() * 3 < maxBytes) {
        const std::uint32_t r = rng();
        std::uint32_t cp = r % 4 == 0 ? 0x10000 + rng() % 0x100000 : 0x20 + rng() % 0xD7E0;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            text += WCHAR(0xD800 + (cp >> 10));
            text += WCHAR(0xDC00 + (cp & 0x3FF));
        } else {
            text += WCHAR(cp);
        }
    }
    const std::string utf8 = U8(text);
    return Bytes(utf8.begin(), utf8.begin() + long(std::min(utf8.size(), maxBytes)));
}

// 1,000 contents, the builders taking turns (each signs 250) so that a run
// stays within seconds; ORVANE_PKCS7_EVERY_BUILDER=1 has every builder sign
// every content.
TEST_F(Pkcs7Signers, RandomContentsVerify) {
    const char* every = std::getenv("ORVANE_PKCS7_EVERY_BUILDER");
    const bool everyBuilder = every != nullptr && std::string(every) == "1";
    const Builder builders[] = {Builder::RsaData, Builder::RsaFile, Builder::Sm2Data,
                                Builder::Sm2File};
    const unsigned seed = 0x5EED7;
    std::mt19937 rng(seed);
    const std::string path = File("random.bin");
    for (int i = 0; i < 1000; ++i) {
        const size_t size = rng() % (64 * 1024 + 1);
        const Bytes content = i % 2 == 0 ? RandomBytes(rng, size) : RandomTextUtf8(rng, size);
        for (int k = 0; k < 4; ++k) {
            if (!everyBuilder && k != (i / 2) % 4)
                continue;
            const Builder b = builders[k];
            const bool attached = rng() % 2 == 0;
            SCOPED_TRACE("content " + std::to_string(i) + ", builder " + std::to_string(k) +
                         " (seed " + std::to_string(seed) + ")");
            const Signed s = Sign(b, content, attached, path);
            ASSERT_EQ(s.hResult, S_OK);
            ASSERT_TRUE(Verifies(b, Der(s.text), content, attached));
        }
    }
}

} // namespace
