// The signing agent with what only the POSIX build has: the stand-in's SM2
// token, time zones set through TZ, and links at the signature's path,
// also ones that appear while a file is being signed.
#include "tests/signing/AgentTestSupport.h"

#include "foundation/ResultCodes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

using orvane::signing::CCryptoAgent;
using orvane::signing::WriteFileSimple;
using orvane::test::Bytes;
using orvane::test::CertificateFields;

namespace {

constexpr HRESULT kAlreadyExists = HRESULT(0x800700B7);
const WCHAR kSm2Token[] = TEXT("Orvane Soft SM2 Token CSP v1.0");
constexpr ALG_ID kSm2Signature = 0x3E00;

// Sm2Signer: an SM2 token container with a signing key pair and its
// certificate kept with the key; deleted at the end.
class Sm2Signer {
public:
    explicit Sm2Signer(const WString& marker) : m_name(W("agent-sm2-") + marker) {}
    ~Sm2Signer() {
        HCRYPTPROV none = 0;
        CryptAcquireContextW(&none, m_name.c_str(), kSm2Token, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    }
    Sm2Signer(const Sm2Signer&) = delete;
    Sm2Signer& operator=(const Sm2Signer&) = delete;

    // Create: the key pair and a certificate of it issued to commonName, or,
    // when kept is given, that certificate kept with the new key instead.
    void Create(const WString& commonName, const Bytes& kept = {}) {
        UniqueProvider prov;
        ASSERT_TRUE(CryptAcquireContextW(prov.put(), m_name.c_str(), kSm2Token, PROV_RSA_FULL,
                                         CRYPT_NEWKEYSET))
            << std::hex << GetLastError();
        UniqueKey key;
        ASSERT_TRUE(CryptGenKey(prov.get(), kSm2Signature, 0, key.put()));
        DWORD size = 0;
        ASSERT_TRUE(
            CryptExportPublicKeyInfo(prov.get(), AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &size));
        std::vector<BYTE> block(size);
        auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(block.data());
        ASSERT_TRUE(
            CryptExportPublicKeyInfo(prov.get(), AT_SIGNATURE, X509_ASN_ENCODING, info, &size));
        CertificateFields fields;
        fields.subject = {{"2.5.4.6", "CN"}, CommonName(commonName)};
        fields.signatureAlgorithm = "1.2.156.10197.1.501";
        fields.publicKeyInfo = orvane::test::EncodePublicKeyInfo(*info);
        m_encoded = kept.empty() ? orvane::test::BuildCertificate(fields) : kept;
        ASSERT_TRUE(CryptSetKeyParam(key.get(), KP_CERTIFICATE, m_encoded.data(), 0))
            << std::hex << GetLastError();
    }
    const Bytes& Encoded() const { return m_encoded; }
    const WString& Container() const { return m_name; }

private:
    WString m_name;
    Bytes m_encoded;
};

// ScopedTimeZone: TZ set for the scope, restored after.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) {
            m_old = old;
            m_had = true;
        }
        setenv("TZ", tz, 1);
    }
    ~ScopedTimeZone() {
        if (m_had)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
    }

private:
    std::string m_old;
    bool m_had = false;
};

class SigningAgentPosix : public ::testing::Test {
protected:
    void SetUp() override {
        FakeDialog::Reset();
        m_marker = UniqueMarker();
    }
    HRESULT Select(CCryptoAgent& agent, const WCHAR* pwszCsp, BstrOut& csp) {
        return agent.VURO_SelectUserCert(m_marker.c_str(), TEXT(""), TEXT(""), pwszCsp,
                                         VARIANT_FALSE, csp.put());
    }
    WString m_marker;
};

TEST_F(SigningAgentPosix, Sm2ContainerCertificateIgnoresTheHashArgument) {
    Sm2Signer sm2(m_marker);
    ASSERT_NO_FATAL_FAILURE(sm2.Create(m_marker + W(" sm2")));
    LinkedCertificate rsa;
    ASSERT_NO_FATAL_FAILURE(rsa.Create(m_marker + W(" rsa"), AT_SIGNATURE));

    CCryptoAgent agent;
    BstrOut csp;
    // Without provider names no container is searched: the RSA one alone.
    ASSERT_EQ(Select(agent, TEXT(""), csp), VURO_OK);
    EXPECT_EQ(StoreSelection(agent), rsa.Encoded());

    // Naming the token: its container certificate is the sole candidate (the
    // provider filter leaves out the Microsoft-linked RSA one).
    ASSERT_EQ(Select(agent, kSm2Token, csp), VURO_OK);
    EXPECT_EQ(csp.Text(), U8(kSm2Token));
    EXPECT_EQ(agent.SelectedStoreCertificate(), nullptr);
    ASSERT_NE(agent.SelectedContainerCertificate(), nullptr);
    EXPECT_EQ(Encoding(agent.SelectedContainerCertificate()->pCertContext), sm2.Encoded());
    BstrOut type;
    ASSERT_EQ(agent.VURO_GetCertInfo(TEXT("CERTTYPE"), type.put()), VURO_OK);
    EXPECT_EQ(type.Text(), "SM2");

    for (const WCHAR* hash :
         {TEXT("SHA-1"), TEXT("MD5"), TEXT(""), static_cast<const WCHAR*>(nullptr)}) {
        BstrOut sig;
        EXPECT_EQ(agent.VURO_SignData(TEXT("sm2 text"), hash, sig.put()), VURO_OK);
        EXPECT_TRUE(Contains(Base64Decode(sig.Text()), "sm2 text"));
    }
    // Selecting again replaces the container selection with a store one.
    ASSERT_EQ(Select(agent, TEXT(""), csp), VURO_OK);
    EXPECT_EQ(agent.SelectedContainerCertificate(), nullptr);
    EXPECT_EQ(StoreSelection(agent), rsa.Encoded());
}

