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
#include "tools/nmclient/HostProcess.h"
#include "tools/testca/TestIssuer.h"
#include "tests/support/OpensslCertificates.h"
#include "tests/support/OpensslRequestCheck.h"

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace orvane::checks;
using orvane::tools::EnrolOptions;
using orvane::tools::EnrolResult;
using orvane::tools::RunEnrolment;
namespace testca = orvane::tools::testca;

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

// Talk: one Tandry run held request by request; each answer's error code
// and result (as JSON text).
class Talk {
public:
    Talk() { m_started = m_host.Start({ORVANE_TANDRY_PATH}); }
    ~Talk() {
        m_host.CloseInput();
        m_host.Wait();
    }
    struct Answer {
        bool answered = false;
        int64_t code = -1;
        std::string result; // a text result as such, any other as JSON
    };
    // params: the JSON array's text.
    Answer Call(const std::string& function, const std::string& params) {
        Answer a;
        std::string body;
        if (!m_started ||
            !m_host.WriteAll(orvane::tools::Frame(R"({"function":")" + function + R"(","params":)" +
                                                  params + "}")) ||
            m_host.ReadFrame(body, 120000) != orvane::tools::HostProcess::ReadStatus::Frame)
            return a;
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_Parse(body.c_str()),
                                                             cJSON_Delete);
        const cJSON* code = json ? cJSON_GetObjectItem(json.get(), "errorcode") : nullptr;
        const cJSON* result = json ? cJSON_GetObjectItem(json.get(), "result") : nullptr;
        if (!cJSON_IsNumber(code))
            return a;
        a.answered = true;
        a.code = int64_t(code->valuedouble);
        if (cJSON_IsString(result))
            a.result = result->valuestring;
        else if (result != nullptr)
            a.result = cJSON_IsTrue(result) ? "true" : "false";
        return a;
    }

private:
    orvane::tools::HostProcess m_host;
    bool m_started = false;
};

std::string Base64Encode(const Bytes& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                  int(bytes.size()));
    text.resize(size_t(n));
    return text;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

constexpr int64_t kBadData = int32_t(0x80090005);      // NTE_BAD_DATA
constexpr int64_t kBadTag = int32_t(0x8009310B);       // CRYPT_E_ASN1_BADTAG
constexpr int64_t kBadPublicKey = int32_t(0x80090015); // NTE_BAD_PUBLIC_KEY

// A fresh request in a new container of the talk's host; the issuer's answer.
struct Requested {
    std::string container;
    testca::IssueResult issued;
};
Requested Request(Talk& talk, const std::string& provider, const std::string& algorithm, int bits,
                  int certType, const std::string& cn) {
    Requested r;
    EXPECT_EQ(
        talk.Call("VURO_SetCSPInfo", "[" + std::to_string(bits) + "," + Quoted(provider) + "]")
            .code,
        0);
    EXPECT_EQ(talk.Call("VURO_SetKeyAlgorithm", "[" + Quoted(algorithm) + "]").code, 0);
    const Talk::Answer request =
        talk.Call("VURO_PKCS10CertRequisition",
                  "[" + Quoted("CN=" + cn + ",C=CN") + "," + std::to_string(certType) + ",1]");
    EXPECT_EQ(request.code, 0);
    r.container = talk.Call("VURO_GetContainer", "[]").result;
    testca::IssueOptions issue;
    issue.caDir = CaDir();
    r.issued = testca::Issue(issue, request.result);
    EXPECT_TRUE(r.issued.ok) << r.issued.error;
    return r;
}

struct TokenCase {
    const char* provider;
    const char* algorithm;
    int bits;
};

class WholeCertificates : public ::testing::TestWithParam<TokenCase> {};

// A provider reads a certificate by its own DER length: the host hands it
// only bytes that are exactly one certificate, and the container is unharmed.
TEST_P(WholeCertificates, PartialAndOverlongCertificatesAreRefusedBeforeTheToken) {
    const TokenCase& c = GetParam();
    const bool bSM2 = std::string(c.algorithm) == "SM2";
    Talk talk;
    const Requested a = Request(talk, c.provider, c.algorithm, c.bits, 1, "Whole");
    ASSERT_TRUE(a.issued.ok);
    const Bytes good = Base64Decode(a.issued.signCert);
    Bytes longer = good; // the certificate and one byte more
    longer.push_back(0);
    const struct {
        std::string text;
        int64_t code;
        const char* why;
    } cases[] = {
        {"MIP/////", kBadData, "a header that claims 16 MiB in 5 bytes"},
        {"MIJ//w==", kBadData, "a header that claims 32,771 bytes in 4"},
        {"AQID", kBadTag, "no SEQUENCE at all"},
        {Base64Encode(longer), kBadData, "a whole certificate and a byte more"},
    };
    for (const auto& k : cases) {
        const Talk::Answer answer = talk.Call("VURO_ImportSignCert", "[1," + Quoted(k.text) + "," +
                                                                         Quoted(a.container) + "]");
        ASSERT_TRUE(answer.answered) << k.why << ": the host is gone";
        EXPECT_EQ(answer.code, k.code) << k.why;
        Container container(c.provider, a.container, bSM2);
        EXPECT_TRUE(TokenCertificate(container, AT_KEYEXCHANGE).empty()) << k.why;
    }
    // The container takes its own certificate afterwards.
    EXPECT_EQ(talk.Call("VURO_ImportSignCert",
                        "[1," + Quoted(a.issued.signCert) + "," + Quoted(a.container) + "]")
                  .code,
              0);
    Container container(c.provider, a.container, bSM2);
    EXPECT_EQ(TokenCertificate(container, AT_KEYEXCHANGE), good);
}

