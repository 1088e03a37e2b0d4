// The signing agent with what only the POSIX build has: the stand-in's SM2
// token, time zones set through TZ, links at the signature's path, also ones
// that appear while a file is being signed, sources whose name changes hands
// between two steps, and a signing process killed while it writes.
#include "tests/signing/AgentTestSupport.h"

#include "foundation/ResultCodes.h"
#include "signing/SignedData.h"

#include <orvane/file_seam.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

using orvane::signing::CCryptoAgent;
using orvane::signing::MAX_SIGN_FILE_SIZE;
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
        CertificateFields fields;
        fields.subject = {{"2.5.4.6", "CN"}, CommonName(commonName)};
        fields.signatureAlgorithm = "1.2.156.10197.1.501";
        fields.publicKeyInfo = orvane::test::ExportPublicKeyInfo(prov.get(), AT_SIGNATURE);
        ASSERT_FALSE(fields.publicKeyInfo.empty()) << std::hex << GetLastError();
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
    // SelectNewSigner: a linked RSA signing certificate of the test's own,
    // named after the marker and suffix, selected through the agent.
    void SelectNewSigner(CCryptoAgent& agent, LinkedCertificate& signer, const WString& suffix) {
        ASSERT_NO_FATAL_FAILURE(signer.Create(m_marker + suffix, AT_SIGNATURE));
        BstrOut csp;
        ASSERT_EQ(Select(agent, TEXT(""), csp), VURO_OK);
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

// TemporaryFilesOf: the names in folder that are destination's temporary
// files ("<name>.XXXXXXXX.tmp").
std::vector<std::string> TemporaryFilesOf(const WString& folder, const WString& destination) {
    const std::string name = U8(destination).substr(U8(folder).size() + 1) + ".";
    std::vector<std::string> found;
    if (DIR* dir = opendir(U8(folder).c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string n = entry->d_name;
            if (n.size() == name.size() + 12 && n.compare(0, name.size(), name) == 0 &&
                n.compare(n.size() - 4, 4, ".tmp") == 0)
                found.push_back(n);
        }
        closedir(dir);
    }
    return found;
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
    EXPECT_TRUE(TemporaryFilesOf(folder.Path(), partial).empty()) << "its temporary file stays";
}

// A file or a link takes the signature's name while the agent signs: the
// call either wrote a new file of its own or failed with 0x800700B7; what
// was there stays, and nothing is written where a link points.
TEST_F(SigningAgentPosix, ADestinationAppearingWhileSigningIsLeftAlone) {
    CCryptoAgent agent(nullptr, &kFakeUi);
    LinkedCertificate signer;
    ASSERT_NO_FATAL_FAILURE(SelectNewSigner(agent, signer, W(" racer")));

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

// CmsContent: the content of the DER message at path as `openssl cms
// -verify` hands it out after checking the signature; empty when it fails.
Bytes CmsContent(const WString& path) {
    const std::string in = U8(path);
    const std::string out = in + ".content";
    const std::string command = "openssl cms -verify -binary -noverify -inform DER -in '" + in +
                                "' -out '" + out + "' 2>/dev/null";
    const int rc = std::system(command.c_str());
    const Bytes content = rc == 0 ? ReadAll(W(out.c_str())) : Bytes();
    unlink(out.c_str());
    return content;
}

// NameSwapper: after every opening of `source`, the name is given to the
// other of two files (a new link to it replaces the name, as a loop of link
// and rename does by chance), so no two openings of the name meet one file.
struct NameSwapper {
    std::string source;
    std::string files[2];
    int next = 0;

    static void OnFileCall(void* pv, DWORD dwEvent, const char* pszPath) {
        auto* self = static_cast<NameSwapper*>(pv);
        if (dwEvent != ORVANE_FILE_OPENED || self->source != pszPath)
            return;
        const std::string link = self->source + ".swap";
        if (::link(self->files[self->next].c_str(), link.c_str()) != 0 ||
            ::rename(link.c_str(), self->source.c_str()) != 0)
            ADD_FAILURE() << "swap: " << errno;
        self->next ^= 1;
    }
};

TEST_F(SigningAgentPosix, TheSizeLimitHoldsForTheFileThatIsRead) {
    CCryptoAgent agent(nullptr, &kFakeUi);
    LinkedCertificate signer;
    ASSERT_NO_FATAL_FAILURE(SelectNewSigner(agent, signer, W(" limit")));

    ScratchFolder folder;
    const WString small = folder.Child(TEXT("small.bin"));
    const WString big = folder.Child(TEXT("big.bin"));
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(small, 1000));
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(big, 0));
    ASSERT_EQ(truncate(U8(big).c_str(), off_t(MAX_SIGN_FILE_SIZE + 1)), 0); // sparse
    const WString source = folder.Child(TEXT("contract.bin"));
    const WString destination = source + TEXT(".p7s");
    folder.Forget(source);
    folder.Forget(destination);

    // The name changes hands at every opening: whatever the steps between
    // the size check and the read, no message over the limit is made.
    for (int first : {0, 1}) {
        NameSwapper swapper{U8(source), {U8(small), U8(big)}, first ^ 1};
        SCOPED_TRACE(swapper.files[first]);
        unlink(swapper.source.c_str());
        ASSERT_EQ(link(swapper.files[first].c_str(), swapper.source.c_str()), 0);
        BstrOut out;
        OrvaneSetFileObserver(&NameSwapper::OnFileCall, &swapper);
        const HRESULT hr = agent.VURO_SignFile(source.c_str(), TEXT("SHA-1"), out.put());
        OrvaneSetFileObserver(nullptr, nullptr);
        if (hr == VURO_OK) {
            EXPECT_EQ(CmsContent(destination), ReadAll(small));
            unlink(U8(destination).c_str());
        } else {
            EXPECT_EQ(hr, VURO_E_FILE_SIZE_LIMIT);
            EXPECT_FALSE(Exists(destination));
        }
    }

    // One file, at the limit when opened, that grows past it while it is
    // read: refused, nothing written.
    unlink(U8(source).c_str());
    ASSERT_EQ(link(U8(big).c_str(), U8(source).c_str()), 0);
    ASSERT_EQ(truncate(U8(source).c_str(), off_t(MAX_SIGN_FILE_SIZE)), 0);
    struct Grower {
        std::string path;
        bool done = false;
        static void AfterRead(void* pv, ULONGLONG) {
            auto* self = static_cast<Grower*>(pv);
            if (!self->done)
                self->done = truncate(self->path.c_str(), off_t(MAX_SIGN_FILE_SIZE + 1)) == 0;
        }
    } grower{U8(source)};
    BstrOut out;
    SetSigningReadObserver(&Grower::AfterRead, &grower);
    const HRESULT hr = agent.VURO_SignFile(source.c_str(), TEXT("SHA-1"), out.put());
    SetSigningReadObserver(nullptr, nullptr);
    EXPECT_TRUE(grower.done);
    EXPECT_EQ(hr, VURO_E_FILE_SIZE_LIMIT);
    EXPECT_FALSE(Exists(destination));
    EXPECT_EQ(out.Text(), "");
}

