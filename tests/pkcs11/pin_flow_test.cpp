// A token's login as the system meets it: CryptoAPI calls against the fake
// PKCS#11 module (tests/pkcs11/fake_module.cpp), with the fixed prompt
// (fixed_pin_prompt.sh) answering for the user and logging every question,
// and OpenSSL checking each signature with the token key's public half. A
// module is started once per process, so every case runs in a process of
// its own (the test starts itself again for just that case).
// OpenSSL first: the SDK's names of structures (X509_NAME, PKCS7_SIGNER_INFO)
// would rename OpenSSL's.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <vector>

namespace {

// SelfSigned: a certificate for key, made by OpenSSL (DER).
std::vector<unsigned char> SelfSigned(EVP_PKEY* key) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("PIN flow signer"), -1, -1,
                               0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    std::vector<unsigned char> out(der, der + std::max(length, 0));
    OPENSSL_free(der);
    X509_free(cert);
    return out;
}

} // namespace

#include "foundation/Handles.h"
#include "foundation/ResultCodes.h"
#include "signing/RsaPkcs7.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr DWORD kWrongPin = 0x8010006B;
constexpr DWORD kLocked = 0x8010006C;
constexpr DWORD kCancelled = 0x8010006E;
constexpr DWORD kRemoved = 0x80100069;
constexpr DWORD kNoWindow = 0x8007057E;
const WCHAR kContainer[] = u"fake-key";

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::vector<std::string> Lines(const fs::path& p) {
    std::vector<std::string> lines;
    std::istringstream in(Slurp(p));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

size_t Count(const std::vector<std::string>& lines, const std::string& what) {
    return size_t(std::count(lines.begin(), lines.end(), what));
}

std::u16string Provider(const char* label) {
    std::string name = std::string("Orvane PKCS#11: ") + label;
    return std::u16string(name.begin(), name.end());
}

// Each case in its own process: the first run starts the test binary again
// for this case only and passes on its verdict.
bool InOwnProcess() {
    if (std::getenv("ORVANE_PIN_FLOW_CASE") != nullptr)
        return true;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    setenv("ORVANE_PIN_FLOW_CASE", "1", 1);
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, const_cast<char*>(filter.c_str()), nullptr};
    pid_t pid = -1;
    const int err = posix_spawn(&pid, exe, nullptr, nullptr, argv, environ);
    unsetenv("ORVANE_PIN_FLOW_CASE");
    EXPECT_EQ(err, 0);
    int status = 0;
    if (err == 0)
        waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the case failed in its process";
    return false;
}

#define OWN_PROCESS()                                                                              \
    if (!InOwnProcess())                                                                           \
    return

