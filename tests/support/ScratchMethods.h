// A method table shaped like the signing methods still to come (four texts
// and a boolean in, texts in and out, a version of its own, a check step of
// its own for one row), over an agent that records its calls. The host's and
// the plug-in's faces are tested on it the way a new deliverable would use
// them: a table and an agent, nothing else.
#pragma once
#include "methods/MethodTable.h"
#include "tests/support/TestSupport.h"

#include <string>
#include <vector>

class IScratchAgent {
public:
    virtual HRESULT VURO_SelectUserCert(const WCHAR* pwszDN, const WCHAR* pwszIssuerDN,
                                        const WCHAR* pwszSN, const WCHAR* pwszCSP,
                                        VARIANT_BOOL vbAlwaysShow, BSTR* pbstrCSP) = 0;
    virtual HRESULT VURO_SignData(const WCHAR* pwszSource, const WCHAR* pwszHashAlg,
                                  BSTR* pbstrSignature) = 0;
    virtual HRESULT EchoFirst(BSTR* pbstr) = 0;
    virtual HRESULT EchoSecond(BSTR* pbstr) = 0;
    virtual HRESULT VURO_GetLastErrorDesc(BSTR* pbstr) = 0;
    virtual ~IScratchAgent() = default;
};

// ScratchAgent: answers every operation with hrAnswer and, on success, the
// text pwszAnswer; remembers the last call.
class ScratchAgent final : public IScratchAgent {
public:
    ScratchAgent() = default;
    explicit ScratchAgent(HRESULT hr) : hrAnswer(hr) {}

    HRESULT hrAnswer = S_OK;
    const WCHAR* pwszAnswer = TEXT("answer");

    int nCalls = 0;
    std::string strOperation;
    std::vector<std::string> texts; // UTF-8, "(null)" for null
    std::vector<int> flags;         // boolean arguments as passed

    HRESULT VURO_SelectUserCert(const WCHAR* pwszDN, const WCHAR* pwszIssuerDN, const WCHAR* pwszSN,
                                const WCHAR* pwszCSP, VARIANT_BOOL vbAlwaysShow,
                                BSTR* pbstr) override {
        Record("SelectUserCert", {pwszDN, pwszIssuerDN, pwszSN, pwszCSP});
        flags = {int(vbAlwaysShow)};
        return Answer(pbstr);
    }
    HRESULT VURO_SignData(const WCHAR* pwszSource, const WCHAR* pwszHashAlg, BSTR* pbstr) override {
        Record("SignData", {pwszSource, pwszHashAlg});
        return Answer(pbstr);
    }
    HRESULT EchoFirst(BSTR* pbstr) override {
        Record("EchoFirst", {});
        return Answer(pbstr);
    }
    HRESULT EchoSecond(BSTR* pbstr) override {
        Record("EchoSecond", {});
        return Answer(pbstr);
    }
    HRESULT VURO_GetLastErrorDesc(BSTR* pbstr) override {
        Record("GetLastErrorDesc", {});
        return Answer(pbstr);
    }

private:
    void Record(const char* pszOperation, std::initializer_list<const WCHAR*> args) {
        ++nCalls;
        strOperation = pszOperation;
        texts.clear();
        flags.clear();
        for (const WCHAR* p : args)
            texts.push_back(p != nullptr ? U8(p) : "(null)");
    }
    HRESULT Answer(BSTR* pbstr) {
        if (SUCCEEDED(hrAnswer))
            *pbstr = SysAllocString(pwszAnswer);
        return hrAnswer;
    }
};

namespace scratch {

using namespace orvane::methods;

inline constexpr const char* kVersion = "3.4.0.3";

inline constexpr Method kRows[] = {
    {.name = kName<"VURO_SelectUserCert">,
     .call = kAgentCall<&IScratchAgent::VURO_SelectUserCert, Text(Text, Text, Text, Text, Boolean)>,
     .args = {"DN", "IssuerDN", "SN", "CSP", "bAlwaysShow"},
     .script = {.pszCheckReason = "5 != argCount"}},
    {.name = kName<"VURO_SignData">,
     .call = kAgentCall<&IScratchAgent::VURO_SignData, Text(Text, Text)>,
     .args = {"SourceMsg", "HashAlg"},
     .secretArgs = 0b01,
     .script = {.pszCheckReason = "2 != argCount"}},
    // Two names that differ only in case: the host (without regard to case)
    // always finds the first, a script (exactly) each its own.
    {.name = kName<"VURO_Echo">,
     .call = kAgentCall<&IScratchAgent::EchoFirst, Text()>,
     .script = {.pszCheckReason = "0 != argCount"}},
    {.name = kName<"VURO_ECHO">,
     .call = kAgentCall<&IScratchAgent::EchoSecond, Text()>,
     .script = {.pszCheckReason = "0 != argCount"}},
    {.name = kName<"VURO_GetVersion">,
     .call = kVersionCall,
     .host = {.params = HostParams::Ignored},
     .script = {.pszCheckReason = "0 != argCount"}},
    {.name = kName<"VURO_GetLastErrorDesc">,
     .call = kAgentCall<&IScratchAgent::VURO_GetLastErrorDesc, Text()>,
     .host = {.failure = HostFailure::Minus1},
     .script = {.pszCheckReason = "0 != argCount", .pszCheckStep = "Check parameters."}},
    {.name = kName<"checkHost", "CheckHost">,
     .call = kHostCheckCall,
     .host = {.params = HostParams::Ignored},
     .script = {.bOffered = false}},
};

inline constexpr MethodTable<IScratchAgent> kTable(kRows,
                                                   {.pszCheckStep = "Check parameter",
                                                    .conversion = ConversionSteps::PerArgument,
                                                    .bAgentMemberStep = true});

} // namespace scratch
