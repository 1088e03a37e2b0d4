// The PKCS#11 token providers through CryptoAPI's entry points, on SoftHSM2
// tokens, with OpenSC's pkcs11-tool, GnuTLS's p11tool and OpenSSL as the
// independent readers of what lands on a token.
//
// The module is initialised once per process, so every test here shares the
// process's scratch SoftHSM2 configuration and makes tokens of its own in it.
// Tests of a token that lacks mechanisms run in a process of their own
// (Pkcs11LimitedToken, with ORVANE_TEST_SOFTHSM_MECHANISMS set).
#include "foundation/Handles.h"
#include "tests/support/KeyBlobs.h"
#include "tests/support/OpensslKeys.h"
#include "tests/support/SoftHsmToken.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSupport.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using orvane::checks::Encode;
using orvane::checks::EvpStructure;
using orvane::checks::GenerateRsa;
using orvane::checks::Pkey;
using orvane::checks::RsaEncrypt;
using orvane::checks::RsaPublicFromBlob;
using orvane::checks::TripleDesEcb;
using orvane::tests::EnvelopeBlob;
using orvane::tests::ExportKey;
using orvane::tests::KeyCertificate;
using orvane::tests::SignData;
using orvane::tests::SoftHsmSetup;
using orvane::tests::SoftHsmToken;

#define REQUIRE_SOFTHSM()                                                                          \
    do {                                                                                           \
        if (!SoftHsmSetup::Get().missing().empty())                                                \
            GTEST_SKIP() << SoftHsmSetup::Get().missing();                                         \
    } while (0)

// Unique: a label or name of this process.
std::string Unique(const char* tag) {
    return std::string(tag) + "-" + std::to_string(getpid());
}

WString TokenProvider(const std::string& label, const std::string& serial = "") {
    return W(("Orvane PKCS#11: " + label + (serial.empty() ? "" : " (" + serial + ")")).c_str());
}

std::vector<WString> ProviderNames() {
    std::vector<WString> names;
    for (DWORD i = 0;; ++i) {
        DWORD type = 0, size = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &size))
            break;
        WString name(size / sizeof(WCHAR), 0);
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, name.data(), &size))
            break;
        name.resize(size / sizeof(WCHAR) - 1);
        names.push_back(name);
    }
    return names;
}

bool Listed(const std::vector<WString>& names, const WString& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// PinForPrompts: the PIN the fixed prompt answers with, for this test.
struct PinForPrompts {
    explicit PinForPrompts(const std::string& pin) { setenv("ORVANE_TEST_PIN", pin.c_str(), 1); }
    ~PinForPrompts() { unsetenv("ORVANE_TEST_PIN"); }
};

bool VerifySha1(EVP_PKEY* key, const std::string& message, const Bytes& sigLe) {
    const Bytes sig(sigLe.rbegin(), sigLe.rend());
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    const bool ok =
        EVP_DigestVerifyInit_ex(md, nullptr, "SHA1", nullptr, nullptr, key, nullptr) == 1 &&
        EVP_DigestVerify(md, sig.data(), sig.size(),
                         reinterpret_cast<const unsigned char*>(message.data()),
                         message.size()) == 1;
    EVP_MD_CTX_free(md);
    return ok;
}

Bytes Sign(HCRYPTPROV prov, DWORD keySpec, const std::string& message) {
    return SignData(prov, CALG_SHA1, keySpec, reinterpret_cast<const BYTE*>(message.data()),
                    message.size());
}

// SignError: the last error of a SHA-1 signature that fails (0 when it signs).
DWORD SignError(HCRYPTPROV prov, DWORD keySpec, const std::string& message) {
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash))
        return GetLastError();
    DWORD error = 0, size = 1024;
    Bytes sig(size);
    if (!CryptHashData(hash, reinterpret_cast<const BYTE*>(message.data()),
                       static_cast<DWORD>(message.size()), 0) ||
        !CryptSignHashW(hash, keySpec, nullptr, 0, sig.data(), &size))
        error = GetLastError();
    CryptDestroyHash(hash);
    return error;
}