class PinFlow : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("ORVANE_PIN_FLOW_CASE") == nullptr)
            return; // the parent only starts the case
        if (!fs::exists(ORVANE_FAKE_MODULE))
            GTEST_SKIP() << "the fake PKCS#11 module was not built";
        char pattern[] = "/tmp/orvane-pin-flow-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        prompts_ = dir_ / "prompts";
        calls_ = dir_ / "calls";
        // The token's key, made by OpenSSL, so that OpenSSL can check it.
        key_.reset(EVP_RSA_gen(2048));
        ASSERT_NE(key_, nullptr);
        const fs::path pem = dir_ / "key.pem";
        FILE* f = std::fopen(pem.c_str(), "w");
        ASSERT_NE(f, nullptr);
        PEM_write_PrivateKey(f, key_.get(), nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(f);
        module_ = dir_ / "fake-pkcs11.so";
        fs::copy_file(ORVANE_FAKE_MODULE, module_);
        setenv("ORVANE_PKCS11_MODULES", module_.c_str(), 1);
        setenv("ORVANE_FAKE_P11_KEY", pem.c_str(), 1);
        setenv("ORVANE_FAKE_P11_LOG", calls_.c_str(), 1);
        setenv("ORVANE_PIN_PROMPT", ORVANE_FIXED_PROMPT, 1);
        setenv("ORVANE_TEST_PROMPT_LOG", prompts_.c_str(), 1);
        setenv("ORVANE_TEST_PIN", "1234", 1);
        setenv("DISPLAY", ":orvane-no-server", 1); // the fixed prompt needs none
        unsetenv("WAYLAND_DISPLAY");
        setenv("LC_ALL", "en_US.UTF-8", 1);
    }
    void TearDown() override {
        if (!dir_.empty())
            fs::remove_all(dir_);
    }

    // Sign: SHA-1 over data with the token's key through CryptoAPI; the
    // signature is checked by OpenSSL. 0 or the last error.
    DWORD Sign(const char* data, const char16_t* provider = nullptr) {
        const std::u16string name = provider != nullptr ? provider : Provider("Fake Token");
        UniqueProvider prov;
        if (!CryptAcquireContextW(prov.put(), kContainer, name.c_str(), PROV_RSA_FULL, 0))
            return GetLastError();
        return SignWith(prov.get(), data);
    }

    DWORD SignWith(HCRYPTPROV prov, const char* data) {
        UniqueHash hash;
        if (!CryptCreateHash(prov, CALG_SHA1, 0, 0, hash.put()))
            return GetLastError();
        if (!CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(data), DWORD(strlen(data)), 0))
            return GetLastError();
        BYTE sig[512];
        DWORD size = sizeof sig;
        if (!CryptSignHashW(hash.get(), AT_SIGNATURE, nullptr, 0, sig, &size))
            return GetLastError();
        std::reverse(sig, sig + size); // CryptoAPI gives it least significant byte first
        EXPECT_TRUE(Verify(data, sig, size)) << "OpenSSL rejects the token's signature";
        return 0;
    }

    bool Verify(const char* data, const BYTE* sig, DWORD size) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        const bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha1(), nullptr, key_.get()) == 1 &&
                        EVP_DigestVerify(ctx, sig, size, reinterpret_cast<const BYTE*>(data),
                                         strlen(data)) == 1;
        EVP_MD_CTX_free(ctx);
        return ok;
    }

    // Module: a copy of the fake module with settings of its own.
    fs::path Module(const std::string& name, const std::string& settings) {
        const fs::path copy = dir_ / (name + ".so");
        fs::copy_file(ORVANE_FAKE_MODULE, copy);
        std::ofstream(copy.string() + ".env") << settings;
        return copy;
    }

    // AnswerFromList: a prompt that answers from a list, one PIN a question.
    void AnswerFromList(const std::string& pins) {
        const fs::path answers = dir_ / "answers";
        std::ofstream(answers) << pins;
        const fs::path prompt = dir_ / "listed.sh";
        std::ofstream(prompt) << "#!/bin/sh\necho \"$*\" >>'" << prompts_.string() << "'\n"
                              << "head -n 1 '" << answers.string() << "'\n"
                              << "sed -i 1d '" << answers.string() << "'\n";
        chmod(prompt.c_str(), 0700);
        setenv("ORVANE_PIN_PROMPT", prompt.c_str(), 1);
    }

    std::vector<std::string> Prompts() { return Lines(prompts_); }
    std::vector<std::string> Calls() { return Lines(calls_); }

    struct PkeyFree {
        void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    };
    std::unique_ptr<EVP_PKEY, PkeyFree> key_;
    fs::path dir_, prompts_, calls_, module_;
};

const std::string kAsk = "--token Fake Token --lang en --tries unknown";

TEST_F(PinFlow, OnePromptForTwoSignatures) {
    OWN_PROCESS();
    EXPECT_EQ(Sign("first"), 0u);
    EXPECT_EQ(Sign("second"), 0u); // a new handle on the same token
    EXPECT_EQ(Prompts(), std::vector<std::string>{kAsk});
    EXPECT_EQ(Count(Calls(), "C_Login user ok"), 1u);
    EXPECT_EQ(Count(Calls(), "C_Sign ok"), 2u);
}

