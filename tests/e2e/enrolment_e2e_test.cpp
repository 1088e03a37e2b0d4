// Whole enrolments through the real Tandry, held through frames as a page
// would hold them, with the test issuer answering the requests. Everything
// the host did is checked from outside it: the request with OpenSSL, the
// installed certificates in the store or the token, the encryption key by
// decrypting what OpenSSL encrypted to its certificate.
// OpenSSL's headers come before the Windows ones, whose names would clash.
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "tools/enrol/EnrolConversation.h"
#include "tests/support/OpensslRequestCheck.h"

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace orvane::checks;
using orvane::tools::EnrolOptions;
using orvane::tools::EnrolResult;
using orvane::tools::RunEnrolment;

constexpr char kEnhanced[] = "Microsoft Enhanced Cryptographic Provider v1.0";
constexpr char kRsaToken[] = "Orvane Soft RSA Token CSP v1.0";
constexpr char kSm2Token[] = "Orvane Soft SM2 Token CSP v1.0";

std::u16string Wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// The issuer's folder: the run's own (its authorities are made on first use).
std::string CaDir() {
    const char* dir = std::getenv("ORVANE_E2E_CA_DIR");
    return dir != nullptr ? dir : "e2e-ca";
}

EnrolOptions Options(const std::string& provider, const std::string& algorithm, int bits,
                     int certType) {
    EnrolOptions o;
    o.hostCommand = {ORVANE_TANDRY_PATH};
    o.provider = provider;
    o.algorithm = algorithm;
    o.keyBits = bits;
    o.certType = certType;
    o.caDir = CaDir();
    return o;
}

Pkey PublicKeyOf(const Bytes& certificate) {
    const unsigned char* p = certificate.data();
    X509* x = d2i_X509(nullptr, &p, long(certificate.size()));
    Pkey key(x ? X509_get_pubkey(x) : nullptr);
    X509_free(x);
    return key;
}

// The certificate in "MY" with these bytes, and its key-provider link.
::testing::AssertionResult InPersonalStore(const Bytes& certificate, const std::string& container,
                                           const std::string& provider, DWORD dwKeySpec) {
    HCERTSTORE hStore =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    if (hStore == nullptr)
        return ::testing::AssertionFailure() << "no MY store";
    bool found = false;
    std::string why = "certificate not in MY";
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(hStore, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(hStore, c)) {
        if (Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded) != certificate)
            continue;
        DWORD cb = 0;
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb)) {
            why = "no key-provider link";
            continue;
        }
        std::vector<ULONGLONG> buffer((cb + 7) / 8);
        auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
        CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, info, &cb);
        if (std::u16string(info->pwszContainerName) == Wide(container) &&
            std::u16string(info->pwszProvName) == Wide(provider) && info->dwKeySpec == dwKeySpec)
            found = true;
        else
            why = "the link names another key";
    }
    CertCloseStore(hStore, 0);
    return found ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << why;
}

struct Container {
    HCRYPTPROV h = 0;
    Container(const std::string& provider, const std::string& name, bool bSM2) {
        if (!CryptAcquireContextW(&h, Wide(name).c_str(), Wide(provider).c_str(), PROV_RSA_FULL,
                                  bSM2 ? 0xF0000000u : 0))
            h = 0;
    }
    ~Container() {
        if (h)
            CryptReleaseContext(h, 0);
    }
};

// The certificate the token keeps with the key of dwKeySpec.
Bytes TokenCertificate(const Container& c, DWORD dwKeySpec) {
    HCRYPTKEY hKey = 0;
    if (!c.h || !CryptGetUserKey(c.h, dwKeySpec, &hKey))
        return {};
    DWORD cb = 0;
    Bytes out;
    if (CryptGetKeyParam(hKey, KP_CERTIFICATE, nullptr, &cb, 0)) {
        out.resize(cb);
        CryptGetKeyParam(hKey, KP_CERTIFICATE, out.data(), &cb, 0);
        out.resize(cb);
    }
    CryptDestroyKey(hKey);
    return out;
}