// TokenPublicKey: the public key object of that label, read by pkcs11-tool.
Pkey TokenPublicKey(const SoftHsmToken& token, const std::string& label) {
    const std::string file = SoftHsmSetup::Get().folder() + "/" + label + ".pub.der";
    if (token.Pkcs11Tool({"--read-object", "--type", "pubkey", "--label", label, "-o", file})
            .status != 0)
        return nullptr;
    std::ifstream in(file, std::ios::binary);
    const Bytes der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return orvane::checks::PublicKeyFromSpki(der);
}

// ObjectBlock: pkcs11-tool's paragraph for the object of that kind and label.
std::string ObjectBlock(const std::string& listing, const std::string& kind,
                        const std::string& label) {
    size_t at = 0;
    while ((at = listing.find(kind, at)) != std::string::npos) {
        const size_t end = listing.find("Object;", at + kind.size());
        const std::string block = listing.substr(at, end == std::string::npos ? end : end - at);
        if (block.find("label:      " + label + "\n") != std::string::npos)
            return block;
        at += kind.size();
    }
    return "";
}

std::string Field(const std::string& block, const std::string& name) {
    const size_t at = block.find(name + ":");
    if (at == std::string::npos)
        return "";
    const size_t start = block.find_first_not_of(' ', at + name.size() + 1);
    return block.substr(start, block.find('\n', start) - start);
}

