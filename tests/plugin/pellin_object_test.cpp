// npPellin's scriptable object in-process: method names, the argument checks
// (a refused call never reaches the agent), number and text conversions, and
// what a page gets back.
#include "tests/plugin/PluginTestSupport.h"
#include "apps/nppellin/ScriptablePluginObject.h"
#include "tests/support/TestSupport.h"

namespace {

class PellinObjectTest : public ObjectFixture {
protected:
    const CCryptoAgent& Agent() const {
        return static_cast<CScriptablePluginObject*>(m_pObject)->Agent();
    }
    Outcome Call(const char* pszMethod, std::vector<NPVariant> args) {
        return PluginFixture::Call(m_npp, m_pObject, pszMethod, std::move(args));
    }
    bool HasMethod(const char* pszName) {
        return m_browser.hasmethod(m_npp, m_pObject, m_browser.getstringidentifier(pszName));
    }
};

const char* const kMethods[] = {"VURO_GetCSPInfo",
                                "VURO_GetVersion",
                                "VURO_GetAllCertInfo",
                                "VURO_SetCSPInfo",
                                "VURO_SetKeyAlgorithm",
                                "VURO_GetContainer",
                                "VURO_ImportSignCert",
                                "VURO_PKCS10CertRequisition",
                                "VURO_HavePermissiontoGenerateKeyPair",
                                "VURO_GetLastErrorDesc"};

TEST_F(PellinObjectTest, MethodNamesAreExact) {
    for (const char* psz : kMethods)
        EXPECT_TRUE(HasMethod(psz)) << psz;
    for (const char* psz : {
             "VURO_ImportEncryptCert", // the agent has it; only the host offers it
             "vuro_getversion",        // names are matched with their case
             "VURO_GETVERSION", "VURO_GetVersion ", "VURO_", "", "GetVersion",
             "VURO_SelectUserCert" // the signing plug-in's
         })
        EXPECT_FALSE(HasMethod(psz)) << psz;
}

TEST_F(PellinObjectTest, UnknownMethodLeavesTheResultUntouched) {
    NPVariant result = Int(77);
    EXPECT_FALSE(m_pObject->_class->invoke(
        m_pObject, m_browser.getstringidentifier("VURO_ImportEncryptCert"), nullptr, 0, &result));
    EXPECT_EQ(result.type, NPVariantType_Int32);
    EXPECT_EQ(result.value.intValue, 77);
}

TEST_F(PellinObjectTest, VersionAndDefaultMethod) {
    Outcome o = Call("VURO_GetVersion", {});
    EXPECT_TRUE(o.bOk);
    EXPECT_EQ(o.s, "3.2.0.1");
    o = Call("VURO_GetVersion", {Int(1)});
    EXPECT_FALSE(o.bOk);
    EXPECT_EQ(o.type, NPVariantType_Null);
    o = Call(nullptr, {});
    EXPECT_TRUE(o.bOk);
    EXPECT_EQ(o.s, "default method return val");
    o = Call(nullptr, {Int(1), Str("x")});
    EXPECT_EQ(o.s, "default method return val");
}

// Every refused argument list fails before the agent: its last result and
// its stored choices stay as an earlier call left them.
TEST_F(PellinObjectTest, RefusedArgumentsNeverReachTheAgentButAreItsLastResult) {

    struct Case {
        const char* pszMethod;
        std::vector<NPVariant> args;
        NPVariantType resultType; // Null for text methods, Bool (false) for yes/no ones
    };
    const Case kCases[] = {
        {"VURO_GetCSPInfo", {Int(1)}, NPVariantType_Null},
        {"VURO_GetAllCertInfo", {Str("")}, NPVariantType_Null},
        {"VURO_GetContainer", {Null()}, NPVariantType_Null},
        {"VURO_GetLastErrorDesc", {Int(0)}, NPVariantType_Null},
        {"VURO_HavePermissiontoGenerateKeyPair", {Bool(true)}, NPVariantType_Bool},
        // A key length given as text is refused, not read as -1 by a vendor CSP.
        {"VURO_SetCSPInfo", {Str("2048"), Str("Vendor CSP")}, NPVariantType_Bool},
        {"VURO_SetCSPInfo", {}, NPVariantType_Bool},
        {"VURO_SetCSPInfo", {Int(2048)}, NPVariantType_Bool},
        {"VURO_SetCSPInfo", {Int(2048), Int(5)}, NPVariantType_Bool},
        {"VURO_SetCSPInfo", {Bool(true), Str("Vendor CSP")}, NPVariantType_Bool},
        {"VURO_SetCSPInfo", {Null(), Str("Vendor CSP")}, NPVariantType_Bool},
        {"VURO_SetCSPInfo", {Int(2048), Str("Vendor CSP"), Int(1)}, NPVariantType_Bool},
        {"VURO_SetKeyAlgorithm", {}, NPVariantType_Bool},
        {"VURO_SetKeyAlgorithm", {Int(1)}, NPVariantType_Bool},
        {"VURO_SetKeyAlgorithm", {Str("RSA"), Str("RSA")}, NPVariantType_Bool},
        {"VURO_ImportSignCert", {Str("1"), Str("cert"), Str("container")}, NPVariantType_Bool},
        {"VURO_ImportSignCert", {Int(1), Int(2), Str("container")}, NPVariantType_Bool},
        {"VURO_ImportSignCert", {Int(1), Str("cert")}, NPVariantType_Bool},
        {"VURO_PKCS10CertRequisition", {Int(1), Int(1), Int(0)}, NPVariantType_Null},
        {"VURO_PKCS10CertRequisition", {Str("CN=a"), Str("1"), Int(0)}, NPVariantType_Null},
        {"VURO_PKCS10CertRequisition", {Str("CN=a"), Int(1), Str("0")}, NPVariantType_Null},
        {"VURO_PKCS10CertRequisition", {Str("CN=a"), Int(1)}, NPVariantType_Null},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.pszMethod) + " with " + std::to_string(c.args.size()) +
                     " arguments");
        // A known state: a failed call whose code the refusal must replace.
        ASSERT_FALSE(
            Call("VURO_SetCSPInfo", {Int(2048), Str("Microsoft Base Cryptographic Provider v1.0")})
                .bOk);
        ASSERT_EQ(Agent().LastResult(), VURO_E_KEY_LENGTH);
        Outcome o = Call(c.pszMethod, c.args);
        EXPECT_FALSE(o.bOk);
        EXPECT_EQ(o.type, c.resultType);
        if (o.type == NPVariantType_Bool) {
            EXPECT_FALSE(o.b);
        }
        // The page's next question is answered about the refusal.
        EXPECT_EQ(Agent().LastResult(), E_INVALIDARG);
        EXPECT_TRUE(Agent().CSPName().empty());
        EXPECT_TRUE(Agent().KeyAlgorithm().empty());
    }
}

