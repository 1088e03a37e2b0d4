// npSarvik's scriptable object in-process: each instance keeps its own
// selection, and a refused argument list never reaches the agent but becomes
// its last result (a refused selection forgets the one before it).
#include "tests/plugin/PluginTestSupport.h"
#include "apps/npsarvik/ScriptablePluginObject.h"
#include "tests/signing/SigningTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using orvane::signing::CCryptoAgent;
using orvane::signing::CScriptablePluginObject;

class SarvikObjectTest : public PluginFixture {
protected:
    const CCryptoAgent& AgentOf(NPObject* pObject) const {
        return static_cast<CScriptablePluginObject*>(pObject)->Agent();
    }
    static orvane::test::Bytes Selected(const CCryptoAgent& agent) {
        PCCERT_CONTEXT p = agent.SelectedStoreCertificate();
        if (p == nullptr)
            return {};
        return orvane::test::Bytes(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded);
    }
    // SelectByMarker: the page's call with the subject filter alone.
    Outcome SelectByMarker(NPP npp, NPObject* pObject, const std::string& marker) {
        return Call(npp, pObject, "VURO_SelectUserCert",
                    {Str(marker.c_str()), Str(""), Str(""), Str(""), Bool(false)});
    }
};

TEST_F(SarvikObjectTest, EachInstanceKeepsItsOwnSelection) {
    LinkedCertificate first, second;
    const WString markerA = UniqueMarker(), markerB = UniqueMarker();
    ASSERT_NO_FATAL_FAILURE(first.Create(markerA, AT_SIGNATURE));
    ASSERT_NO_FATAL_FAILURE(second.Create(markerB, AT_SIGNATURE));
    NPP nppA = NewInstance(), nppB = NewInstance();
    NPObject* objA = GetObject(nppA);
    NPObject* objB = GetObject(nppB);
    ASSERT_NE(objA, nullptr);
    ASSERT_NE(objB, nullptr);
    ASSERT_NE(objA, objB);

    const std::string a = U8(markerA), b = U8(markerB);
    Outcome o = SelectByMarker(nppA, objA, a);
    EXPECT_TRUE(o.bOk);
    EXPECT_EQ(o.s, "Microsoft Enhanced Cryptographic Provider v1.0");
    EXPECT_TRUE(SelectByMarker(nppB, objB, b).bOk);
    EXPECT_EQ(Selected(AgentOf(objA)), first.Encoded());
    EXPECT_EQ(Selected(AgentOf(objB)), second.Encoded());

    // Signing in one leaves the other's choice alone; a failed selection in
    // B forgets B's only.
    EXPECT_TRUE(Call(nppA, objA, "VURO_SignData", {Str("hello"), Str("SHA-1")}).bOk);
    EXPECT_FALSE(SelectByMarker(nppB, objB, "no such subject " + a).bOk);
    EXPECT_EQ(Selected(AgentOf(objA)), first.Encoded());
    EXPECT_TRUE(Selected(AgentOf(objB)).empty());
    EXPECT_EQ(AgentOf(objB).LastResult(), VURO_E_NO_AVAILABLE_CERT);
    EXPECT_EQ(AgentOf(objA).LastResult(), VURO_OK);

    m_browser.releaseobject(objA);
    m_browser.releaseobject(objB);
}

TEST_F(SarvikObjectTest, RefusedCallsAreTheLastResultAndASelectionIsForgotten) {
    LinkedCertificate cert;
    const WString marker = UniqueMarker();
    ASSERT_NO_FATAL_FAILURE(cert.Create(marker, AT_SIGNATURE));
    NPP npp = NewInstance();
    NPObject* obj = GetObject(npp);
    ASSERT_NE(obj, nullptr);

    const std::string m = U8(marker);
    // A subject that is the marker up to a NUL: taken as the marker if the
    // text were cut short there.
    const std::string withNul = m + std::string(1, '\0') + "x";
    NPVariant nulSubject;
    STRINGN_TO_NPVARIANT(withNul.data(), uint32_t(withNul.size()), nulSubject);
    NPVariant nulText;
    STRINGN_TO_NPVARIANT("a\0b", 3u, nulText);
    const struct {
        const char* method;
        std::vector<NPVariant> args;
    } cases[] = {
        {"VURO_SelectUserCert", {Str(m.c_str()), Str(""), Str(""), Str(""), Int(0)}},
        {"VURO_SelectUserCert", {Str(m.c_str()), Str(""), Str(""), Str(""), Str("true")}},
        {"VURO_SelectUserCert", {Str(m.c_str()), Str(""), Str(""), Str("")}},
        {"VURO_SelectUserCert", {Null(), Str(""), Str(""), Str(""), Bool(false)}},
        {"VURO_SelectUserCert", {Str(m.c_str()), Str(""), Int(1), Str(""), Bool(false)}},
        {"VURO_SelectUserCert", {nulSubject, Str(""), Str(""), Str(""), Bool(false)}},
        {"VURO_SignData", {Str("x")}},
        {"VURO_SignData", {Str("x"), Null()}},
        {"VURO_SignData", {nulText, Str("SHA-1")}},
        {"VURO_SignDataDetached", {Int(1), Str("SHA-1")}},
        {"VURO_SignFile", {Str("x"), Str("SHA-1"), Str("y")}},
        {"VURO_SignFileDetached", {Bool(true), Str("SHA-1")}},
        {"VURO_GetCertInfo", {}},
        {"VURO_GetCertInfo", {Dbl(1.5)}},
        {"VURO_GetCSPInfo", {Str("")}},
        {"VURO_GetLastErrorDesc", {Int(0)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " with " + std::to_string(c.args.size()));
        // From a fresh selection, which leaves a last result of 0.
        ASSERT_TRUE(SelectByMarker(npp, obj, m).bOk);
        ASSERT_EQ(AgentOf(obj).LastResult(), VURO_OK);
        const Outcome o = Call(npp, obj, c.method, c.args);
        EXPECT_FALSE(o.bOk);
        EXPECT_EQ(o.type, NPVariantType_Null);
        EXPECT_EQ(AgentOf(obj).LastResult(), E_INVALIDARG);
        // A refused selection is a failed one: nothing is left to sign with.
        if (std::string(c.method) == "VURO_SelectUserCert") {
            EXPECT_TRUE(Selected(AgentOf(obj)).empty());
            EXPECT_FALSE(Call(npp, obj, "VURO_SignData", {Str("x"), Str("SHA-1")}).bOk);
            EXPECT_EQ(AgentOf(obj).LastResult(), VURO_E_CERT_NOT_READY);
        } else {
            EXPECT_EQ(Selected(AgentOf(obj)), cert.Encoded());
        }
    }
    // A well-formed list reaches the agent: the answer is the agent's own.
    ASSERT_TRUE(SelectByMarker(npp, obj, m).bOk);
    const Outcome type = Call(npp, obj, "VURO_GetCertInfo", {Str("certtype")});
    EXPECT_TRUE(type.bOk);
    EXPECT_EQ(type.s, "RSA");
    m_browser.releaseobject(obj);
}

} // namespace