TEST(Pkcs11Provider, TokensAreListedAfterBuiltInsTwinsByTheirSerialAndLateOnesOnTheNextLook) {
    REQUIRE_SOFTHSM();
    SoftHsmToken first(Unique("list"));
    ASSERT_TRUE(first.ok());
    const std::vector<WString> before = ProviderNames();
    ASSERT_TRUE(Listed(before, TokenProvider(first.label()))) << "not listed";
    // Every token comes after every built-in provider.
    bool seenToken = false;
    for (const WString& name : before) {
        const bool token = U8(name).rfind("Orvane PKCS#11: ", 0) == 0;
        EXPECT_FALSE(seenToken && !token) << U8(name) << " listed after a token";
        seenToken = seenToken || token;
    }

    // Made after the first look; two of them share a label.
    SoftHsmToken twinA(Unique("twin")), twinB(Unique("twin"));
    ASSERT_TRUE(twinA.ok() && twinB.ok());
    ASSERT_NE(twinA.serial(), twinB.serial());
    const std::vector<WString> after = ProviderNames();
    EXPECT_FALSE(Listed(after, TokenProvider(twinA.label())));
    for (const SoftHsmToken* t : {&twinA, &twinB}) {
        const WString name = TokenProvider(t->label(), t->serial());
        EXPECT_TRUE(Listed(after, name)) << U8(name);
        UniqueProvider prov;
        EXPECT_TRUE(CryptAcquireContextW(prov.put(), nullptr, name.c_str(), PROV_RSA_FULL,
                                         CRYPT_VERIFYCONTEXT))
            << std::hex << GetLastError();
    }
    // A container made on one twin is not on the other.
    {
        PinForPrompts pin(twinA.pin());
        UniqueProvider prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.put(), W("only-a").c_str(),
                                         TokenProvider(twinA.label(), twinA.serial()).c_str(),
                                         PROV_RSA_FULL, CRYPT_NEWKEYSET));
        UniqueKey key;
        ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 1024 << 16, key.put()))
            << std::hex << GetLastError();
        UniqueProvider other;
        EXPECT_FALSE(CryptAcquireContextW(other.put(), W("only-a").c_str(),
                                          TokenProvider(twinB.label(), twinB.serial()).c_str(),
                                          PROV_RSA_FULL, 0));
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());
    }
    // The long name is accepted for a token listed by its label alone.
    UniqueProvider byLong;
    EXPECT_TRUE(CryptAcquireContextW(byLong.put(), nullptr,
                                     TokenProvider(first.label(), first.serial()).c_str(),
                                     PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
}

TEST(Pkcs11Provider, KeyPairsAreMadeOnTheTokenAndNeverLeaveIt) {
    REQUIRE_SOFTHSM();
    SoftHsmToken token(Unique("keys"));
    ASSERT_TRUE(token.ok());
    PinForPrompts pin(token.pin());
    const WString provider = TokenProvider(token.label());
    struct Case {
        DWORD bits;
        DWORD keySpec;
        const char* usage; // pkcs11-tool's words for the private key's use
    } cases[] = {{1024, AT_SIGNATURE, "sign"}, {2048, AT_KEYEXCHANGE, "decrypt, sign, unwrap"}};
    for (const Case& k : cases) {
        const std::string container = "pair-" + std::to_string(k.bits);
        SCOPED_TRACE(container);
        UniqueProvider prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.put(), W(container.c_str()).c_str(), provider.c_str(),
                                         PROV_RSA_FULL, CRYPT_NEWKEYSET))
            << std::hex << GetLastError();
        UniqueKey key;
        ASSERT_TRUE(CryptGenKey(prov.get(), k.keySpec, k.bits << 16, key.put()))
            << std::hex << GetLastError();
        Pkey exported = RsaPublicFromBlob(ExportKey(key.get(), PUBLICKEYBLOB));
        ASSERT_TRUE(exported);
        EXPECT_EQ(static_cast<int>(k.bits), EVP_PKEY_get_bits(exported.get()));
        // The modulus the provider gives is the token's.
        Pkey onToken = TokenPublicKey(token, container);
        ASSERT_TRUE(onToken);
        EXPECT_EQ(1, EVP_PKEY_eq(exported.get(), onToken.get()));
        // The private key is sensitive, never extractable, of the same ID and label.
        const std::string listing = token.Pkcs11Tool({"--list-objects"}, true).output;
        const std::string priv = ObjectBlock(listing, "Private Key Object", container);
        const std::string pub = ObjectBlock(listing, "Public Key Object", container);
        ASSERT_FALSE(priv.empty()) << listing;
        ASSERT_FALSE(pub.empty()) << listing;
        EXPECT_EQ(Field(pub, "ID"), Field(priv, "ID"));
        EXPECT_NE(std::string::npos, Field(priv, "Access").find("sensitive")) << priv;
        EXPECT_NE(std::string::npos, Field(priv, "Access").find("never extractable")) << priv;
        EXPECT_EQ(k.usage, Field(priv, "Usage")) << priv;
        // Its value cannot be read, neither by GnuTLS nor through CryptoAPI.
        const auto read = token.P11Tool({"--export", "pkcs11:token=" + token.label() +
                                                         ";object=" + container + ";type=private"},
                                        true);
        EXPECT_EQ(std::string::npos, read.output.find("BEGIN")) << read.output;
        DWORD size = 0;
        EXPECT_FALSE(CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size));
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY_STATE), GetLastError());
        // The pair is found again by its kind alone, and signs as the token's key.
        UniqueKey other;
        EXPECT_FALSE(
            CryptGetUserKey(prov.get(), AT_KEYEXCHANGE + AT_SIGNATURE - k.keySpec, other.put()));
        EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), GetLastError());
        EXPECT_TRUE(
            VerifySha1(onToken.get(), "to be signed", Sign(prov.get(), k.keySpec, "to be signed")));
    }
    // The containers are the pairs' labels.
    UniqueProvider verify;
    ASSERT_TRUE(CryptAcquireContextW(verify.put(), nullptr, provider.c_str(), PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT));
    std::vector<std::string> containers;
    for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
        char name[256];
        DWORD size = sizeof name;
        if (!CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name),
                               &size, flags))
            break;
        containers.push_back(name);
    }
    EXPECT_EQ((std::vector<std::string>{"pair-1024", "pair-2048"}), containers);
}