// One certificate can be reached more than once: a page may name its provider
// many times and in any letter case (provider names are looked up ignoring
// it), and a token may keep the certificate in a second container too (a
// restored copy). It is offered once, so a sole certificate is still taken
// without the dialog, which a run without a desktop cannot open (0x8007057E).
TEST_F(SigningAgentPosix, ACertificateReachedTwiceIsOfferedOnce) {
    Sm2Signer sm2(m_marker);
    ASSERT_NO_FATAL_FAILURE(sm2.Create(m_marker + W(" sm2")));
    WString lower = kSm2Token, upper = kSm2Token;
    for (WCHAR& c : lower)
        c = c >= TEXT('A') && c <= TEXT('Z') ? WCHAR(c + 32) : c;
    for (WCHAR& c : upper)
        c = c >= TEXT('a') && c <= TEXT('z') ? WCHAR(c - 32) : c;
    WString repeated = lower;
    for (int i = 0; i < 200; ++i)
        repeated += W("||") + WString(kSm2Token) + W("||") + upper;

    CCryptoAgent agent; // the system's dialog
    BstrOut csp;
    ASSERT_EQ(Select(agent, repeated.c_str(), csp), VURO_OK) << "offered more than once";
    EXPECT_EQ(csp.Text(), U8(lower)) << "the provider as the page first named it";
    ASSERT_NE(agent.SelectedContainerCertificate(), nullptr);
    EXPECT_EQ(Encoding(agent.SelectedContainerCertificate()->pCertContext), sm2.Encoded());

    Sm2Signer copy(m_marker + W("-copy"));
    ASSERT_NO_FATAL_FAILURE(copy.Create(W(""), sm2.Encoded()));
    ASSERT_EQ(Select(agent, kSm2Token, csp), VURO_OK) << "offered from both containers";
    ASSERT_NE(agent.SelectedContainerCertificate(), nullptr);
    EXPECT_EQ(U8(agent.SelectedContainerCertificate()->wszContainerName), U8(sm2.Container()))
        << "the container listed first";
}

TEST_F(SigningAgentPosix, ValidToDateIsLocalTimeOfThatDate) {
    // Central European time: +1 in winter, +2 in summer, whatever today is.
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const struct {
        const char* notAfter;
        const char* shown;
    } cases[] = {
        {"20400115120000", "2040-01-15 13:00:00"},
        {"20400615120000", "2040-06-15 14:00:00"},
        {"20401231233000", "2041-01-01 00:30:00"},
    };
    for (const auto& c : cases) {
        LinkedCertificate cert;
        CertificateFields fields;
        fields.notAfter = c.notAfter;
        const WString marker = UniqueMarker();
        ASSERT_NO_FATAL_FAILURE(cert.Create(marker, AT_SIGNATURE, fields));
        CCryptoAgent agent;
        BstrOut csp, info;
        ASSERT_EQ(agent.VURO_SelectUserCert(marker.c_str(), TEXT(""), TEXT(""), TEXT(""),
                                            VARIANT_FALSE, csp.put()),
                  VURO_OK);
        ASSERT_EQ(agent.VURO_GetCertInfo(TEXT("ValidToDate"), info.put()), VURO_OK);
        EXPECT_EQ(info.Text(), c.shown) << c.notAfter;
    }
}

const char kRacer[] = "racer";
Bytes RacerBytes() {
    return Bytes(kRacer, kRacer + sizeof kRacer);
}