TEST_F(PinFlow, AKeyThatAlwaysAuthenticatesAsksForEachSignature) {
    OWN_PROCESS();
    setenv("ORVANE_FAKE_P11_ALWAYS_AUTH", "1", 1);
    UniqueProvider prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), kContainer, Provider("Fake Token").c_str(),
                                     PROV_RSA_FULL, 0));
    for (const char* data : {"one", "two", "three"})
        EXPECT_EQ(SignWith(prov.get(), data), 0u) << data;
    EXPECT_EQ(Prompts().size(), 3u);
    EXPECT_EQ(Count(Calls(), "C_Login context ok"), 3u);
    EXPECT_EQ(Count(Calls(), "C_Sign ok"), 3u);
    EXPECT_EQ(Count(Calls(), "C_Sign refused"), 0u);
}

TEST_F(PinFlow, WrongPinsAskAgainWithTheTriesLeftThenTheTokenLocks) {
    OWN_PROCESS();
    setenv("ORVANE_TEST_PIN", "0000", 1);
    EXPECT_EQ(Sign("data"), kLocked);
    EXPECT_EQ(Prompts(), (std::vector<std::string>{
                             kAsk,
                             "--token Fake Token --lang en --tries low --retry",
                             "--token Fake Token --lang en --tries final --retry",
                         }));
    EXPECT_EQ(Count(Calls(), "C_Login user incorrect"), 3u);
    // Locked now: nothing more is asked and nothing reaches the token.
    setenv("ORVANE_TEST_PIN", "1234", 1);
    EXPECT_EQ(Sign("data"), kLocked);
    EXPECT_EQ(Prompts().size(), 3u);
    EXPECT_EQ(Count(Calls(), "C_Login user incorrect") + Count(Calls(), "C_Login user ok"), 3u);
}

TEST_F(PinFlow, ARightPinAfterAWrongOneSigns) {
    OWN_PROCESS();
    // A PIN of the wrong length is refused by the token before it counts a
    // try: the user is asked again, told it was wrong, with the tries as
    // they were. A wrong PIN of the right length costs a try.
    AnswerFromList("12\n9999\n1234\n");
    EXPECT_EQ(Sign("data"), 0u);
    EXPECT_EQ(Prompts(), (std::vector<std::string>{
                             kAsk,
                             "--token Fake Token --lang en --tries unknown --retry",
                             "--token Fake Token --lang en --tries low --retry",
                         }));
    EXPECT_EQ(Count(Calls(), "C_Login user length"), 1u);
    EXPECT_EQ(Count(Calls(), "C_Login user incorrect"), 1u);
    EXPECT_EQ(Calls().back(), "C_Sign ok");
}

TEST_F(PinFlow, CancelIsTheUsersCancelAllTheWayUp) {
    OWN_PROCESS();
    unsetenv("ORVANE_TEST_PIN"); // the fixed prompt cancels
    EXPECT_EQ(Sign("data"), kCancelled);
    EXPECT_EQ(uint32_t(HResultFromError(kCancelled)), 0xA0071002u);
    // The signing path through a certificate whose key link names the token.
    const std::vector<unsigned char> der = SelfSigned(key_.get());
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
    ASSERT_NE(cert, nullptr);
    std::u16string providerName = Provider("Fake Token (FAKE0001)");
    CRYPT_KEY_PROV_INFO link{};
    link.pwszContainerName = const_cast<LPWSTR>(kContainer);
    link.pwszProvName = providerName.data();
    link.dwProvType = PROV_RSA_FULL;
    link.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &link));
    std::vector<BYTE> signature;
    const BYTE content[] = {1, 2, 3};
    EXPECT_EQ(uint32_t(CalculateHashandSign(cert, content, sizeof content, signature)),
              0xA0071002u);
    CertFreeCertificateContext(cert);
    // A cancel costs no try: the token never saw a PIN.
    EXPECT_EQ(Count(Calls(), "C_Login user incorrect"), 0u);
    EXPECT_EQ(Count(Calls(), "C_Login user ok"), 0u);
}