TEST_F(PellinObjectTest, KeyLengthsAreTruncatedTowardZero) {
    struct Case {
        NPVariant length;
        const char* pszCSP;
        bool bAccepted;
        LONG lStored;
    };
    const Case kCases[] = {
        // 2048.9 is 2048 (allowed), not 2049 (refused by a Microsoft CSP).
        {Dbl(2048.9), "Microsoft Enhanced Cryptographic Provider v1.0", true, 2048},
        {Dbl(1024.99), "Microsoft Base Cryptographic Provider v1.0", true, 1024},
        {Dbl(-0.5), "Orvane Soft SM2 Token CSP v1.0", true, 0},
        {Int(4096), "Microsoft Enhanced Cryptographic Provider v1.0", true, 4096},
        {Dbl(384.5), "Microsoft Enhanced Cryptographic Provider v1.0", false, 4096},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszCSP);
        Outcome o = Call("VURO_SetCSPInfo", {c.length, Str(c.pszCSP)});
        EXPECT_EQ(o.bOk, c.bAccepted);
        ASSERT_EQ(o.type, NPVariantType_Bool);
        EXPECT_EQ(o.b, c.bAccepted);
        EXPECT_EQ(Agent().KeyLength(), c.lStored);
    }
}

TEST_F(PellinObjectTest, TextArgumentsArriveAsUtf16) {
    // UTF-8 from the page, with "&amp;" as pages write it.
    ASSERT_TRUE(
        Call("VURO_SetCSPInfo", {Int(1024), Str("Vend\xc3\xb6r \xe8\xaf\x81\xe4\xb9\xa6 &amp; Co")})
            .bOk);
    EXPECT_EQ(Agent().CSPName(), W("Vend\xc3\xb6r \xe8\xaf\x81\xe4\xb9\xa6 & Co"));
    // Only the NPString's length counts, whatever follows in memory.
    NPVariant alg;
    STRINGN_TO_NPVARIANT("SM2RSA", 3, alg);
    ASSERT_TRUE(Call("VURO_SetKeyAlgorithm", {alg}).bOk);
    EXPECT_EQ(Agent().KeyAlgorithm(), W("SM2"));
}