TEST(Pkcs11Provider, KeyCertificateLandsOnTheTokenAndInMyWithTheKeyLink) {
    REQUIRE_SOFTHSM();
    SoftHsmToken token(Unique("cert"));
    ASSERT_TRUE(token.ok());
    PinForPrompts pin(token.pin());
    const WString provider = TokenProvider(token.label());
    UniqueProvider prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), W("certified").c_str(), provider.c_str(),
                                     PROV_RSA_FULL, CRYPT_NEWKEYSET));
    UniqueKey key;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 1024 << 16, key.put()));
    // A second certificate replaces the first.
    for (const TestCertificate* cert : {&kCaCertificate, &kRsaCertificate})
        ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, cert->data, 0))
            << std::hex << GetLastError();
    const Bytes want(kRsaCertificate.data, kRsaCertificate.data + kRsaCertificate.size);
    EXPECT_EQ(want, KeyCertificate(key.get()));

    const std::string listing = token.Pkcs11Tool({"--list-objects"}).output;
    const std::string cert = ObjectBlock(listing, "Certificate Object", "certified");
    const std::string pub = ObjectBlock(listing, "Public Key Object", "certified");
    ASSERT_FALSE(cert.empty()) << listing;
    EXPECT_EQ(Field(pub, "ID"), Field(cert, "ID"));
    size_t certificates = 0;
    for (size_t at = 0; (at = listing.find("Certificate Object", at)) != std::string::npos; ++at)
        ++certificates;
    EXPECT_EQ(1u, certificates) << listing;
    // GnuTLS reads the same certificate off the token.
    const auto exported = token.P11Tool(
        {"--export", "pkcs11:token=" + token.label() + ";object=certified;type=cert"});
    const size_t begin = exported.output.find("-----BEGIN CERTIFICATE-----");
    const size_t end = exported.output.find("-----END CERTIFICATE-----");
    ASSERT_TRUE(begin != std::string::npos && end != std::string::npos) << exported.output;
    const size_t body = begin + std::string("-----BEGIN CERTIFICATE-----").size();
    const auto der = orvane::checks::Base64Decode(exported.output.substr(body, end - body));
    EXPECT_EQ(want, Bytes(der.begin(), der.end()));

    // "MY" holds it, linked to the token's long name and the container.
    HCERTSTORE my =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    ASSERT_NE(nullptr, my);
    bool linked = false;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(my, c)) {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
            continue;
        Bytes block(size);
        CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &size);
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.data());
        if (WString(info->pwszProvName) == TokenProvider(token.label(), token.serial()) &&
            WString(info->pwszContainerName) == W("certified")) {
            linked =
                linked || (Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded) == want &&
                           info->dwKeySpec == AT_KEYEXCHANGE);
        }
    }
    // Deleting the container takes its certificate from the token and from "MY".
    UniqueProvider none;
    ASSERT_TRUE(CryptAcquireContextW(none.put(), W("certified").c_str(), provider.c_str(),
                                     PROV_RSA_FULL, CRYPT_DELETEKEYSET))
        << std::hex << GetLastError();
    size_t remaining = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(my, c))
        remaining += Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded) == want;
    CertCloseStore(my, 0);
    EXPECT_TRUE(linked);
    EXPECT_EQ(0u, remaining);
    EXPECT_EQ(std::string::npos,
              token.Pkcs11Tool({"--list-objects"}, true).output.find("certified"));
}