TEST_F(PinFlow, APinPadLogsInWithoutAPinWhileTheNoticeShows) {
    OWN_PROCESS();
    setenv("ORVANE_FAKE_P11_PINPAD", "1", 1);
    setenv("ORVANE_FAKE_P11_PINPAD_MS", "400", 1);
    EXPECT_EQ(Sign("data"), 0u);
    EXPECT_EQ(Prompts(), std::vector<std::string>{"--token Fake Token --lang en --pinpad"});
    EXPECT_EQ(Count(Calls(), "C_Login user pinpad"), 1u);
}

TEST_F(PinFlow, NoDisplayIsNoWindowAndCostsNoTry) {
    OWN_PROCESS();
    unsetenv("DISPLAY");
    EXPECT_EQ(Sign("data"), kNoWindow);
    EXPECT_EQ(Prompts(), std::vector<std::string>{});
    EXPECT_EQ(Count(Calls(), "C_Login user incorrect") + Count(Calls(), "C_Login user ok"), 0u);
}

TEST_F(PinFlow, APinSetByTheCallerIsAlwaysCheckedByTheToken) {
    OWN_PROCESS();
    UniqueProvider prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), kContainer, Provider("Fake Token").c_str(),
                                     PROV_RSA_FULL, 0));
    const char wrong[] = "0000", right[] = "1234";
    ASSERT_TRUE(
        CryptSetProvParam(prov.get(), PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(right), 0));
    EXPECT_EQ(SignWith(prov.get(), "set"), 0u);
    // Logged in now; a wrong PIN set afterwards is still the token's to judge.
    UniqueProvider again;
    ASSERT_TRUE(CryptAcquireContextW(again.put(), kContainer, Provider("Fake Token").c_str(),
                                     PROV_RSA_FULL, 0));
    const BOOL accepted =
        CryptSetProvParam(again.get(), PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(wrong), 0);
    const DWORD status = accepted ? SignWith(again.get(), "wrong") : GetLastError();
    EXPECT_EQ(status, kWrongPin);
    EXPECT_EQ(Prompts(), std::vector<std::string>{}) << "a set PIN replaces the prompt";
    EXPECT_EQ(Count(Calls(), "C_Login user incorrect"), 1u);
}

// A context acquired with CRYPT_SILENT never asks: not on screen, not on a
// PIN pad. It still signs with a PIN the caller set, or on a token some
// other context of the process logged in to.
TEST_F(PinFlow, ASilentContextNeverAsksTheUser) {
    OWN_PROCESS();
    constexpr DWORD kSilent = 0x80090022;
    const std::string modules =
        module_.string() + ":" + Module("pad", "LABEL=Pad\nSERIAL=PAD1\nPINPAD=1\n").string();
    setenv("ORVANE_PKCS11_MODULES", modules.c_str(), 1);
    auto silentSign = [&](const std::u16string& provider, const char* pin) -> DWORD {
        UniqueProvider prov;
        if (!CryptAcquireContextW(prov.put(), kContainer, provider.c_str(), PROV_RSA_FULL,
                                  CRYPT_SILENT))
            return GetLastError();
        if (pin != nullptr &&
            !CryptSetProvParam(prov.get(), PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(pin), 0))
            return GetLastError();
        return SignWith(prov.get(), "silent");
    };
    EXPECT_EQ(silentSign(Provider("Fake Token"), nullptr), kSilent);
    EXPECT_EQ(silentSign(Provider("Pad"), nullptr), kSilent);
    EXPECT_EQ(Prompts(), std::vector<std::string>{});
    EXPECT_EQ(Count(Calls(), "C_Login user pinpad"), 0u);
    EXPECT_EQ(silentSign(Provider("Fake Token"), "1234"), 0u);
    EXPECT_EQ(Sign("asked", Provider("Pad").c_str()), 0u); // an ordinary context may ask
    EXPECT_EQ(silentSign(Provider("Pad"), nullptr), 0u);   // logged in already
    EXPECT_EQ(Prompts(), std::vector<std::string>{"--token Pad --lang en --pinpad"});
}