TEST(WriteFileSimplePosix, NeverWritesThroughALink) {
    ScratchFolder folder;
    const WString victim = folder.Child(TEXT("victim"));
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(victim, 7));
    const WString toVictim = folder.Child(TEXT("to-victim.p7s"));
    const WString dangling = folder.Child(TEXT("dangling.p7s"));
    const WString missing = folder.Child(TEXT("not-there"));
    ASSERT_EQ(symlink(U8(victim).c_str(), U8(toVictim).c_str()), 0);
    ASSERT_EQ(symlink(U8(missing).c_str(), U8(dangling).c_str()), 0);
    folder.Forget(toVictim);
    folder.Forget(dangling);
    const Bytes data(64, 0x30);
    for (const WString& link : {toVictim, dangling}) {
        EXPECT_EQ(WriteFileSimple(link.c_str(), data.data(), DWORD(data.size())), kAlreadyExists)
            << U8(link);
        struct stat st {};
        ASSERT_EQ(lstat(U8(link).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is left as it was";
    }
    EXPECT_EQ(ReadAll(victim), Bytes(7, 'x'));
    EXPECT_FALSE(Exists(missing)) << "nothing made where a dangling link points";
}

TEST(WriteFileSimplePosix, AFileThatCannotBeWrittenInFullIsRemoved) {
    // A file-size limit of 10 bytes: the first write stops there, the next
    // one fails (EFBIG, its signal ignored).
    ScratchFolder folder;
    const WString partial = folder.Child(TEXT("partial.p7s"));
    const Bytes data(64, 0x30);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const HRESULT hr = WriteFileSimple(partial.c_str(), data.data(), DWORD(data.size()));
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    if (Exists(partial))
        folder.Forget(partial);
    EXPECT_FALSE(Exists(partial)) << "a half-written signature file stays";
}

// A file or a link takes the signature's name while the agent signs: the
// call either wrote a new file of its own or failed with 0x800700B7; what
// was there stays, and nothing is written where a link points.
TEST_F(SigningAgentPosix, ADestinationAppearingWhileSigningIsLeftAlone) {
    CCryptoAgent agent(nullptr, &kFakeUi);
    LinkedCertificate signer;
    ASSERT_NO_FATAL_FAILURE(signer.Create(m_marker + W(" racer"), AT_SIGNATURE));
    BstrOut csp;
    ASSERT_EQ(Select(agent, TEXT(""), csp), VURO_OK);

    ScratchFolder folder;
    const WString source = folder.Child(TEXT("big.bin"));
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(source, 1u << 20));
    const WString victim = folder.Child(TEXT("victim"));
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(victim, 9));
    const WString destination = source + TEXT(".p7s");
    folder.Forget(destination);
    const std::string dest = U8(destination);

    for (bool asLink : {true, false}) {
        SCOPED_TRACE(asLink ? "a link" : "a file");
        std::atomic<bool> stop{false};
        unsigned round = 0;
        std::thread racer([&] {
            while (!stop) {
                if (asLink) {
                    symlink(U8(victim).c_str(), dest.c_str());
                } else {
                    const int fd = open(dest.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
                    if (fd >= 0) {
                        EXPECT_EQ(write(fd, kRacer, sizeof kRacer), ssize_t(sizeof kRacer));
                        close(fd);
                    }
                }
                std::this_thread::sleep_for(std::chrono::microseconds(150));
                // Takes away only what it made: a link, or its own file.
                struct stat st {};
                if (lstat(dest.c_str(), &st) == 0 &&
                    (S_ISLNK(st.st_mode) || ReadAll(destination) == RacerBytes()))
                    unlink(dest.c_str());
                // The name is free for a varying while: the agent's check
                // and its write fall on either side of a change.
                std::this_thread::sleep_for(std::chrono::microseconds(50 * (++round % 40)));
            }
        });
        int written = 0, refused = 0;
        for (int i = 0; i < 60; ++i) {
            BstrOut out;
            const HRESULT hr = agent.VURO_SignFile(source.c_str(), TEXT("SHA-1"), out.put());
            if (hr == VURO_OK) {
                ++written;
                struct stat st {};
                ASSERT_EQ(lstat(dest.c_str(), &st), 0);
                EXPECT_TRUE(S_ISREG(st.st_mode));
                EXPECT_EQ(ReadAll(destination).at(0), 0x30);
                unlink(dest.c_str());
            } else {
                EXPECT_EQ(hr, kAlreadyExists);
                EXPECT_EQ(out.Text(), "");
                // What took the name is as its maker left it (or gone again).
                const Bytes now = asLink ? Bytes() : ReadAll(destination);
                if (!now.empty()) {
                    EXPECT_EQ(now, RacerBytes());
                }
                ++refused;
            }
        }
        stop = true;
        racer.join();
        unlink(dest.c_str());
        EXPECT_EQ(ReadAll(victim), Bytes(9, 'x')) << "written through the link";
        RecordProperty(asLink ? "link_written" : "file_written", written);
        RecordProperty(asLink ? "link_refused" : "file_refused", refused);
    }
}

} // namespace
