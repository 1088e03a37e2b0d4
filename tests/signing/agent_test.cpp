// The signing agent on both targets (under Wine: Wine's providers and
// personal store): selection through filters and the dialog, the selection
// invariant, the argument rules of every operation, the signature file.
#include "tests/signing/AgentTestSupport.h"

#include "foundation/ResultCodes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using orvane::signing::CCryptoAgent;
using orvane::signing::MAX_SIGN_FILE_SIZE;
using orvane::signing::WriteFileSimple;
using orvane::test::Bytes;

namespace {

constexpr HRESULT kNoWindow = HRESULT(0x8007057E);
constexpr HRESULT kAlreadyExists = HRESULT(0x800700B7);
constexpr HRESULT kNameTooLong = HRESULT(0x800700CE);

class SigningAgent : public ::testing::Test {
protected:
    void SetUp() override {
        FakeDialog::Reset();
        m_marker = UniqueMarker();
    }
    // Select: VURO_SelectUserCert with the run's marker as the subject filter.
    HRESULT Select(CCryptoAgent& agent, BstrOut& csp, bool alwaysShow = false,
                   const WCHAR* pwszCsp = TEXT("")) {
        return agent.VURO_SelectUserCert(m_marker.c_str(), TEXT(""), TEXT(""), pwszCsp,
                                         alwaysShow ? VARIANT_TRUE : VARIANT_FALSE, csp.put());
    }
    WString m_marker;
};

// An agent whose selection is a linked signing certificate of the run (alone).
class SelectedSigner : public SigningAgent {
protected:
    void SetUp() override {
        SigningAgent::SetUp();
        ASSERT_NO_FATAL_FAILURE(signer.Create(m_marker + W(" signer"), AT_SIGNATURE));
        BstrOut csp;
        ASSERT_EQ(Select(agent, csp), VURO_OK);
        ASSERT_TRUE(agent.SelectedStoreCertificate());
    }
    CCryptoAgent agent{nullptr, &kFakeUi};
    LinkedCertificate signer;
};

TEST_F(SigningAgent, EveryUseOfTheSelectionFailsBeforeOne) {
    CCryptoAgent agent(nullptr, &kFakeUi);
    using Op = HRESULT (*)(CCryptoAgent&, BSTR*);
    const struct {
        const char* what;
        Op call;
    } cases[] = {
        {"SignData",
         [](CCryptoAgent& a, BSTR* p) { return a.VURO_SignData(TEXT("x"), TEXT("SHA-1"), p); }},
        {"SignDataDetached",
         [](CCryptoAgent& a, BSTR* p) {
             return a.VURO_SignDataDetached(TEXT("x"), TEXT("SHA-1"), p);
         }},
        {"SignFile",
         [](CCryptoAgent& a, BSTR* p) { return a.VURO_SignFile(TEXT("x"), TEXT("SHA-1"), p); }},
        {"SignFileDetached",
         [](CCryptoAgent& a, BSTR* p) {
             return a.VURO_SignFileDetached(TEXT("x"), TEXT("SHA-1"), p);
         }},
        {"GetCertInfo",
         [](CCryptoAgent& a, BSTR* p) { return a.VURO_GetCertInfo(TEXT("CertType"), p); }},
    };
    for (const auto& c : cases) {
        BstrOut out;
        EXPECT_EQ(c.call(agent, out.put()), VURO_E_CERT_NOT_READY) << c.what;
        // A page always gets a text back: empty after a failure.
        ASSERT_NE(out.get(), nullptr) << c.what;
        EXPECT_EQ(out.Text(), "") << c.what;
        EXPECT_EQ(agent.LastResult(), VURO_E_CERT_NOT_READY) << c.what;
    }
    // The description tells the same code, and asking for it changes nothing.
    BstrOut desc;
    ASSERT_EQ(agent.VURO_GetLastErrorDesc(desc.put()), VURO_OK);
    std::string text = desc.Text();
    std::transform(text.begin(), text.end(), text.begin(), ::tolower);
    EXPECT_NE(text.find("(0xa0072001)"), std::string::npos) << text;
    EXPECT_EQ(agent.LastResult(), VURO_E_CERT_NOT_READY);
    EXPECT_EQ(FakeDialog::calls.size(), 0u);
}

TEST_F(SigningAgent, EmptyFiltersOfferEverySigningCertificateWithAKey) {
    LinkedCertificate signer, encipherOnly, neighbours;
    orvane::test::CertificateFields encipher;
    encipher.keyUsage = Bytes{0x05, 0x20};
    ASSERT_NO_FATAL_FAILURE(signer.Create(m_marker + W(" signer"), AT_SIGNATURE));
    ASSERT_NO_FATAL_FAILURE(
        encipherOnly.Create(m_marker + W(" encipher"), AT_KEYEXCHANGE, encipher));
    ASSERT_NO_FATAL_FAILURE(neighbours.Create(m_marker + W(" other"), AT_SIGNATURE));
    ASSERT_NO_FATAL_FAILURE(neighbours.AddUnlinkedNeighbour(m_marker + W(" keyless")));

    CCryptoAgent agent(nullptr, &kFakeUi);
    FakeDialog::pick = signer.Encoded();
    BstrOut csp;
    ASSERT_EQ(
        agent.VURO_SelectUserCert(TEXT(""), TEXT(""), TEXT(""), TEXT(""), VARIANT_FALSE, csp.put()),
        VURO_OK);
    ASSERT_EQ(FakeDialog::calls.size(), 1u);
    const std::vector<Bytes>& offered = FakeDialog::calls[0].candidates;
    auto has = [&](const Bytes& der) {
        return std::find(offered.begin(), offered.end(), der) != offered.end();
    };
    EXPECT_TRUE(has(signer.Encoded()));
    EXPECT_TRUE(has(neighbours.Encoded()));
    EXPECT_FALSE(has(encipherOnly.Encoded())) << "no digitalSignature usage";
    EXPECT_EQ(std::count_if(
                  offered.begin(), offered.end(),
                  [&](const Bytes& der) { return SubjectContains(der, m_marker + W(" keyless")); }),
              0)
        << "no key";
    EXPECT_EQ(csp.Text(), "Microsoft Enhanced Cryptographic Provider v1.0");
    EXPECT_EQ(StoreSelection(agent), signer.Encoded());
}

TEST_F(SigningAgent, SoleCandidateIsTakenWithoutTheDialog) {
    LinkedCertificate signer;
    orvane::test::CertificateFields expired;
    expired.notBefore = "20100101000000";
    expired.notAfter = "20110101000000";
    ASSERT_NO_FATAL_FAILURE(signer.Create(m_marker + W(" expired"), AT_SIGNATURE, expired));
    // The system's dialog: one candidate and no "always show" never opens it.
    CCryptoAgent agent;
    BstrOut csp;
    ASSERT_EQ(Select(agent, csp), VURO_OK) << "an expired certificate is offered too";
    EXPECT_EQ(csp.Text(), "Microsoft Enhanced Cryptographic Provider v1.0");
    EXPECT_EQ(StoreSelection(agent), signer.Encoded());
    EXPECT_EQ(agent.SelectedContainerCertificate(), nullptr);
    BstrOut type;
    ASSERT_EQ(agent.VURO_GetCertInfo(TEXT("certtype"), type.put()), VURO_OK);
    EXPECT_EQ(type.Text(), "RSA");
}

TEST_F(SigningAgent, DialogOwnersOptionsAndAnswers) {
    LinkedCertificate a, b;
    ASSERT_NO_FATAL_FAILURE(a.Create(m_marker + W(" a"), AT_SIGNATURE));
    ASSERT_NO_FATAL_FAILURE(b.Create(m_marker + W(" b"), AT_SIGNATURE));
    const struct {
        const char* what;
        std::vector<HRESULT> answers;
        bool alwaysShow;
        HRESULT result;
        std::vector<HWND> owners;
    } cases[] = {
        {"chosen", {VURO_OK}, false, VURO_OK, {kForeground}},
        {"always shown", {VURO_OK}, true, VURO_OK, {kForeground}},
        {"the foreground window cannot own it: the active one does",
         {kNoWindow, VURO_OK},
         false,
         VURO_OK,
         {kForeground, kActive}},
        {"no window at all", {kNoWindow, kNoWindow}, false, kNoWindow, {kForeground, kActive}},
        {"cancelled", {VURO_E_USER_CANCELED}, false, VURO_E_USER_CANCELED, {kForeground}},
        {"another failure is not retried", {E_FAIL}, false, E_FAIL, {kForeground}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CCryptoAgent agent(nullptr, &kFakeUi);
        // A selection from before: whatever happens, it is gone.
        FakeDialog::Reset();
        FakeDialog::pick = a.Encoded();
        BstrOut csp;
        ASSERT_EQ(Select(agent, csp), VURO_OK);
        FakeDialog::Reset();
        FakeDialog::answers = c.answers;
        FakeDialog::pick = b.Encoded();
        BstrOut again;
        EXPECT_EQ(Select(agent, again, c.alwaysShow), c.result);
        EXPECT_EQ(agent.LastResult(), c.result);
        std::vector<HWND> owners;
        for (const FakeDialog::Call& call : FakeDialog::calls) {
            owners.push_back(call.options.hParentWindow);
            EXPECT_EQ(call.options.bAlwaysShow, c.alwaysShow ? 1 : 0);
            EXPECT_EQ(call.options.dwParentGiven, 1u);
            EXPECT_EQ(call.candidates.size(), 2u);
        }
        EXPECT_EQ(owners, c.owners);
        if (SUCCEEDED(c.result)) {
            EXPECT_EQ(StoreSelection(agent), b.Encoded());
            EXPECT_EQ(again.Text(), "Microsoft Enhanced Cryptographic Provider v1.0");
        } else {
            EXPECT_EQ(agent.SelectedStoreCertificate(), nullptr);
            EXPECT_EQ(again.get(), nullptr);
        }
        EXPECT_EQ(agent.SelectedContainerCertificate(), nullptr);
    }
}

TEST_F(SigningAgent, NoCandidateNeverOpensTheDialog) {
    CCryptoAgent agent(nullptr, &kFakeUi);
    BstrOut csp;
    EXPECT_EQ(Select(agent, csp), VURO_E_NO_AVAILABLE_CERT);
    EXPECT_EQ(csp.get(), nullptr);
    EXPECT_TRUE(FakeDialog::calls.empty());
    // A provider filter naming no installed provider finds nothing either.
    LinkedCertificate signer;
    ASSERT_NO_FATAL_FAILURE(signer.Create(m_marker + W(" signer"), AT_SIGNATURE));
    EXPECT_EQ(Select(agent, csp, false, TEXT("No Such Provider")), VURO_E_NO_AVAILABLE_CERT);
}

TEST_F(SelectedSigner, TextSigningArgumentsAndResult) {
    const WCHAR* const message = TEXT("sign\x00E9 \x4E2D\x6587");
    const std::string utf8 = "sign\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87";
    const struct {
        const WCHAR* message;
        const WCHAR* hash;
        HRESULT result;
    } cases[] = {
        {message, TEXT("SHA-1"), VURO_OK},       {message, TEXT("sha-1"), VURO_OK},
        {message, TEXT("SHA1"), E_INVALIDARG},   {message, TEXT("SHA-256"), E_INVALIDARG},
        {message, TEXT(""), E_INVALIDARG},       {message, nullptr, E_INVALIDARG},
        {TEXT(""), TEXT("SHA-1"), E_INVALIDARG}, {nullptr, TEXT("SHA-1"), E_INVALIDARG},
    };
    for (const auto& c : cases) {
        for (bool attached : {true, false}) {
            SCOPED_TRACE(U8(c.hash == nullptr ? TEXT("(null)") : c.hash) +
                         (attached ? " attached" : " detached"));
            BstrOut sig;
            const HRESULT hr = attached ? agent.VURO_SignData(c.message, c.hash, sig.put())
                                        : agent.VURO_SignDataDetached(c.message, c.hash, sig.put());
            EXPECT_EQ(hr, c.result);
            ASSERT_NE(sig.get(), nullptr);
            if (FAILED(c.result)) {
                EXPECT_EQ(sig.Text(), "");
                continue;
            }
            const std::string text = sig.Text();
            EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << "one line";
            const Bytes der = Base64Decode(text);
            ASSERT_FALSE(der.empty());
            EXPECT_EQ(der[0], 0x30);
            EXPECT_EQ(Contains(der, utf8), attached) << "the UTF-8 bytes inside";
        }
    }
    // The selection stays for every later call.
    EXPECT_EQ(StoreSelection(agent), signer.Encoded());
}

TEST_F(SelectedSigner, CertInfoNamesAndValidToDate) {
    const std::regex date("2040-01-0[12] [0-9]{2}:[0-9]{2}:00");
    std::string first;
    for (const WCHAR* name : {TEXT("ValidToDate"), TEXT("validtodate"), TEXT("VALIDTODATE")}) {
        BstrOut info;
        ASSERT_EQ(agent.VURO_GetCertInfo(name, info.put()), VURO_OK) << U8(name);
        EXPECT_TRUE(std::regex_match(info.Text(), date)) << info.Text();
        if (first.empty())
            first = info.Text();
        EXPECT_EQ(info.Text(), first);
    }
    for (const WCHAR* name :
         {TEXT("ValidFromDate"), TEXT(""), TEXT("CertType "), static_cast<const WCHAR*>(nullptr)}) {
        BstrOut info;
        EXPECT_EQ(agent.VURO_GetCertInfo(name, info.put()), HRESULT(0x80070057));
        ASSERT_NE(info.get(), nullptr);
        EXPECT_EQ(info.Text(), "");
    }
    EXPECT_EQ(StoreSelection(agent), signer.Encoded()) << "a failed question keeps the selection";
}

TEST_F(SelectedSigner, SignFileWritesANewSignatureFile) {
    ScratchFolder folder;
    const WString source = folder.Child(TEXT("contract.txt"));
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(source, 1000));
    const WString destination = source + TEXT(".p7s");
    folder.Forget(destination);

    BstrOut answer;
    ASSERT_EQ(agent.VURO_SignFile(source.c_str(), TEXT("SHA-1"), answer.put()), VURO_OK);
    EXPECT_EQ(answer.Text(), U8(destination));
    const Bytes written = ReadAll(destination);
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written[0], 0x30) << "DER, not Base64";
    EXPECT_TRUE(Contains(written, std::string(1000, 'x')));