TEST(Pkcs11Provider, BothEnvelopeFormatsInstallTheIssuedKeyOnTheToken) {
    REQUIRE_SOFTHSM();
    SoftHsmToken token(Unique("envelope"));
    ASSERT_TRUE(token.ok());
    PinForPrompts pin(token.pin());
    const WString provider = TokenProvider(token.label());
    const Bytes tokenOid = {0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07};
    for (const bool enveloped : {true, false}) {
        const std::string container = enveloped ? "new-format" : "old-format";
        SCOPED_TRACE(container);
        UniqueProvider prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.put(), W(container.c_str()).c_str(), provider.c_str(),
                                         PROV_RSA_FULL, CRYPT_NEWKEYSET));
        UniqueKey temporary;
        ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 1024 << 16, temporary.put()));
        Pkey temporaryPublic = RsaPublicFromBlob(ExportKey(temporary.get(), PUBLICKEYBLOB));
        Pkey issued = GenerateRsa(1024);
        ASSERT_TRUE(issued && temporaryPublic);
        Bytes blob, evp;
        if (enveloped) {
            Bytes session(24);
            RAND_bytes(session.data(), 24);
            evp = EvpStructure(RsaEncrypt(temporaryPublic.get(), session),
                               TripleDesEcb(session, Encode(issued.get(), "DER", "type-specific")),
                               tokenOid);
            blob =
                EnvelopeBlob(CALG_RSA_KEYX,
                             {CALG_RSA_KEYX, 1024, static_cast<DWORD>(evp.size() * 8)}, evp.data());
        } else {
            blob = Encode(issued.get(), "MSBLOB", nullptr);
        }
        UniqueKey key;
        ASSERT_TRUE(CryptImportKey(prov.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0,
                                   key.put()))
            << std::hex << GetLastError();
        // The issued key is the container's exchange pair now, on the token.
        Pkey onToken = TokenPublicKey(token, container);
        ASSERT_TRUE(onToken);
        EXPECT_EQ(1, EVP_PKEY_eq(issued.get(), onToken.get()));
        const std::string listing = token.Pkcs11Tool({"--list-objects"}, true).output;
        EXPECT_EQ(1u,
                  [&] {
                      size_t n = 0;
                      for (size_t at = 0; (at = listing.find("label:      " + container + "\n",
                                                             at)) != std::string::npos;
                           ++at)
                          ++n;
                      return n;
                  }() /
                      2)
            << listing; // one pair: the temporary one is gone
        const std::string priv = ObjectBlock(listing, "Private Key Object", container);
        EXPECT_NE(std::string::npos, Field(priv, "Access").find("sensitive")) << priv;
        EXPECT_EQ(std::string::npos, Field(priv, "Access").find("extractable,")) << priv;
        ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, kRsaCertificate.data, 0));
        // It decrypts what is sent to the issued key, and signs as it.
        const Bytes plain = {'o', 'n', ' ', 't', 'o', 'k', 'e', 'n'};
        const Bytes cipher = RsaEncrypt(issued.get(), plain);
        Bytes data(cipher.rbegin(), cipher.rend());
        DWORD length = static_cast<DWORD>(data.size());
        UniqueKey user;
        ASSERT_TRUE(CryptGetUserKey(prov.get(), AT_KEYEXCHANGE, user.put()));
        ASSERT_TRUE(CryptDecrypt(user.get(), 0, TRUE, 0, data.data(), &length))
            << std::hex << GetLastError();
        data.resize(length);
        EXPECT_EQ(plain, data);
        EXPECT_TRUE(VerifySha1(issued.get(), "issued", Sign(prov.get(), AT_KEYEXCHANGE, "issued")));
    }
}

TEST(Pkcs11Provider, SessionKeyIsUnwrappedAndUsedOnTheToken) {
    REQUIRE_SOFTHSM();
    SoftHsmToken token(Unique("session"));
    ASSERT_TRUE(token.ok());
    PinForPrompts pin(token.pin());
    UniqueProvider prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), W("sessions").c_str(),
                                     TokenProvider(token.label()).c_str(), PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET));
    UniqueKey exchange;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 1024 << 16, exchange.put()));
    Pkey exchangePublic = RsaPublicFromBlob(ExportKey(exchange.get(), PUBLICKEYBLOB));
    ASSERT_TRUE(exchangePublic);
    Bytes session(24);
    RAND_bytes(session.data(), 24);
    const Bytes wrapped = RsaEncrypt(exchangePublic.get(), session);
    Bytes blob = {SIMPLEBLOB, CUR_BLOB_VERSION, 0, 0};
    for (DWORD v : {DWORD(CALG_3DES), DWORD(CALG_RSA_KEYX)})
        for (int i = 0; i < 4; ++i)
            blob.push_back(static_cast<BYTE>(v >> (8 * i)));
    blob.insert(blob.end(), wrapped.rbegin(), wrapped.rend());
    UniqueKey key;
    ASSERT_TRUE(CryptImportKey(prov.get(), blob.data(), static_cast<DWORD>(blob.size()),
                               exchange.get(), 0, key.put()))
        << std::hex << GetLastError();
    const DWORD ecb = CRYPT_MODE_ECB;
    ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_MODE, reinterpret_cast<const BYTE*>(&ecb), 0));
    const std::string text = "decrypted on the token, in two calls";
    const Bytes plain(text.begin(), text.end());
    Bytes data = TripleDesEcb(session, plain);
    ASSERT_EQ(40u, data.size());
    // Two calls, the first not final, as a stream is decrypted.
    DWORD first = 16, rest = static_cast<DWORD>(data.size() - 16);
    ASSERT_TRUE(CryptDecrypt(key.get(), 0, FALSE, 0, data.data(), &first))
        << std::hex << GetLastError();
    ASSERT_TRUE(CryptDecrypt(key.get(), 0, TRUE, 0, data.data() + 16, &rest));
    data.resize(first + rest);
    EXPECT_EQ(plain, data);
    // The session key's bytes never leave the token.
    DWORD size = 0;
    EXPECT_FALSE(CryptExportKey(key.get(), exchange.get(), SIMPLEBLOB, 0, nullptr, &size));
}

