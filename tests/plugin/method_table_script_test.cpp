// The script face of a method table, on a table shaped like the signing
// methods to come: a boolean argument passed as VARIANT_TRUE or
// VARIANT_FALSE, exact names in table order, a version of its own, and calls
// refused before the agent.
#include "plugin/ScriptableAgentObject.h"
#include "tests/plugin/PluginTestSupport.h"
#include "tests/support/ScratchMethods.h"

namespace {

using ScratchObject = CScriptableAgentObject<IScratchAgent, ScratchAgent>;

constexpr const char* kSelectName = "VURO_SelectUserCert";

class MethodTableScriptTest : public PluginFixture {
protected:
    void SetUp() override {
        PluginFixture::SetUp();
        m_npp = NewInstance();
        m_pObject = new ScratchObject(m_npp, scratch::kTable, scratch::kVersion);
    }
    void TearDown() override {
        delete m_pObject;
        PluginFixture::TearDown();
    }
    const ScratchAgent& Agent() const { return m_pObject->Agent(); }
    Outcome Invoke(const char* pszName, std::vector<NPVariant> args) {
        return Invoke(*m_pObject, pszName, std::move(args));
    }
    Outcome Invoke(ScratchObject& object, const char* pszName, std::vector<NPVariant> args) {
        NPVariant result;
        VOID_TO_NPVARIANT(result);
        const bool bOk = object.Invoke(m_browser.getstringidentifier(pszName), args.data(),
                                       uint32_t(args.size()), &result);
        Outcome o{bOk, result.type, false, 0, {}};
        if (result.type == NPVariantType_String)
            o.s.assign(result.value.stringValue.UTF8Characters,
                       result.value.stringValue.UTF8Length);
        m_browser.releasevariantvalue(&result);
        return o;
    }

    NPP m_npp = nullptr;
    ScratchObject* m_pObject = nullptr;
};

TEST_F(MethodTableScriptTest, BooleanArgumentsAreVariantBooleans) {
    Outcome o = Invoke(kSelectName, {Str("a"), Str(""), Str("c"), Str("d"), Bool(true)});
    EXPECT_TRUE(o.bOk);
    EXPECT_EQ(o.s, "answer");
    EXPECT_EQ(Agent().texts, (std::vector<std::string>{"a", "", "c", "d"}));
    EXPECT_EQ(Agent().flags, std::vector<int>{-1});
    ASSERT_TRUE(Invoke(kSelectName, {Str(""), Str(""), Str(""), Str(""), Bool(false)}).bOk);
    EXPECT_EQ(Agent().flags, std::vector<int>{0});
    EXPECT_EQ(Agent().nCalls, 2);
}

TEST_F(MethodTableScriptTest, RefusedListsNeverReachTheAgent) {
    const std::vector<NPVariant> kRefused[] = {
        {Str("a"), Str("b"), Str("c"), Str("d"), Int(1)}, // a number is not a boolean
        {Str("a"), Str("b"), Str("c"), Str("d"), Null()},
        {Str("a"), Str("b"), Str("c"), Str("d")},
        {Str("a"), Str("b"), Str("c"), Bool(true), Str("d")},
        {Str("a"), Str("b"), Str("c"), Str("d"), Bool(true), Bool(true)},
    };
    for (const std::vector<NPVariant>& args : kRefused) {
        SCOPED_TRACE(args.size());
        Outcome o = Invoke(kSelectName, args);
        EXPECT_FALSE(o.bOk);
        EXPECT_EQ(o.type, NPVariantType_Null);
    }
    EXPECT_EQ(Agent().nCalls, 0);
}

TEST_F(MethodTableScriptTest, ExactNamesInTableOrder) {
    EXPECT_TRUE(Invoke("VURO_Echo", {}).bOk);
    EXPECT_EQ(Agent().strOperation, "EchoFirst");
    EXPECT_TRUE(Invoke("VURO_ECHO", {}).bOk);
    EXPECT_EQ(Agent().strOperation, "EchoSecond");
    NPVariant untouched = Int(7);
    EXPECT_FALSE(
        m_pObject->Invoke(m_browser.getstringidentifier("vuro_echo"), nullptr, 0, &untouched));
    EXPECT_EQ(untouched.type, NPVariantType_Int32);
    EXPECT_FALSE(m_pObject->HasMethod(m_browser.getstringidentifier("vuro_echo")));
    // A host's own row is not a script method.
    EXPECT_FALSE(m_pObject->HasMethod(m_browser.getstringidentifier("checkHost")));
    EXPECT_TRUE(m_pObject->HasMethod(m_browser.getstringidentifier("VURO_ECHO")));
    EXPECT_EQ(Agent().nCalls, 2);
}

TEST_F(MethodTableScriptTest, VersionAndFailures) {
    Outcome o = Invoke("VURO_GetVersion", {});
    EXPECT_TRUE(o.bOk);
    EXPECT_EQ(o.s, "3.4.0.3");
    EXPECT_FALSE(Invoke("VURO_GetVersion", {Bool(true)}).bOk);
    // A failing text operation gives null; the agent was asked.
    ScratchObject failing(m_npp, scratch::kTable, scratch::kVersion, HRESULT(0xA0072001));
    o = Invoke(failing, "VURO_SignData", {Str("m"), Str("SHA-1")});
    EXPECT_FALSE(o.bOk);
    EXPECT_EQ(o.type, NPVariantType_Null);
    EXPECT_EQ(failing.Agent().texts, (std::vector<std::string>{"m", "SHA-1"}));
}

} // namespace