// A signing process killed (SIGKILL, no clean-up of any kind) in the middle
// of writing the signature file: the final name holds nothing, so the next
// call is not refused as "already exists" and writes a whole message.
TEST_F(SigningAgentPosix, AWriterKilledWhileWritingLeavesNoSignatureFile) {
    CCryptoAgent agent(nullptr, &kFakeUi);
    LinkedCertificate signer;
    ASSERT_NO_FATAL_FAILURE(SelectNewSigner(agent, signer, W(" killed")));
    ScratchFolder folder;
    const WString source = folder.Child(TEXT("large.bin"));
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(source, 4u << 20));
    const WString destination = source + TEXT(".p7s");
    folder.Forget(destination);

    // The child stops for good right after its first write to the signature
    // (under whatever name), and says so; only then is it killed.
    struct Stopper {
        std::string destination;
        int fd;
        static void OnFileCall(void* pv, DWORD dwEvent, const char* pszPath) {
            auto* self = static_cast<Stopper*>(pv);
            if (dwEvent != ORVANE_FILE_WRITTEN ||
                std::string(pszPath).compare(0, self->destination.size(), self->destination) != 0)
                return;
            const char written = 'w';
            if (write(self->fd, &written, 1) == 1)
                for (;;)
                    pause();
        }
    };
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        Stopper stopper{U8(destination), ready[1]};
        OrvaneSetFileObserver(&Stopper::OnFileCall, &stopper);
        BstrOut out;
        // The child is stopped inside the write; what it would answer never counts.
        static_cast<void>(agent.VURO_SignFile(source.c_str(), TEXT("SHA-1"), out.put()));
        _exit(3); // the write was never reached
    }
    close(ready[1]);
    char said = 0;
    const ssize_t n = read(ready[0], &said, 1); // end of file if the child ended
    close(ready[0]);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(n, 1) << "the child ended before it wrote, status " << status;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    struct stat st {};
    EXPECT_NE(lstat(U8(destination).c_str(), &st), 0) << "a partial signature file stays";
    // What the killed writer leaves is its temporary file, named after the
    // signature file.
    const std::vector<std::string> left = TemporaryFilesOf(folder.Path(), destination);
    EXPECT_EQ(left.size(), 1u);
    for (const std::string& name : left)
        folder.Forget(folder.Child(W(name.c_str())));

    BstrOut out;
    ASSERT_EQ(agent.VURO_SignFile(source.c_str(), TEXT("SHA-1"), out.put()), VURO_OK);
    EXPECT_EQ(CmsContent(destination), ReadAll(source));
    EXPECT_EQ(TemporaryFilesOf(folder.Path(), destination).size(), left.size())
        << "a finished call leaves no temporary file";
}

} // namespace
