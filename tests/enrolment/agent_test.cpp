// The enrolment agent: argument checks and normalisation, the choices it keeps
// between calls, the last-result rule and its descriptions, the permission
// test, and whole requests in the providers. On Windows the providers are the
// system's (under Wine, Wine's); on POSIX the stand-in.
#include "enrolment/CryptoAgent.h"
#include "foundation/Handles.h"
#include "foundation/Encodings.h"
#include "tests/enrolment/ImportTestSupport.h"
#include "tests/support/TestSupport.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

constexpr WCHAR kBase[] = TEXT("Microsoft Base Cryptographic Provider v1.0");
constexpr WCHAR kEnhanced[] = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
constexpr WCHAR kSm2Token[] = TEXT("Orvane Soft SM2 Token CSP v1.0");

// SM2 tokens open and delete containers with flags of their own.
constexpr DWORD kSm2DeleteContainer = 0xFFFF0002u;

bool UiIsChinese() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE;
}

std::string InstalledProviders() {
    CCryptoAgent agent;
    UniqueBstr names;
    EXPECT_EQ(agent.VURO_GetCSPInfo(names.put()), S_OK);
    return U8(names.get());
}

std::set<std::string> Containers(const WCHAR* pwszProvider) {
    return importtest::Containers(pwszProvider, importtest::TypeOf(pwszProvider));
}

bool HasContainer(const WCHAR* pwszProvider, const WString& wstrContainer) {
    return Containers(pwszProvider).count(U8(wstrContainer)) != 0;
}

void DeleteContainer(const WCHAR* pwszProvider, const WString& wstrContainer) {
    HCRYPTPROV hNone = 0;
    const DWORD dwFlags =
        WString(pwszProvider) == kSm2Token ? kSm2DeleteContainer : DWORD(CRYPT_DELETEKEYSET);
    CryptAcquireContextW(&hNone, wstrContainer.c_str(), pwszProvider,
                         importtest::TypeOf(pwszProvider), dwFlags);
}

std::string Describe(CCryptoAgent& agent) {
    UniqueBstr desc;
    EXPECT_EQ(agent.VURO_GetLastErrorDesc(desc.put()), S_OK);
    return U8(desc.get());
}

// The agent with a CSP and an algorithm chosen, as a page prepares a request.
void Prepare(CCryptoAgent& agent, const WCHAR* pwszProvider, LONG lBits, const WCHAR* pwszAlg) {
    VARIANT_BOOL vb = VARIANT_FALSE;
    ASSERT_EQ(agent.VURO_SetCSPInfo(lBits, pwszProvider, &vb), S_OK);
    ASSERT_EQ(agent.VURO_SetKeyAlgorithm(pwszAlg, &vb), S_OK);
}

} // namespace

