// The trace lines the host's dispatcher and handlers write (POSIX, where a
// test can read its own traces): operation and step names, the reasons of
// refused lists, which argument values are traced and which never are. Those
// who read a user's trace rely on them word for word.
#include "enrolment/CryptoAgent.h"
#include "foundation/Trace.h"
#include "host/OrvaneHost.h"
#include "tests/host/EnrolHost.h"
#include "tests/support/TraceCapture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

class HostTraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TraceCapture::Enabled()) << "run with ORVANE_TRACE and ORVANE_TRACE_FILE";
        RegisterTraceProvider();
        EnrolHostAgent() = &m_agent;
    }
    void TearDown() override {
        EnrolHostAgent() = nullptr;
        UnregisterTraceProvider();
    }
    // The trace of one request through the dispatcher.
    std::vector<std::string> Request(const char* pszRequest) {
        m_capture.Take();
        std::string response;
        EXPECT_EQ(RespondToRequest(EnrolHost(), pszRequest, &response), 0);
        return m_capture.Take();
    }

    CCryptoAgent m_agent;
    TraceCapture m_capture;
};

struct Case {
    const char* pszRequest;
    std::vector<std::string> lines; // in this order, others may come between
    const char* pszNever = nullptr; // a text no line may hold
};

// A wide step failure: "[module(line):] operation - step [Reason:reason]",
// followed by the code.
std::string WideFailed(const char* pszOp, const char* pszStep, const char* pszReason,
                       const char* pszCode) {
    return std::string("[nmMessageSigning(#):] ") + pszOp + " - " + pszStep +
           " [Reason:" + pszReason + "] (" + pszCode + ")";
}