// The exchange key decrypts what OpenSSL encrypted to the certificate.
::testing::AssertionResult RsaExchangeKeyMatches(const Container& c, const Bytes& certificate) {
    Pkey key = PublicKeyOf(certificate);
    unsigned char secret[32];
    RAND_bytes(secret, sizeof secret);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr);
    size_t cb = 0;
    Bytes cipher;
    bool ok = ctx && EVP_PKEY_encrypt_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_encrypt(ctx, nullptr, &cb, secret, sizeof secret) == 1;
    if (ok) {
        cipher.resize(cb);
        ok = EVP_PKEY_encrypt(ctx, cipher.data(), &cb, secret, sizeof secret) == 1;
    }
    EVP_PKEY_CTX_free(ctx);
    if (!ok)
        return ::testing::AssertionFailure() << "OpenSSL could not encrypt";
    HCRYPTKEY hKey = 0;
    if (!c.h || !CryptGetUserKey(c.h, AT_KEYEXCHANGE, &hKey))
        return ::testing::AssertionFailure() << "no exchange key";
    Bytes data(cipher.rbegin(), cipher.rend()); // the provider takes it little-endian
    DWORD cbData = DWORD(data.size());
    ok = CryptDecrypt(hKey, 0, TRUE, 0, data.data(), &cbData);
    CryptDestroyKey(hKey);
    if (!ok)
        return ::testing::AssertionFailure() << "CryptDecrypt failed: " << GetLastError();
    if (Bytes(data.begin(), data.begin() + cbData) != Bytes(secret, secret + sizeof secret))
        return ::testing::AssertionFailure() << "decrypted the wrong bytes";
    return ::testing::AssertionSuccess();
}

// The SM2 exchange key pair is the certificate's: same public point.
::testing::AssertionResult Sm2ExchangeKeyMatches(const Container& c, const Bytes& certificate) {
    HCRYPTKEY hKey = 0;
    if (!c.h || !CryptGetUserKey(c.h, AT_KEYEXCHANGE, &hKey))
        return ::testing::AssertionFailure() << "no exchange key";
    BYTE blob[140];
    DWORD cb = sizeof blob;
    const bool exported = CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob, &cb);
    CryptDestroyKey(hKey);
    if (!exported || cb != 140)
        return ::testing::AssertionFailure() << "no public blob";
    Bytes point = {0x04};
    for (int i = 31; i >= 0; --i)
        point.push_back(blob[12 + i]);
    for (int i = 31; i >= 0; --i)
        point.push_back(blob[76 + i]);
    Pkey key = PublicKeyOf(certificate);
    Bytes certPoint(65);
    size_t len = 0;
    if (!key || EVP_PKEY_get_octet_string_param(key.get(), "pub", certPoint.data(),
                                                certPoint.size(), &len) != 1)
        return ::testing::AssertionFailure() << "no point in the certificate";
    return point == certPoint ? ::testing::AssertionSuccess()
                              : ::testing::AssertionFailure() << "another key pair";
}

std::set<std::u16string> Containers(const std::string& provider, bool bSM2) {
    std::set<std::u16string> names;
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, nullptr, Wide(provider).c_str(), PROV_RSA_FULL,
                              bSM2 ? 0xF0000000u : CRYPT_VERIFYCONTEXT))
        return names;
    char name[512];
    for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
        DWORD cb = sizeof name;
        if (!CryptGetProvParam(h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &cb, flags))
            break;
        names.insert(Wide(name));
    }
    CryptReleaseContext(h, 0);
    return names;
}

struct Conversation {
    const char* name;
    const char* provider;
    const char* algorithm;
    int bits;
    int certType;
    const char* format; // "" for the host's own choice
};

class Enrolment : public ::testing::TestWithParam<Conversation> {};

TEST_P(Enrolment, InstallsWhatTheIssuerIssued) {
    const Conversation& c = GetParam();
    const bool bSM2 = std::string(c.algorithm) == "SM2";
    const auto before = Containers(c.provider, bSM2);
    EnrolOptions options = Options(c.provider, c.algorithm, c.bits, c.certType);
    options.envelopeFormat = c.format;
    options.subject = std::string("CN=") + c.name + ",O=Orvane Tests,C=CN";
    const EnrolResult r = RunEnrolment(options);
    ASSERT_TRUE(r.ok) << r.error;

    EXPECT_TRUE(VerifyRequestText(r.request, bSM2));
    // Exactly one new container, the request's: nothing throw-away stays.
    auto after = Containers(c.provider, bSM2);
    EXPECT_EQ(after.size(), before.size() + 1);
    EXPECT_TRUE(after.count(Wide(r.container)));

    const Bytes sign = Base64Decode(r.signCert);
    const DWORD dwSignSpec = c.certType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
    const bool microsoft = std::string(c.provider).find("Microsoft") != std::string::npos;
    Container container(c.provider, r.container, bSM2);
    ASSERT_NE(container.h, 0u);
    // Software providers and the RSA token put the certificates in the
    // personal store, linked to their keys (the token keeps its own copy
    // too); SM2 token certificates stay in the token only.
    const bool registered = !bSM2;
    if (registered) {
        EXPECT_TRUE(InPersonalStore(sign, r.container, c.provider, dwSignSpec));
    }
    if (!microsoft) {
        EXPECT_EQ(TokenCertificate(container, dwSignSpec), sign);
    }
    // The listing the page sees names the signing certificate when the store
    // holds it.
    EXPECT_EQ(r.certList.find(c.name) != std::string::npos, registered) << r.certList;

    if (c.certType == 1)
        return;
    const Bytes enc = Base64Decode(r.encCert);
    if (registered) {
        EXPECT_TRUE(InPersonalStore(enc, r.container, c.provider, AT_KEYEXCHANGE));
    }
    if (!microsoft) {
        EXPECT_EQ(TokenCertificate(container, AT_KEYEXCHANGE), enc);
    }
    if (bSM2)
        EXPECT_TRUE(Sm2ExchangeKeyMatches(container, enc));
    else
        EXPECT_TRUE(RsaExchangeKeyMatches(container, enc));
}