TEST(CryptoAgent, KeyLengthsFollowTheProviderName) {
    struct Case {
        const char* name;
        LONG bits;
        HRESULT expected;
    };
    const Case cases[] = {
        // The base provider makes only small keys.
        {"Microsoft Base Cryptographic Provider v1.0", 512, S_OK},
        {"Microsoft Base Cryptographic Provider v1.0", 1024, S_OK},
        {"Microsoft Base Cryptographic Provider v1.0", 2048, VURO_E_KEY_LENGTH},
        {"Microsoft Base Cryptographic Provider v1.0", 768, VURO_E_KEY_LENGTH},
        // The other system providers: four sizes and nothing between them.
        {"Microsoft Enhanced Cryptographic Provider v1.0", 512, S_OK},
        {"Microsoft Enhanced Cryptographic Provider v1.0", 2048, S_OK},
        {"Microsoft Enhanced Cryptographic Provider v1.0", 4096, S_OK},
        {"Microsoft Enhanced Cryptographic Provider v1.0", 384, VURO_E_KEY_LENGTH},
        {"Microsoft Enhanced Cryptographic Provider v1.0", 3072, VURO_E_KEY_LENGTH},
        {"Microsoft Enhanced Cryptographic Provider v1.0", -1024, VURO_E_KEY_LENGTH},
        {"Microsoft Enhanced RSA and AES Cryptographic Provider", 1024, S_OK},
        {"Microsoft Strong Cryptographic Provider", 8192, VURO_E_KEY_LENGTH},
        // "Microsoft" anywhere, case-sensitive; "Base" likewise.
        {"Token by Microsoft, Base edition", 2048, VURO_E_KEY_LENGTH},
        {"Microsoft token, base edition", 2048, S_OK},
        {"Microsoft token, base edition", 768, VURO_E_KEY_LENGTH},
        {"microsoft Base Cryptographic Provider v1.0", 2048, S_OK},
        // Vendor providers decide for themselves: any length, 0 included.
        {"Orvane Soft SM2 Token CSP v1.0", 0, S_OK},
        {"Orvane Soft RSA Token CSP v1.0", 3000, S_OK},
        {"Orvane Soft RSA Token CSP v1.0", -1, S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + std::to_string(c.bits));
        CCryptoAgent agent;
        VARIANT_BOOL vb = VARIANT_FALSE;
        // An earlier choice that a refused one must leave in place.
        ASSERT_EQ(agent.VURO_SetCSPInfo(777, TEXT("Earlier CSP"), &vb), S_OK);
        vb = VARIANT_FALSE;
        const WString name = W(c.name);
        EXPECT_EQ(agent.VURO_SetCSPInfo(c.bits, name.c_str(), &vb), c.expected);
        EXPECT_EQ(agent.LastResult(), c.expected);
        if (c.expected == S_OK) {
            EXPECT_EQ(vb, VARIANT_TRUE);
            EXPECT_EQ(agent.CSPName(), name);
            EXPECT_EQ(agent.KeyLength(), c.bits);
        } else {
            EXPECT_EQ(vb, VARIANT_FALSE);
            EXPECT_EQ(U8(agent.CSPName()), "Earlier CSP");
            EXPECT_EQ(agent.KeyLength(), 777);
        }
    }
}