TEST_F(HostTraceTest, DispatchAndHandlerLines) {
    const Case kCases[] = {
        // The dispatcher names the table's spelling, whatever the page wrote.
        {R"({"function":"vuro_getversion","params":[]})",
         {"Enter Invoke", "[nmMessageSigning(#)]:(Invoke -- VURO_GetVersion)\t\t--OK",
          "Enter nmVURO_GetVersion", "Leave nmVURO_GetVersion", "Leave Invoke"}},
        {R"({"function":"CHECKHOST","params":[]})",
         {"[nmMessageSigning(#)]:(Invoke -- checkHost)\t\t--OK", "Enter nmCheckHost",
          "Leave nmCheckHost"}},
        {R"({"function":"Foo","params":[]})",
         {"Enter Invoke", "Unknown method: Foo",
          "[nmMessageSigning(#):](Invoke -- Find method)\t\t--Failed:(0xffffffff) "
          "[Reason:No handler for pszFuncName]",
          "Leave Invoke"}},
        // Refused lists: the count's reason names the expected number.
        {R"({"function":"VURO_SetCSPInfo","params":[2048]})",
         {"Enter nmVURO_SetCSPInfo",
          WideFailed("nmVURO_SetCSPInfo", "Check parameter(Args count)", "2 != nArgsCount",
                     "0xffffffff"),
          "Leave nmVURO_SetCSPInfo"}},
        {R"({"function":"VURO_ImportEncryptCert","params":[1,2,3]})",
         {WideFailed("nmVURO_ImportEncryptCert", "Check parameter(Args count)", "4 != nArgsCount",
                     "0xffffffff")}},
        {R"({"function":"VURO_GetLastErrorDesc","params":[1]})",
         {WideFailed("nmVURO_GetLastErrorDesc", "Check parameter(Args count)", "0 != nArgsCount",
                     "0xffffffff")}},
        {R"({"function":"VURO_SetCSPInfo","params":["name",2048]})",
         {"nmVURO_SetCSPInfo - Check parameter(Args count)",
          WideFailed("nmVURO_SetCSPInfo", "ConverJSONArrayItemtoint", "VURO_OK != nResult",
                     "0xa0073204")}},
        {R"({"function":"VURO_ImportSignCert","params":[1,2,"C"]})",
         {WideFailed("nmVURO_ImportSignCert", "ConverJSONArrayItemtoNULLEndString",
                     "VURO_OK != nResult", "0xa0073204")}},
        // Accepted lists: the values by name, then the agent's step.
        {R"({"function":"VURO_SetCSPInfo","params":[2048,"Vendor CSP"]})",
         {"Enter nmVURO_SetCSPInfo", "nmVURO_SetCSPInfo - Check parameter(Args count)",
          "nKeyLength: 2048 (0x00000800)", "CSPName: Vendor CSP",
          "nmVURO_SetCSPInfo - VURO_SetCSPInfo", "Leave nmVURO_SetCSPInfo"}},
        {R"({"function":"VURO_SetKeyAlgorithm","params":["ECC"]})",
         {"KeyAlgorithm: ECC", WideFailed("nmVURO_SetKeyAlgorithm", "VURO_SetKeyAlgorithm",
                                          "FAILED(hResult)", "0xa0072401")}},
        {R"({"function":"VURO_PKCS10CertRequisition","params":["CN=A",1,0]})",
         {"SubjectDN: CN=A", "nCertType: 1 (0x00000001)",
          "nSignPrivateKeyGenerateFlags: 0 (0x00000000)",
          WideFailed("nmVURO_PKCS10CertRequisition", "VURO_PKCS10CertRequisition",
                     "FAILED(hResult)", "0xa0072401")}},
        {R"({"function":"VURO_ImportSignCert","params":[7,"CERT","C1"]})",
         {"nCertType: 7 (0x00000007)", "SignCert: CERT", "ContainerName: C1"}},
        // The enveloped key is key material: never traced.
        {R"({"function":"VURO_ImportEncryptCert","params":["SECRETKEY","CERT","C1",1]})",
         {"EncryptPublicCert: CERT", "ContainerName: C1",
          "nEncryptCertPrivateKeyFlags: 1 (0x00000001)"},
         "SECRETKEY"},
        {R"({"function":"VURO_GetContainer","params":[]})",
         {"Enter nmVURO_GetContainer", "nmVURO_GetContainer - Check parameter(Args count)",
          "nmVURO_GetContainer - VURO_GetContainer", "Result: C1", "Leave nmVURO_GetContainer"}},
        // Params that are no list never reach the handler.
        {R"({"function":"VURO_GetCSPInfo","params":"anything"})",
         {"Enter ParseRequestMsgToJSON",
          "[JSONUtility(#):](ParseRequestMsgToJSON -- cJSON_GetObjectItem(params))\t\t--Failed:("
          "0xffffffff) [Reason:!cJSON_IsArray(pParamsArray)]",
          "Leave ParseRequestMsgToJSON"},
         "nmVURO_GetCSPInfo"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszRequest);
        const std::vector<std::string> lines = Request(c.pszRequest);
        EXPECT_EQ(InOrder(lines, c.lines), "") << ::testing::PrintToString(lines);
        if (c.pszNever != nullptr) {
            for (const std::string& line : lines)
                EXPECT_EQ(line.find(c.pszNever), std::string::npos) << line;
        }
    }
}

TEST_F(HostTraceTest, MissingListOrAgent) {
    UniqueJson response;
    m_capture.Take();
    ENROL_ROW(VURO_SetCSPInfo)(&response, nullptr, &m_agent);
    EXPECT_EQ(InOrder(m_capture.Take(), {WideFailed("nmVURO_SetCSPInfo", "Check parameter",
                                                    "nullptr == pJSONArgs", "0xffffffff")}),
              "");

    response.reset();
    ENROL_ROW(VURO_GetCSPInfo)(&response, nullptr, nullptr);
    EXPECT_EQ(InOrder(m_capture.Take(), {WideFailed("nmVURO_GetCSPInfo", "Check parameter",
                                                    "nullptr == pAgent", "0xffffffff")}),
              "");

    UniqueJson args(cJSON_CreateArray());
    response.reset();
    ENROL_ROW(VURO_GetAllCertInfo)(&response, args.get(), nullptr);
    EXPECT_EQ(InOrder(m_capture.Take(), {WideFailed("nmVURO_GetAllCertInfo", "Check parameter",
                                                    "nullptr == pAgent", "0xffffffff")}),
              "");
}

} // namespace