INSTANTIATE_TEST_SUITE_P(
    Tandry, Enrolment,
    ::testing::Values(Conversation{"RsaSingle", kEnhanced, "RSA", 1024, 1, ""},
                      Conversation{"RsaDoubleOldFormat", kEnhanced, "RSA", 2048, 2, ""},
                      Conversation{"RsaTokenDoubleOldFormat", kRsaToken, "RSA", 1024, 2, ""},
                      Conversation{"RsaTokenDoubleNewFormat", kRsaToken, "RSA", 2048, 2, ""},
                      Conversation{"Sm2Single", kSm2Token, "SM2", 256, 1, ""},
                      Conversation{"Sm2DoubleC1C3C2", kSm2Token, "SM2", 256, 2, "sm2-c1c3c2"},
                      // The token takes the other order only: the host retries.
                      Conversation{"Sm2DoubleC1C2C3", kSm2Token, "SM2", 256, 2, "sm2-c1c2c3"}),
    [](const auto& conversation) { return std::string(conversation.param.name); });

TEST(EnrolmentRobustness, EightHostsEnrolAtOnceIntoOneHive) {
    constexpr int kHosts = 8;
    std::vector<EnrolResult> results(kHosts);
    std::vector<std::thread> threads;
    for (int i = 0; i < kHosts; ++i)
        threads.emplace_back([&results, i] {
            EnrolOptions o = Options(kEnhanced, "RSA", 1024, 2);
            o.subject = "CN=Parallel " + std::to_string(i) + ",C=CN";
            results[size_t(i)] = RunEnrolment(o);
        });
    for (auto& t : threads)
        t.join();
    const auto containers = Containers(kEnhanced, false);
    for (const EnrolResult& r : results) {
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(containers.count(Wide(r.container)));
        EXPECT_TRUE(
            InPersonalStore(Base64Decode(r.signCert), r.container, kEnhanced, AT_SIGNATURE));
        EXPECT_TRUE(
            InPersonalStore(Base64Decode(r.encCert), r.container, kEnhanced, AT_KEYEXCHANGE));
    }
}

} // namespace

namespace {

// The same conversations with the Windows build under Wine, against Wine's
// providers and stores (which this process cannot inspect: the host's own
// listing stands in for the store).
class WineEnrolment : public ::testing::TestWithParam<int> {};

TEST_P(WineEnrolment, RsaEnrolsInWinesProvider) {
    const char* tandry = std::getenv("ORVANE_WINDOWS_TANDRY");
    if (tandry == nullptr || tandry[0] == 0)
        GTEST_SKIP() << "no Windows build to drive";
    const int certType = GetParam();
    EnrolOptions o = Options(kEnhanced, "RSA", 1024, certType);
    o.hostCommand = {ORVANE_WINE_RUN, tandry};
    o.subject = "CN=Wine Type " + std::to_string(certType) + ",C=CN";
    const EnrolResult r = RunEnrolment(o);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(VerifyRequestText(r.request, false));
    EXPECT_NE(r.certList.find("Wine Type " + std::to_string(certType)), std::string::npos)
        << r.certList;
}

INSTANTIATE_TEST_SUITE_P(Tandry, WineEnrolment, ::testing::Values(1, 2),
                         [](const auto& type) { return type.param == 1 ? "Single" : "Double"; });

} // namespace