TEST(Pkcs11Provider, TokenTakenAwayAnswersRemovedCard) {
    REQUIRE_SOFTHSM();
    SoftHsmToken token(Unique("removed"));
    ASSERT_TRUE(token.ok());
    PinForPrompts pin(token.pin());
    UniqueProvider prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), W("gone").c_str(),
                                     TokenProvider(token.label()).c_str(), PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET));
    UniqueKey key;
    ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 1024 << 16, key.put()));
    token.Remove();
    UniqueKey again;
    EXPECT_FALSE(CryptGetUserKey(prov.get(), AT_SIGNATURE, again.put()));
    EXPECT_EQ(static_cast<DWORD>(SCARD_W_REMOVED_CARD), GetLastError());
    EXPECT_EQ(static_cast<DWORD>(SCARD_W_REMOVED_CARD),
              SignError(prov.get(), AT_SIGNATURE, "after"));
    EXPECT_FALSE(Listed(ProviderNames(), TokenProvider(token.label())));
}

TEST(Pkcs11Provider, ProgramPinIsCheckedByTheTokenEvenWhenLoggedIn) {
    REQUIRE_SOFTHSM();
    SoftHsmToken token(Unique("pin"));
    ASSERT_TRUE(token.ok());
    const WString provider = TokenProvider(token.label());
    {
        PinForPrompts pin(token.pin()); // the first login, through the prompt
        UniqueProvider prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.put(), W("pinned").c_str(), provider.c_str(),
                                         PROV_RSA_FULL, CRYPT_NEWKEYSET));
        UniqueKey key;
        ASSERT_TRUE(CryptGenKey(prov.get(), AT_SIGNATURE, 1024 << 16, key.put()))
            << std::hex << GetLastError();
    }
    // Logged in now; no prompt would answer from here on.
    struct Case {
        const char* pin;
        DWORD error; // 0: signs
    } cases[] = {{"0000", static_cast<DWORD>(SCARD_W_WRONG_CHV)},
                 {"1234", 0},
                 {"4321", static_cast<DWORD>(SCARD_W_WRONG_CHV)}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.pin);
        UniqueProvider prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.put(), W("pinned").c_str(), provider.c_str(),
                                         PROV_RSA_FULL, 0));
        ASSERT_TRUE(CryptSetProvParam(prov.get(), PP_SIGNATURE_PIN,
                                      reinterpret_cast<const BYTE*>(k.pin), 0));
        EXPECT_EQ(k.error, SignError(prov.get(), AT_SIGNATURE, "pinned"));
    }
    // Without a PIN set and with the token logged out by the wrong one, the
    // user is asked, and cancelling is the user's cancel.
    UniqueProvider prov;
    ASSERT_TRUE(
        CryptAcquireContextW(prov.put(), W("pinned").c_str(), provider.c_str(), PROV_RSA_FULL, 0));
    EXPECT_EQ(static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER),
              SignError(prov.get(), AT_SIGNATURE, "asked"));
}