    // A second call finds the file there and leaves it as it is.
    BstrOut second;
    EXPECT_EQ(agent.VURO_SignFile(source.c_str(), TEXT("SHA-1"), second.put()), kAlreadyExists);
    EXPECT_EQ(second.Text(), "");
    EXPECT_EQ(ReadAll(destination), written);

    // A wrong hash or a missing source writes nothing.
    const WString other = folder.Child(TEXT("other.txt"));
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(other, 10));
    BstrOut refused;
    EXPECT_EQ(agent.VURO_SignFile(other.c_str(), TEXT("MD5"), refused.put()), E_INVALIDARG);
    EXPECT_FALSE(Exists(other + TEXT(".p7s")));
    EXPECT_TRUE(FAILED(agent.VURO_SignFile(folder.Child(TEXT("missing.txt")).c_str(), TEXT("SHA-1"),
                                           refused.put())));
    EXPECT_FALSE(Exists(folder.Child(TEXT("missing.txt.p7s"))));
}

TEST_F(SelectedSigner, AttachedFileSizeLimitIsThirtyMebibytes) {
    ScratchFolder folder;
    const WString atLimit = folder.Child(TEXT("limit.bin"));
    const WString over = folder.Child(TEXT("over.bin"));
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(atLimit, DWORD(MAX_SIGN_FILE_SIZE)));
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(over, DWORD(MAX_SIGN_FILE_SIZE + 1)));
    folder.Forget(atLimit + TEXT(".p7s"));
    folder.Forget(over + TEXT(".p7s"));

    BstrOut out;
    EXPECT_EQ(agent.VURO_SignFile(atLimit.c_str(), TEXT("SHA-1"), out.put()), VURO_OK);
    EXPECT_GT(ReadAll(atLimit + TEXT(".p7s")).size(), size_t(MAX_SIGN_FILE_SIZE));
    EXPECT_EQ(agent.VURO_SignFile(over.c_str(), TEXT("SHA-1"), out.put()), VURO_E_FILE_SIZE_LIMIT);
    EXPECT_FALSE(Exists(over + TEXT(".p7s")));
    // A detached signature holds no content and has no limit: RSA answers
    // Base64 in lines of 76 joined by CR LF.
    ASSERT_EQ(agent.VURO_SignFileDetached(over.c_str(), TEXT("SHA-1"), out.put()), VURO_OK);
    const std::string text = out.Text();
    ASSERT_GT(text.size(), 78u);
    EXPECT_EQ(text.substr(76, 2), "\r\n");
    EXPECT_LT(text.size(), 20000u);
}

