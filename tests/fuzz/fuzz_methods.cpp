// One request body through a method table's JSON face, on an agent that
// takes whatever the face hands it, so that every kind of argument (text,
// number, boolean, bare or as {"param": ...}) is read from outside input.
// (fuzz_request's host has no agent and refuses every argument list first.)
// The answer must be one JSON object naming a function with an error code;
// the agent must only ever see NUL-terminated texts and VARIANT_TRUE/FALSE.
#include "host/JsonHandles.h"
#include "host/OrvaneHost.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

class IFuzzAgent {
public:
    virtual HRESULT Mixed(const WCHAR* pwszText, LONG lNumber, VARIANT_BOOL vbFlag,
                          BSTR* pbstrEcho) = 0;
    virtual HRESULT Flag(VARIANT_BOOL vbFlag, VARIANT_BOOL* pvbResult) = 0;
    virtual ~IFuzzAgent() = default;
};

void CheckFlag(VARIANT_BOOL vbFlag) {
    if (vbFlag != VARIANT_TRUE && vbFlag != VARIANT_FALSE)
        std::abort();
}

class FuzzAgent final : public IFuzzAgent {
public:
    explicit FuzzAgent(HMODULE) {}
    HRESULT Mixed(const WCHAR* pwszText, LONG lNumber, VARIANT_BOOL vbFlag,
                  BSTR* pbstrEcho) override {
        CheckFlag(vbFlag);
        if (pwszText == nullptr)
            std::abort();
        // The text comes back, so the answer's conversion sees it too.
        *pbstrEcho = SysAllocString(pwszText);
        return lNumber < 0 ? E_INVALIDARG : S_OK;
    }
    HRESULT Flag(VARIANT_BOOL vbFlag, VARIANT_BOOL* pvbResult) override {
        CheckFlag(vbFlag);
        *pvbResult = vbFlag;
        return S_OK;
    }
};

using namespace orvane::methods;

constexpr Method kRows[] = {
    {.name = kName<"Mixed">,
     .call = kAgentCall<&IFuzzAgent::Mixed, Text(Text, Number, Boolean)>,
     .args = {"Text", "Number", "Flag"},
     .script = {.pszCheckReason = "3 != argCount"}},
    {.name = kName<"Flag">,
     .call = kAgentCall<&IFuzzAgent::Flag, Boolean(Boolean)>,
     .args = {"Flag"},
     .host = {.failure = HostFailure::Minus1},
     .script = {.pszCheckReason = "1 != argCount"}},
    {.name = kName<"VURO_GetVersion">,
     .call = kVersionCall,
     .script = {.pszCheckReason = "0 != argCount"}},
    {.name = kName<"checkHost", "CheckHost">,
     .call = kHostCheckCall,
     .script = {.bOffered = false}},
};
constexpr MethodTable<IFuzzAgent> kTable(kRows,
                                         {"Check parameter", ConversionSteps::OneStep, false});

FuzzAgent* g_pAgent = nullptr;

HostProgram& Host() {
    static AgentHost<IFuzzAgent, FuzzAgent> host(kTable, "0.0.0.1", g_pAgent);
    static const bool bCreated = host.CreateAgent(nullptr);
    if (!bCreated)
        std::abort();
    return host;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> body(new char[size + 1]);
    std::memcpy(body.get(), data, size);
    body[size] = 0;
    std::string response;
    if (RespondToRequest(Host(), body.get(), &response) != 0 || response.empty())
        std::abort();
    UniqueJson json(cJSON_Parse(response.c_str()));
    if (!json || !cJSON_IsString(cJSON_GetObjectItem(json.get(), "function")) ||
        !cJSON_IsNumber(cJSON_GetObjectItem(json.get(), "errorcode")))
        std::abort();
    return 0;
}