TEST_F(PellinObjectTest, FalseFromTheAgentFailsTheCallAndExplainsItself) {
    Outcome o = Call("VURO_SetKeyAlgorithm", {Str("DSA")});
    EXPECT_FALSE(o.bOk);
    ASSERT_EQ(o.type, NPVariantType_Bool);
    EXPECT_FALSE(o.b);
    EXPECT_EQ(Agent().LastResult(), VURO_E_INVALID_KEY_ALG);
    o = Call("VURO_GetLastErrorDesc", {});
    EXPECT_TRUE(o.bOk);
    EXPECT_NE(o.s.find("\n(0xa0072401)"), std::string::npos) << o.s;
    // A failing text method gives null.
    o = Call("VURO_PKCS10CertRequisition", {Str("CN=a"), Int(3), Int(0)});
    EXPECT_FALSE(o.bOk);
    EXPECT_EQ(o.type, NPVariantType_Null);
    EXPECT_EQ(Agent().LastResult(), E_INVALIDARG);
    // A success clears the earlier failure.
    o = Call("VURO_GetContainer", {});
    EXPECT_TRUE(o.bOk);
    EXPECT_EQ(o.s, "");
    EXPECT_EQ(Agent().LastResult(), VURO_OK);
}

TEST_F(PellinObjectTest, NoPropertiesAndNoLeakedNames) {
    const size_t nBlocks = npshell::Browser::Instance().LiveBlocks();
    NPClass* c = m_pObject->_class;
    NPIdentifier id = m_browser.getstringidentifier("VURO_GetVersion");
    NPVariant v;
    VOID_TO_NPVARIANT(v);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(c->hasProperty(m_pObject, id));
        EXPECT_FALSE(c->getProperty(m_pObject, id, &v));
        EXPECT_FALSE(c->setProperty(m_pObject, id, &v));
        EXPECT_FALSE(c->hasMethod(m_pObject, m_browser.getstringidentifier("nope")));
    }
    EXPECT_EQ(v.type, NPVariantType_Void);
    // Names the object asked the browser for were given back.
    EXPECT_EQ(npshell::Browser::Instance().LiveBlocks(), nBlocks);
}

TEST_F(PellinObjectTest, EachInstanceHasItsOwnAgent) {
    NPP npp2 = NewInstance();
    NPObject* pOther = GetObject(npp2);
    ASSERT_NE(pOther, nullptr);
    ASSERT_NE(pOther, m_pObject);
    ASSERT_TRUE(Call("VURO_SetKeyAlgorithm", {Str("RSA")}).bOk);
    EXPECT_TRUE(static_cast<CScriptablePluginObject*>(pOther)->Agent().KeyAlgorithm().empty());
    m_browser.releaseobject(pOther);
}

} // namespace