TEST_F(SelectedSigner, ADestinationPathThatWouldNotFitIsRefusedNotCut) {
    ScratchFolder folder;
    // ".p7s", and ".XXXXXXXX.tmp" of the temporary name it is written under.
    const size_t room = size_t(MAX_PATH - 1) - 4 - 13 - folder.Child(TEXT("")).size();
    ASSERT_LT(room, 250u);
    // The longest source whose ".p7s" still fits, and one character more.
    const WString fits = folder.Child(WString(room, TEXT('f')));
    const WString tooLong = folder.Child(WString(room + 1, TEXT('l')));
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(fits, 16));
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(tooLong, 16));
    folder.Forget(fits + TEXT(".p7s"));
    BstrOut out;
    EXPECT_EQ(agent.VURO_SignFile(fits.c_str(), TEXT("SHA-1"), out.put()), VURO_OK);
    EXPECT_EQ(out.Text().size(), size_t(MAX_PATH - 1 - 13));
    EXPECT_EQ(agent.VURO_SignFile(tooLong.c_str(), TEXT("SHA-1"), out.put()), kNameTooLong);
    EXPECT_EQ(out.Text(), "");
    EXPECT_FALSE(Exists(tooLong + TEXT(".p7")));
    EXPECT_FALSE(Exists(tooLong + TEXT(".p")));
}