TEST(CryptoAgent, CSPNamesAreTrimmedAndUnescapedOnce) {
    struct Case {
        const char* given; // nullptr: a null argument
        HRESULT expected;
        const char* stored;
    };
    const Case cases[] = {
        {"  Microsoft Enhanced Cryptographic Provider v1.0  ", S_OK,
         "Microsoft Enhanced Cryptographic Provider v1.0"},
        // Only U+0020 is trimmed: tabs and ideographic spaces stay.
        {"\tVendor CSP\t", S_OK, "\tVendor CSP\t"},
        {"\xE3\x80\x80Vendor CSP ", S_OK, "\xE3\x80\x80Vendor CSP"},
        // Only the first "&amp;" is undone.
        {"A&amp;B&amp;C", S_OK, "A&B&amp;C"},
        {" &amp; ", S_OK, "&"},
        {"&amp;amp;", S_OK, "&amp;"},
        {"A&B", S_OK, "A&B"},
        // Nothing left after trimming, or nothing at all.
        {"   ", E_INVALIDARG, "Earlier CSP"},
        {" ", E_INVALIDARG, "Earlier CSP"},
        {"", E_INVALIDARG, "Earlier CSP"},
        {nullptr, E_INVALIDARG, "Earlier CSP"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given != nullptr ? c.given : "(null)");
        CCryptoAgent agent;
        VARIANT_BOOL vb = VARIANT_FALSE;
        ASSERT_EQ(agent.VURO_SetCSPInfo(1024, TEXT("Earlier CSP"), &vb), S_OK);
        vb = VARIANT_FALSE;
        const WString given = c.given != nullptr ? W(c.given) : WString();
        EXPECT_EQ(agent.VURO_SetCSPInfo(2048, c.given != nullptr ? given.c_str() : nullptr, &vb),
                  c.expected);
        EXPECT_EQ(U8(agent.CSPName()), c.stored);
        EXPECT_EQ(vb, c.expected == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
    }
    // The length rule looks at the trimmed name: padding does not hide "Base".
    CCryptoAgent agent;
    VARIANT_BOOL vb = VARIANT_FALSE;
    EXPECT_EQ(
        agent.VURO_SetCSPInfo(2048, TEXT("  Microsoft Base Cryptographic Provider v1.0 "), &vb),
        VURO_E_KEY_LENGTH);
    EXPECT_EQ(agent.VURO_SetCSPInfo(2048, TEXT("Microsoft Base"), nullptr), E_POINTER);
    EXPECT_TRUE(agent.CSPName().empty());
}

TEST(CryptoAgent, KeyAlgorithmIsRSAOrSM2InAnyCase) {
    struct Case {
        const char* given;
        HRESULT expected;
        const char* stored;
        KeyAlgorithm kind = KeyAlgorithm::Rsa; // what the agent decides by
    };
    const Case cases[] = {
        {"RSA", S_OK, "RSA"},
        {"  SM2  ", S_OK, "SM2", KeyAlgorithm::Sm2},
        {"rsa", S_OK, "rsa"}, // the caller's spelling is kept
        {"sM2", S_OK, "sM2", KeyAlgorithm::Sm2},
        {"   ", VURO_E_INVALID_KEY_ALG, "previous"},
        {"", E_INVALIDARG, "previous"},
        {nullptr, E_INVALIDARG, "previous"},
        {"RSA2", VURO_E_INVALID_KEY_ALG, "previous"},
        {"RS", VURO_E_INVALID_KEY_ALG, "previous"},
        {"SM3", VURO_E_INVALID_KEY_ALG, "previous"},
        {"R SA", VURO_E_INVALID_KEY_ALG, "previous"},
        {"\tRSA", VURO_E_INVALID_KEY_ALG, "previous"},
        {"\xEF\xBC\xB2SA", VURO_E_INVALID_KEY_ALG, "previous"}, // full-width R
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given != nullptr ? c.given : "(null)");
        CCryptoAgent agent;
        VARIANT_BOOL vb = VARIANT_FALSE;
        // A refused value must not replace the one chosen before; the agent
        // itself never accepts "previous", so it is set through a first value.
        ASSERT_EQ(agent.VURO_SetKeyAlgorithm(TEXT("Rsa"), &vb), S_OK);
        vb = VARIANT_FALSE;
        const WString given = c.given != nullptr ? W(c.given) : WString();
        EXPECT_EQ(agent.VURO_SetKeyAlgorithm(c.given != nullptr ? given.c_str() : nullptr, &vb),
                  c.expected);
        EXPECT_EQ(agent.LastResult(), c.expected);
        EXPECT_EQ(U8(agent.KeyAlgorithm()), c.expected == S_OK ? c.stored : "Rsa");
        // The parsed value follows the text it was parsed from, refusals included.
        EXPECT_EQ(agent.KeyAlgorithmKind(), c.kind);
        EXPECT_EQ(vb, c.expected == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
    }
}

TEST(CryptoAgent, RequestRefusalsStillHandOutAnEmptyText) {
    struct Case {
        const char* what;
        bool chooseAlgorithm;
        const WCHAR* subject;
        LONG certType;
        HRESULT expected;
    };
    const Case cases[] = {
        {"type 3", true, TEXT("CN=Alice"), 3, E_INVALIDARG},
        {"type 0", true, TEXT("CN=Alice"), 0, E_INVALIDARG},
        {"type -1", true, TEXT("CN=Alice"), -1, E_INVALIDARG},
        {"null subject", true, nullptr, 1, E_INVALIDARG},
        {"empty subject", true, TEXT(""), 2, E_INVALIDARG},
        // The type is checked before the algorithm.
        {"type 3, no algorithm", false, TEXT("CN=Alice"), 3, E_INVALIDARG},
        {"no algorithm, type 1", false, TEXT("CN=Alice"), 1, VURO_E_INVALID_KEY_ALG},
        {"no algorithm, type 2", false, TEXT("CN=Alice"), 2, VURO_E_INVALID_KEY_ALG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CCryptoAgent agent;
        VARIANT_BOOL vb = VARIANT_FALSE;
        ASSERT_EQ(agent.VURO_SetCSPInfo(1024, kEnhanced, &vb), S_OK);
        if (c.chooseAlgorithm) {
            ASSERT_EQ(agent.VURO_SetKeyAlgorithm(TEXT("RSA"), &vb), S_OK);
        }
        const auto before = Containers(kEnhanced);
        UniqueBstr request;
        EXPECT_EQ(agent.VURO_PKCS10CertRequisition(c.subject, c.certType, 0, request.put()),
                  c.expected);
        EXPECT_EQ(agent.LastResult(), c.expected);
        ASSERT_NE(request.get(), nullptr) << "the page always gets a text";
        EXPECT_EQ(SysStringLen(request.get()), 0u);
        EXPECT_TRUE(agent.ContainerName().empty());
        EXPECT_EQ(Containers(kEnhanced), before) << "a refused request makes no keys";
    }
    CCryptoAgent agent;
    EXPECT_EQ(agent.VURO_PKCS10CertRequisition(TEXT("CN=Alice"), 1, 0, nullptr), E_POINTER);
}

TEST(CryptoAgent, ImportRefusalsLeaveTheContainerAlone) {
    CCryptoAgent agent;
    VARIANT_BOOL vb = VARIANT_FALSE;
    struct SignCase {
        const WCHAR* cert;
        const WCHAR* container;
    };
    for (const SignCase& c : {SignCase{nullptr, TEXT("C")}, SignCase{TEXT(""), TEXT("C")},
                              SignCase{TEXT("MIIB"), nullptr}, SignCase{TEXT("MIIB"), TEXT("")},
                              // Spaces alone must not reach the default container.
                              SignCase{TEXT("MIIB"), TEXT("   ")}}) {
        vb = VARIANT_FALSE;
        EXPECT_EQ(agent.VURO_ImportSignCert(1, c.cert, c.container, &vb), E_INVALIDARG);
        EXPECT_EQ(vb, VARIANT_FALSE);
        EXPECT_EQ(agent.LastResult(), E_INVALIDARG);
    }
    struct EncryptCase {
        const WCHAR* key;
        const WCHAR* cert;
        const WCHAR* container;
    };
    for (const EncryptCase& c :
         {EncryptCase{nullptr, TEXT("P7"), TEXT("C")}, EncryptCase{TEXT("K"), nullptr, TEXT("C")},
          EncryptCase{TEXT("K"), TEXT("P7"), nullptr}, EncryptCase{TEXT(""), TEXT("P7"), TEXT("C")},
          EncryptCase{TEXT("K"), TEXT(""), TEXT("C")},
          EncryptCase{TEXT("K"), TEXT("P7"), TEXT("")}}) {
        vb = VARIANT_FALSE;
        EXPECT_EQ(agent.VURO_ImportEncryptCert(c.key, c.cert, c.container, 1, &vb), E_INVALIDARG);
        EXPECT_EQ(vb, VARIANT_FALSE);
    }
    EXPECT_TRUE(agent.ContainerName().empty());
    UniqueBstr container;
    EXPECT_EQ(agent.VURO_GetContainer(container.put()), S_OK);
    EXPECT_EQ(U8(container.get()), "");
}

TEST(CryptoAgent, EncryptImportTakesTheContainerWhateverTheOutcome) {
    CCryptoAgent agent;
    Prepare(agent, kEnhanced, 1024, TEXT("RSA"));
    VARIANT_BOOL vb = VARIANT_FALSE;
    // Not an envelope at all: the importer refuses it, but the page named the
    // container it installs into, and that is now the agent's container.
    const HRESULT hr = agent.VURO_ImportEncryptCert(TEXT(" not-an-envelope "), TEXT(" not-a-cert "),
                                                    TEXT("  page-container  "), 1, &vb);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(agent.LastResult(), hr);
    EXPECT_EQ(vb, VARIANT_FALSE);
    UniqueBstr container;
    EXPECT_EQ(agent.VURO_GetContainer(container.put()), S_OK);
    EXPECT_EQ(U8(container.get()), "page-container");
    EXPECT_EQ(agent.LastResult(), S_OK) << "a successful call clears the failure";
}

TEST(CryptoAgent, LastResultAndItsDescription) {
    const bool zh = UiIsChinese();
    CCryptoAgent agent;
    // Nothing has failed yet.
    EXPECT_EQ(agent.LastResult(), S_OK);
    UniqueBstr container;
    EXPECT_EQ(agent.VURO_GetContainer(container.put()), S_OK);
    ASSERT_NE(container.get(), nullptr);
    EXPECT_EQ(SysStringLen(container.get()), 0u);

    VARIANT_BOOL vb = VARIANT_FALSE;
    EXPECT_EQ(agent.VURO_SetKeyAlgorithm(TEXT("ECC"), &vb), VURO_E_INVALID_KEY_ALG);
    const std::string keyAlg =
        std::string(zh ? "无效的密钥算法" : "Invalid key algorithm.") + "\n(0xa0072401)";
    EXPECT_EQ(Describe(agent), keyAlg);
    // Asking for the description, or the version, is not a call that records.
    EXPECT_EQ(Describe(agent), keyAlg);
    BSTR untouched = reinterpret_cast<BSTR>(this);
    EXPECT_EQ(agent.VURO_GetVersion(&untouched), S_OK);
    EXPECT_EQ(untouched, reinterpret_cast<BSTR>(this));
    EXPECT_EQ(agent.LastResult(), VURO_E_INVALID_KEY_ALG);

    // The key-length code's text, then its number.
    EXPECT_EQ(agent.VURO_SetCSPInfo(2048, kBase, &vb), VURO_E_KEY_LENGTH);
    EXPECT_EQ(Describe(agent),
              std::string(UiIsChinese() ? "CSP不支持该密钥长度"
                                        : "The key length is not supported by the CSP.") +
                  "\n(0xa0072400)");

    // System codes carry the system's text and its own line break.
    EXPECT_EQ(agent.VURO_SetCSPInfo(2048, TEXT("   "), &vb), E_INVALIDARG);
    const std::string invalid = Describe(agent);
    EXPECT_GT(invalid.size(), std::string("\r\n\n(0x80070057)").size());
    EXPECT_EQ(invalid.substr(invalid.size() - 15), "\r\n\n(0x80070057)");

    // A successful call of any kind resets it.
    EXPECT_EQ(agent.VURO_GetContainer(container.put()), S_OK);
    EXPECT_EQ(agent.LastResult(), S_OK);
    const std::string success = Describe(agent);
    EXPECT_EQ(success.substr(success.size() - 13), "\n(0x00000000)");
    EXPECT_EQ(agent.VURO_SetKeyAlgorithm(nullptr, &vb), E_INVALIDARG);
    EXPECT_EQ(agent.VURO_SetKeyAlgorithm(TEXT("SM2"), &vb), S_OK);
    EXPECT_EQ(agent.LastResult(), S_OK);
}

TEST(CryptoAgent, ListsTheInstalledProviders) {
    CCryptoAgent agent;
    UniqueBstr names;
    ASSERT_EQ(agent.VURO_GetCSPInfo(names.put()), S_OK);
    const std::string text = U8(names.get());
    EXPECT_NE(text.find("Microsoft Base Cryptographic Provider v1.0"), std::string::npos) << text;
    EXPECT_NE(text.find("Microsoft Enhanced Cryptographic Provider v1.0"), std::string::npos);
    EXPECT_NE(text.find("||"), std::string::npos);
    EXPECT_NE(text.substr(text.size() - 2), "||");
    EXPECT_EQ(agent.VURO_GetCSPInfo(nullptr), E_POINTER);
    EXPECT_EQ(agent.LastResult(), E_POINTER);
}

TEST(CryptoAgent, PermissionTestLeavesNoContainerBehind) {
    const auto before = Containers(kBase);
    CCryptoAgent agent;
    VARIANT_BOOL vb = 42;
    ASSERT_EQ(agent.VURO_HavePermissiontoGenerateKeyPair(&vb), S_OK);
    EXPECT_EQ(vb, VARIANT_TRUE);
    EXPECT_EQ(agent.LastResult(), S_OK);
    EXPECT_EQ(Containers(kBase), before);
    // It never touches the provider the page chose, nor the agent's choices.
    ASSERT_EQ(agent.VURO_SetCSPInfo(2048, kEnhanced, &vb), S_OK);
    const auto enhancedBefore = Containers(kEnhanced);
    ASSERT_EQ(agent.VURO_HavePermissiontoGenerateKeyPair(&vb), S_OK);
    EXPECT_EQ(Containers(kEnhanced), enhancedBefore);
    EXPECT_EQ(U8(agent.CSPName()), U8(kEnhanced));
    EXPECT_TRUE(agent.ContainerName().empty());
    EXPECT_EQ(agent.VURO_HavePermissiontoGenerateKeyPair(nullptr), E_POINTER);
}

TEST(CryptoAgent, RequestsLeaveTheirKeysInTheReportedContainer) {
    struct Case {
        const WCHAR* provider;
        LONG bits;
        const WCHAR* algorithm;
        LONG certType;
    };
    const Case cases[] = {
        {kEnhanced, 1024, TEXT("RSA"), 1},
        {kEnhanced, 1024, TEXT("rsa"), 2},
        {kSm2Token, 0, TEXT(" SM2 "), 1},
        {kSm2Token, 256, TEXT("sm2"), 2},
    };
    const std::string installed = InstalledProviders();
    for (const Case& c : cases) {
        SCOPED_TRACE(U8(c.provider) + " type " + std::to_string(c.certType));
        if (installed.find(U8(c.provider)) == std::string::npos) {
            // Wine, like Windows without the vendor's software, has no SM2 token.
            EXPECT_TRUE(RunningUnderWine()) << "missing on this platform";
            continue;
        }
        CCryptoAgent agent;
        Prepare(agent, c.provider, c.bits, c.algorithm);
        VARIANT_BOOL vb = VARIANT_FALSE;
        ASSERT_EQ(agent.VURO_SetKeyAlgorithm(TEXT("bad"), &vb), VURO_E_INVALID_KEY_ALG);
        ASSERT_EQ(agent.VURO_SetKeyAlgorithm(c.algorithm, &vb), S_OK);
        UniqueBstr request;
        ASSERT_EQ(agent.VURO_PKCS10CertRequisition(TEXT("CN=Alice,O=Orvane,C=CN"), c.certType, 0,
                                                   request.put()),
                  S_OK);
        EXPECT_EQ(agent.LastResult(), S_OK);
        UniqueBstr container;
        ASSERT_EQ(agent.VURO_GetContainer(container.put()), S_OK);
        const WString wstrContainer(container.get());
        ASSERT_FALSE(wstrContainer.empty());
        EXPECT_TRUE(HasContainer(c.provider, wstrContainer)) << U8(wstrContainer);

        // Base64 of one DER SEQUENCE, in lines of at most 64 characters.
        const std::string text = U8(request.get());
        size_t nLineStart = 0;
        for (size_t nBreak; (nBreak = text.find("\r\n", nLineStart)) != std::string::npos;
             nLineStart = nBreak + 2)
            EXPECT_LE(nBreak - nLineStart, 64u);
        EXPECT_LE(text.size() - nLineStart, 64u);
        std::vector<BYTE> der;
        ASSERT_EQ(Base64DecodeEx(int(text.size()), &der, text.c_str()), S_OK);
        ASSERT_GT(der.size(), 2u);
        EXPECT_EQ(der[0], 0x30);

        // A second request gets a container of its own.
        UniqueBstr second;
        ASSERT_EQ(agent.VURO_PKCS10CertRequisition(TEXT("CN=Alice"), 1, 0, second.put()), S_OK);
        EXPECT_NE(U8(agent.ContainerName()), U8(wstrContainer));
        EXPECT_TRUE(HasContainer(c.provider, agent.ContainerName()));

        DeleteContainer(c.provider, agent.ContainerName());
        DeleteContainer(c.provider, wstrContainer);
        EXPECT_FALSE(HasContainer(c.provider, wstrContainer));
    }
}