TEST_F(PinFlow, ATokenTakenAwayIsRemoved) {
    OWN_PROCESS();
    const fs::path present = dir_ / "present";
    std::ofstream(present) << "";
    setenv("ORVANE_FAKE_P11_PRESENT_FILE", present.c_str(), 1);
    UniqueProvider prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.put(), kContainer, Provider("Fake Token").c_str(),
                                     PROV_RSA_FULL, 0));
    EXPECT_EQ(SignWith(prov.get(), "before"), 0u);
    fs::remove(present);
    EXPECT_EQ(SignWith(prov.get(), "after"), kRemoved);
}

// Modules that fail or hang at their start are left out within the time
// limit; the others' tokens still list.
TEST_F(PinFlow, AFailingOrHangingModuleIsSkipped) {
    OWN_PROCESS();
    const std::string modules = Module("hangs", "INIT=hang\nLABEL=Hangs\n").string() + ":" +
                                Module("fails", "INIT=fail\nLABEL=Fails\n").string() + ":" +
                                Module("works", "LABEL=Works\n").string();
    setenv("ORVANE_PKCS11_MODULES", modules.c_str(), 1);
    setenv("ORVANE_PKCS11_INIT_TIMEOUT_MS", "700", 1);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        DWORD type = 0, size = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &size))
            break;
        std::u16string name(size / sizeof(WCHAR), u'\0');
        ASSERT_TRUE(CryptEnumProvidersW(i, nullptr, 0, &type, name.data(), &size));
        name.resize(std::char_traits<char16_t>::length(name.c_str()));
        names.push_back(name);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(std::count(names.begin(), names.end(), Provider("Works")), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), Provider("Hangs")), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), Provider("Fails")), 0);
    // A second listing does not wait for the hanging module again.
    const auto again = std::chrono::steady_clock::now();
    DWORD type = 0, size = 0;
    EXPECT_TRUE(CryptEnumProvidersW(0, nullptr, 0, &type, nullptr, &size));
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(500));
    EXPECT_EQ(Sign("data", Provider("Works").c_str()), 0u);
}

} // namespace

namespace {

// Xdo: runs xdotool (false when it fails or takes over 60 s: an instrumented
// build on a loaded machine opens its window slowly).
bool Xdo(const std::string& args) {
    return std::system(("timeout 60 xdotool " + args + " >/dev/null 2>&1").c_str()) == 0;
}

// The pieces meet: the provider starts the real orvane-pin, and the PIN is
// typed into its window through the X server as a user would.
TEST_F(PinFlow, TheRealPromptTakesATypedPin) {
    const char* program = std::getenv("ORVANE_REAL_PIN_PROMPT");
    if (program == nullptr || std::getenv("ORVANE_REAL_DISPLAY") == nullptr)
        GTEST_SKIP() << "runs under Xvfb only (its own ctest entry)";
    OWN_PROCESS();
    setenv("DISPLAY", std::getenv("ORVANE_REAL_DISPLAY"), 1);
    setenv("ORVANE_PIN_PROMPT", program, 1);
    std::thread user([] {
        if (Xdo("search --sync --onlyvisible --name '^Fake Token$' windowfocus --sync")) {
            Xdo("type --delay 30 1234");
            Xdo("key Return");
        }
    });
    const DWORD status = Sign("typed");
    user.join();
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(Count(Calls(), "C_Login user ok"), 1u);
}

} // namespace