TEST(WriteFileSimpleTest, CreatesOnlyNewFiles) {
    ScratchFolder folder;
    const WString fresh = folder.Child(TEXT("fresh.p7s"));
    const WString empty = folder.Child(TEXT("empty.p7s"));
    const WString taken = folder.Child(TEXT("taken.p7s"));
    folder.Forget(fresh);
    folder.Forget(empty);
    ASSERT_NO_FATAL_FAILURE(folder.WriteFile(taken, 5));
    const Bytes data = {0x30, 0x03, 0x02, 0x01, 0x07};
    EXPECT_EQ(WriteFileSimple(fresh.c_str(), data.data(), DWORD(data.size())), VURO_OK);
    EXPECT_EQ(ReadAll(fresh), data);
    EXPECT_EQ(WriteFileSimple(empty.c_str(), nullptr, 0), VURO_OK);
    EXPECT_TRUE(Exists(empty));
    EXPECT_EQ(WriteFileSimple(taken.c_str(), data.data(), DWORD(data.size())), kAlreadyExists);
    EXPECT_EQ(ReadAll(taken), Bytes(5, 'x'));
    EXPECT_EQ(WriteFileSimple(folder.Path().c_str(), data.data(), 1), kAlreadyExists) << "a folder";
    EXPECT_EQ(WriteFileSimple(nullptr, data.data(), 1), E_INVALIDARG);
    EXPECT_EQ(WriteFileSimple(fresh.c_str(), nullptr, 1), E_INVALIDARG);
}

} // namespace