// In a process whose SoftHSM2 offers SHA-1 signing alone: no key-pair
// generation, no MD5, no raw PKCS#1 (ORVANE_TEST_SOFTHSM_MECHANISMS); skipped
// elsewhere.
TEST(Pkcs11LimitedToken, WhatTheTokenLacksIsRefusedNotFaked) {
    REQUIRE_SOFTHSM();
    if (std::getenv("ORVANE_TEST_SOFTHSM_MECHANISMS") == nullptr)
        GTEST_SKIP() << "runs in the process of a token with fewer mechanisms";
    SoftHsmToken token(Unique("limited"));
    ASSERT_TRUE(token.ok());
    PinForPrompts pin(token.pin());
    UniqueProvider prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), W("lacking").c_str(),
                                     TokenProvider(token.label()).c_str(), PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET));
    UniqueKey key;
    EXPECT_FALSE(CryptGenKey(prov.get(), AT_SIGNATURE, 1024 << 16, key.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), GetLastError());
    HCRYPTHASH hash = 0;
    EXPECT_FALSE(CryptCreateHash(prov.get(), CALG_MD5, 0, 0, &hash));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), GetLastError());
    ASSERT_TRUE(CryptCreateHash(prov.get(), CALG_SHA1, 0, 0, &hash));
    CryptDestroyHash(hash);
    // The algorithms listed are the token's: SHA-1 alone.
    std::vector<ALG_ID> listed;
    for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
        PROV_ENUMALGS_EX alg{};
        DWORD size = sizeof alg;
        if (!CryptGetProvParam(prov.get(), PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&alg), &size,
                               flags))
            break;
        listed.push_back(alg.aiAlgid);
    }
    EXPECT_EQ(std::vector<ALG_ID>{CALG_SHA1}, listed);
}

// Module life, in a process of its own (ORVANE_TEST_FAKE_MODULE names the
// test module): copies of one fake module that fails, two that never return
// from their start, and one that works, named twice (once through a link);
// skipped elsewhere.
TEST(Pkcs11Modules, FailingAndHangingModulesAreSkippedAndEachFileLoadsOnce) {
    const char* fake = std::getenv("ORVANE_TEST_FAKE_MODULE");
    if (fake == nullptr)
        GTEST_SKIP() << "runs in the process of the module tests";
    REQUIRE_SOFTHSM(); // a scratch configuration for the registered SoftHSM2 too
    namespace fs = std::filesystem;
    const std::string dir = SoftHsmSetup::Get().folder();
    struct Copy {
        const char* file;
        const char* settings;
    } copies[] = {{"failing.so", "INIT=fail\nLABEL=Fake Failing\n"},
                  {"hanging.so", "INIT=hang\nLABEL=Fake Hanging\n"},
                  {"hanging-too.so", "INIT=hang\nLABEL=Fake Hanging Too\n"},
                  {"working.so", "INIT=ok\nLABEL=Fake Working\n"}};
    std::string modules;
    for (const Copy& c : copies) {
        const std::string path = dir + "/" + c.file;
        ASSERT_TRUE(fs::copy_file(fake, path, fs::copy_options::overwrite_existing));
        std::ofstream(path + ".env") << c.settings;
        modules += path + ":";
    }
    fs::create_symlink(dir + "/working.so", dir + "/also-working.so");
    modules += dir + "/also-working.so";
    setenv("ORVANE_PKCS11_MODULES", modules.c_str(), 1);
    // Long enough for the working copy, which makes its RSA key as it starts,
    // on a loaded machine.
    setenv("ORVANE_PKCS11_INIT_TIMEOUT_MS", "3000", 1);

    const auto start = std::chrono::steady_clock::now();
    const std::vector<WString> names = ProviderNames();
    const auto took = std::chrono::steady_clock::now() - start;
    // Two hanging modules cost one limit together: they start at once.
    EXPECT_LT(took, std::chrono::milliseconds(5500)) << "hanging modules held the listing up";
    EXPECT_EQ(1, std::count(names.begin(), names.end(), TokenProvider("Fake Working")));
    EXPECT_FALSE(Listed(names, TokenProvider("Fake Failing")));
    EXPECT_FALSE(Listed(names, TokenProvider("Fake Hanging")));
    EXPECT_FALSE(Listed(names, TokenProvider("Fake Hanging Too")));
    // Later looks do not try the hanging one again (that would take the limit).
    const auto again = std::chrono::steady_clock::now();
    EXPECT_TRUE(Listed(ProviderNames(), TokenProvider("Fake Working")));
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(2000));
}

} // namespace
