// The trace lines npPellin's scriptable object writes (POSIX, where a test
// can read its own traces): handler names, the reason of every refused
// argument list word for word, and the agent's step.
#include "apps/nppellin/ScriptablePluginObject.h"
#include "tests/plugin/PluginTestSupport.h"
#include "tests/support/ScratchMethods.h"
#include "tests/support/TraceCapture.h"

namespace {

class PellinTraceTest : public ObjectFixture {
protected:
    void SetUp() override {
        ASSERT_TRUE(TraceCapture::Enabled()) << "run with ORVANE_TRACE and ORVANE_TRACE_FILE";
        ObjectFixture::SetUp();
    }
    // The trace of one call.
    std::vector<std::string> Trace(const char* pszMethod, std::vector<NPVariant> args) {
        m_capture.Take();
        Call(m_npp, m_pObject, pszMethod, std::move(args));
        return m_capture.Take();
    }

    TraceCapture m_capture;
};

std::string Failed(const char* pszOp, const char* pszStep, const char* pszCode,
                   const char* pszReason) {
    return std::string("[ScriptablePluginObject(#):](") + pszOp + " -- " + pszStep +
           ")\t\t--Failed:(" + pszCode + ") [Reason:" + pszReason + "]";
}

std::string Refused(const char* pszMethod, const char* pszReason) {
    return Failed((std::string("CScriptablePluginObject::np") + pszMethod).c_str(),
                  "Invalid parameters", "0x80070057", pszReason);
}

struct Case {
    const char* pszMethod;
    std::vector<NPVariant> args;
    std::vector<std::string> lines; // in this order, others may come between
};

TEST_F(PellinTraceTest, HandlerLines) {
    const Case kCases[] = {
        {"VURO_GetVersion",
         {Int(1)},
         {"Enter CScriptablePluginObject::Invoke",
          "Enter CScriptablePluginObject::npVURO_GetVersion", "argCount: 1 (0x00000001)",
          "Parameter: args[0]: int32 1", Refused("VURO_GetVersion", "0 != argCount"),
          "Leave CScriptablePluginObject::npVURO_GetVersion",
          "Leave CScriptablePluginObject::Invoke"}},
        {"VURO_GetCSPInfo", {Int(1)}, {Refused("VURO_GetCSPInfo", "0 != argCount")}},
        {"VURO_GetAllCertInfo", {Str("")}, {Refused("VURO_GetAllCertInfo", "argCount != 0")}},
        {"VURO_GetContainer", {Null()}, {Refused("VURO_GetContainer", "argCount != 0")}},
        {"VURO_GetLastErrorDesc", {Int(0)}, {Refused("VURO_GetLastErrorDesc", "0 != argCount")}},
        {"VURO_HavePermissiontoGenerateKeyPair",
         {Bool(true)},
         {"Parameter: args[0]: bool true",
          Refused("VURO_HavePermissiontoGenerateKeyPair", "0 != argCount")}},
        {"VURO_SetCSPInfo",
         {Str("2048"), Str("x")},
         {"Parameter: args[0]: string", "Parameter: args[1]: string",
          Refused("VURO_SetCSPInfo", "(argCount != 2 || (args[0].type != NPVariantType_Int32 && "
                                     "args[0].type != NPVariantType_Double) || args[1].type != "
                                     "NPVariantType_String)")}},
        {"VURO_SetKeyAlgorithm",
         {Int(1)},
         {Refused("VURO_SetKeyAlgorithm",
                  "(argCount != 1 || args[0].type != NPVariantType_String)")}},
        {"VURO_ImportSignCert",
         {Int(1), Str("c")},
         {Refused("VURO_ImportSignCert",
                  "(argCount != 3 || (args[0].type != NPVariantType_Int32 && args[0].type != "
                  "NPVariantType_Double) || args[1].type != NPVariantType_String || "
                  "args[2].type != NPVariantType_String)")}},
        {"VURO_PKCS10CertRequisition",
         {Str("CN=a"), Dbl(1.5), Null()},
         {"Parameter: args[1]: double 1.500000", "Parameter: args[2]: null",
          Refused("VURO_PKCS10CertRequisition",
                  "(argCount != 3 || args[0].type != NPVariantType_String || (args[1].type != "
                  "NPVariantType_Int32 && args[1].type != NPVariantType_Double) || "
                  "(args[2].type != NPVariantType_Int32 && args[2].type != "
                  "NPVariantType_Double))")}},
        // The agent's answers: a boolean method's step is "Call agent", a
        // text method's the agent operation.
        {"VURO_SetKeyAlgorithm",
         {Str("DSA")},
         {Failed("CScriptablePluginObject::npVURO_SetKeyAlgorithm", "Call agent", "0xa0072401",
                 "FAILED(hResult)")}},
        {"VURO_SetKeyAlgorithm",
         {Str("RSA")},
         {"[ScriptablePluginObject(#)]:(CScriptablePluginObject::npVURO_SetKeyAlgorithm -- "
          "Call agent)\t\t--OK"}},
        {"VURO_PKCS10CertRequisition",
         {Str("CN=a"), Int(3), Int(0)},
         {Failed("CScriptablePluginObject::npVURO_PKCS10CertRequisition",
                 "VURO_PKCS10CertRequisition", "0x80070057", "FAILED(hResult)")}},
        {"VURO_GetContainer",
         {},
         {"Enter CScriptablePluginObject::npVURO_GetContainer", "argCount: 0 (0x00000000)",
          "Leave CScriptablePluginObject::npVURO_GetContainer"}},
        // Not a method of this object.
        {"VURO_ImportEncryptCert",
         {Str("k"), Str("c"), Str("n"), Int(0)},
         {"Enter CScriptablePluginObject::Invoke",
          Failed("CScriptablePluginObject::Invoke", "VURO_ImportEncryptCert", "0x80070057",
                 "Unknown method")}},
        {nullptr, {}, {"Enter CScriptablePluginObject::InvokeDefault"}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszMethod != nullptr ? c.pszMethod : "(default)");
        const std::vector<std::string> lines = Trace(c.pszMethod, c.args);
        EXPECT_EQ(InOrder(lines, c.lines), "") << ::testing::PrintToString(lines);
    }
}

TEST_F(PellinTraceTest, NamesAndProperties) {
    NPClass* c = m_pObject->_class;
    m_capture.Take();
    EXPECT_FALSE(c->hasMethod(m_pObject, m_browser.getstringidentifier("vuro_getversion")));
    EXPECT_EQ(InOrder(m_capture.Take(), {"Enter CScriptablePluginObject::HasMethod",
                                         "Not a method: vuro_getversion"}),
              "");
    NPIdentifier id = m_browser.getstringidentifier("VURO_GetVersion");
    NPVariant v;
    VOID_TO_NPVARIANT(v);
    EXPECT_FALSE(c->hasProperty(m_pObject, id));
    EXPECT_FALSE(c->getProperty(m_pObject, id, &v));
    EXPECT_FALSE(c->setProperty(m_pObject, id, &v));
    EXPECT_EQ(InOrder(m_capture.Take(),
                      {"Enter CScriptablePluginObject::HasProperty", "Property: VURO_GetVersion",
                       "Enter CScriptablePluginObject::GetProperty", "Property: VURO_GetVersion",
                       "Enter CScriptablePluginObject::SetProperty", "Property: VURO_GetVersion"}),
              "");
}

// Another table words its steps its own way: the signing methods to come
// name the failed conversion's argument and the agent's member.
TEST_F(PellinTraceTest, ATablesOwnWording) {
    CScriptableAgentObject<IScratchAgent, ScratchAgent> object(
        m_npp, scratch::kTable, scratch::kVersion, HRESULT(0xA0072001));
    const auto trace = [&](const char* pszMethod, std::vector<NPVariant> args) {
        m_capture.Take();
        NPVariant result;
        VOID_TO_NPVARIANT(result);
        object.Invoke(m_browser.getstringidentifier(pszMethod), args.data(), uint32_t(args.size()),
                      &result);
        m_browser.releasevariantvalue(&result);
        return m_capture.Take();
    };
    // A text no conversion takes: longer than any text a script can hand over.
    NPVariant overlong;
    STRINGN_TO_NPVARIANT("x", 0x80000000u, overlong);
    const Case kCases[] = {
        {"VURO_SelectUserCert",
         {Str("a")},
         {"Enter CScriptablePluginObject::npVURO_SelectUserCert",
          Failed("CScriptablePluginObject::npVURO_SelectUserCert", "Check parameter", "0x80070057",
                 "5 != argCount")}},
        {"VURO_GetLastErrorDesc",
         {Int(1)},
         {Failed("CScriptablePluginObject::npVURO_GetLastErrorDesc", "Check parameters.",
                 "0x80070057", "0 != argCount")}},
        {"VURO_SelectUserCert",
         {Str("a"), overlong, Str("c"), Str("d"), Bool(false)},
         {"Parameter: args[4]: bool false",
          Failed("CScriptablePluginObject::npVURO_SelectUserCert",
                 "ConverNPStringtoNULLEndString(IssuerDN)", "0x80070057", "FAILED(hResult)")}},
        {"VURO_SignData",
         {Str("m"), Str("SHA-1")},
         {Failed("CScriptablePluginObject::npVURO_SignData", "m_objCryptoAgent.VURO_SignData",
                 "0xa0072001", "FAILED(hResult)")}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszMethod);
        const std::vector<std::string> lines = trace(c.pszMethod, c.args);
        EXPECT_EQ(InOrder(lines, c.lines), "") << ::testing::PrintToString(lines);
    }
    EXPECT_EQ(object.Agent().nCalls, 1) << "only the accepted list reached the agent";
}

} // namespace