INSTANTIATE_TEST_SUITE_P(Tandry, WholeCertificates,
                         ::testing::Values(TokenCase{kSm2Token, "SM2", 256},
                                           TokenCase{kRsaToken, "RSA", 1024}),
                         [](const auto& p) { return std::string(p.param.algorithm) + "Token"; });

// A certificate that is not over the container's key is refused before
// anything is written or the temporary key is used up.
TEST(CertificateKeyMatch, AnotherContainersCertificatesAreRefusedAndItsEntryStays) {
    EnrolOptions options = Options(kEnhanced, "RSA", 1024, 2);
    options.subject = "CN=Owner B,C=CN";
    const EnrolResult b = RunEnrolment(options);
    ASSERT_TRUE(b.ok) << b.error;

    Talk talk;
    const Requested a = Request(talk, kEnhanced, "RSA", 1024, 2, "Owner A");
    ASSERT_TRUE(a.issued.ok);
    const std::string target = Quoted(a.container);
    Talk::Answer answer =
        talk.Call("VURO_ImportSignCert", "[2," + Quoted(b.signCert) + "," + target + "]");
    EXPECT_EQ(answer.code, kBadPublicKey);
    const std::string desc = talk.Call("VURO_GetLastErrorDesc", "[]").result;
    EXPECT_NE(desc.find("(0x80090015)"), std::string::npos) << desc;
    EXPECT_GT(desc.size(), std::string("\n(0x80090015)").size()) << "no words: " << desc;
    EXPECT_TRUE(InPersonalStore(Base64Decode(b.signCert), b.container, kEnhanced, AT_SIGNATURE));

    answer = talk.Call("VURO_ImportEncryptCert", "[" + Quoted(a.issued.envelope) + "," +
                                                     Quoted(b.encCert) + "," + target + ",1]");
    EXPECT_EQ(answer.code, kBadPublicKey);
    EXPECT_TRUE(InPersonalStore(Base64Decode(b.encCert), b.container, kEnhanced, AT_KEYEXCHANGE));

    // The temporary key is still there: the right certificates go in.
    EXPECT_EQ(
        talk.Call("VURO_ImportSignCert", "[2," + Quoted(a.issued.signCert) + "," + target + "]")
            .code,
        0);
    EXPECT_EQ(talk.Call("VURO_ImportEncryptCert", "[" + Quoted(a.issued.envelope) + "," +
                                                      Quoted(a.issued.encCert) + "," + target +
                                                      ",1]")
                  .code,
              0);
    EXPECT_TRUE(
        InPersonalStore(Base64Decode(a.issued.signCert), a.container, kEnhanced, AT_SIGNATURE));
    EXPECT_TRUE(
        InPersonalStore(Base64Decode(a.issued.encCert), a.container, kEnhanced, AT_KEYEXCHANGE));
}

// The rule is a public-key match: a certificate over the container's own key
// is accepted whoever issued it (even one that issued itself).
TEST(CertificateKeyMatch, ACertificateOverTheContainersOwnKeyIsAccepted) {
    Talk talk;
    const Requested a = Request(talk, kEnhanced, "RSA", 1024, 1, "Owner C");
    ASSERT_TRUE(a.issued.ok);
    const Bytes issued = Base64Decode(a.issued.signCert);
    Pkey key = PublicKeyOf(issued);
    ASSERT_TRUE(key);
    const Pkey signer(EVP_RSA_gen(1024));
    CertificateDescription desc;
    desc.key = key.get();
    desc.signer = signer.get();
    desc.subject = {{"CN", "Forged Bank Ltd"}};
    desc.serial = {7};
    desc.notBefore = 0;
    desc.notAfter = 86400;
    const Bytes forged = MakeCertificate(desc);
    ASSERT_FALSE(forged.empty());
    const std::string text = Base64Encode(forged);
    EXPECT_EQ(
        talk.Call("VURO_ImportSignCert", "[1," + Quoted(text) + "," + Quoted(a.container) + "]")
            .code,
        0);
    EXPECT_TRUE(InPersonalStore(forged, a.container, kEnhanced, AT_KEYEXCHANGE));
}

// Tokens open the envelope themselves, so its key is known only once it is
// in the token: a foreign encryption certificate is refused before it is
// bound, and the token keeps no certificate for the new key.
TEST(CertificateKeyMatch, ATokenBindsNoForeignEncryptionCertificate) {
    for (const TokenCase& c :
         {TokenCase{kSm2Token, "SM2", 256}, TokenCase{kRsaToken, "RSA", 2048}}) {
        SCOPED_TRACE(c.provider);
        const bool bSM2 = std::string(c.algorithm) == "SM2";
        Talk talk;
        const Requested b = Request(talk, c.provider, c.algorithm, c.bits, 2, "Token B");
        const Requested a = Request(talk, c.provider, c.algorithm, c.bits, 2, "Token A");
        ASSERT_TRUE(a.issued.ok && b.issued.ok);
        const std::string target = Quoted(a.container);
        EXPECT_EQ(
            talk.Call("VURO_ImportSignCert", "[2," + Quoted(b.issued.signCert) + "," + target + "]")
                .code,
            kBadPublicKey);
        EXPECT_EQ(talk.Call("VURO_ImportEncryptCert", "[" + Quoted(a.issued.envelope) + "," +
                                                          Quoted(b.issued.encCert) + "," + target +
                                                          ",1]")
                      .code,
                  kBadPublicKey);
        Container container(c.provider, a.container, bSM2);
        EXPECT_TRUE(TokenCertificate(container, AT_SIGNATURE).empty());
        EXPECT_TRUE(TokenCertificate(container, AT_KEYEXCHANGE).empty());
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
