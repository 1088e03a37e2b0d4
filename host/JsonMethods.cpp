#include "host/JsonMethods.h"

#include "foundation/Encodings.h"
#include "foundation/Trace.h"
#include "host/JSONUtility.h"

#include <memory>
#include <new>
#include <string.h>

// The handlers belong to the dispatcher's module in every trace line.
#define TRACE_MODULE "nmMessageSigning"

using namespace orvane::methods;

namespace {

// What a page sees for a bad argument list, and for every failure of the
// methods that only say "it failed" (the page then asks for the description).
constexpr int kHandlerFailed = -1;

// The reason lines of the count check, by expected count.
constexpr const WCHAR* kCountReasons[kMaxArguments + 1] = {
    TEXT("0 != nArgsCount"), TEXT("1 != nArgsCount"), TEXT("2 != nArgsCount"),
    TEXT("3 != nArgsCount"), TEXT("4 != nArgsCount"), TEXT("5 != nArgsCount"),
};

// Steps 1 and 2 of every handler with an argument list: a list, an agent,
// and exactly nExpected elements. Returns 0 or -1.
int CheckArguments(const WCHAR* pwszOp, cJSON* pJSONArgs, const void* pAgent, int nExpected) {
    if (TRACE_IF_W(nullptr == pJSONArgs, pwszOp, TEXT("Check parameter"), kHandlerFailed))
        return kHandlerFailed;
    if (TRACE_IF_W(nullptr == pAgent, pwszOp, TEXT("Check parameter"), kHandlerFailed))
        return kHandlerFailed;
    const int nArgsCount = cJSON_GetArraySize(pJSONArgs);
    if (nArgsCount != nExpected) {
        TRACE_FAILED_W(pwszOp, TEXT("Check parameter(Args count)"), kHandlerFailed,
                       kCountReasons[nExpected]);
        return kHandlerFailed;
    }
    TRACE_OK_W(pwszOp, TEXT("Check parameter(Args count)"));
    return VURO_OK;
}

// Argument nIndex as UTF-16 text. Returns 0, the argument reader's
// code, or the converter's.
int TakeText(const WCHAR* pwszOp, cJSON* pJSONArgs, int nIndex, ArgumentValue* pValue) {
    std::string strUtf8;
    const int nResult = ConverJSONArrayItemtoNULLEndString(pJSONArgs, nIndex, &strUtf8);
    if (TRACE_IF_W(VURO_OK != nResult, pwszOp, TEXT("ConverJSONArrayItemtoNULLEndString"), nResult))
        return nResult;
    const HRESULT hResult = UTF8ToUTF16(strUtf8.c_str(), &pValue->wstrText);
    if (TRACE_IF_W(FAILED(hResult), pwszOp, TEXT("UTF8ToUTF16"), hResult))
        return hResult;
    return VURO_OK;
}

// Argument nIndex as a signed 32-bit integer. Returns 0 or the reader's code.
int TakeNumber(const WCHAR* pwszOp, cJSON* pJSONArgs, int nIndex, ArgumentValue* pValue) {
    int nValue = 0;
    const int nResult = ConverJSONArrayItemtoint(pJSONArgs, nIndex, &nValue);
    if (VURO_OK != nResult) {
        TRACE_FAILED_W(pwszOp, TEXT("ConverJSONArrayItemtoint"), nResult,
                       TEXT("VURO_OK != nResult"));
        return nResult;
    }
    pValue->lNumber = LONG(nValue);
    return VURO_OK;
}

// Argument nIndex as a variant boolean. Returns 0 or the reader's code.
int TakeBoolean(const WCHAR* pwszOp, cJSON* pJSONArgs, int nIndex, ArgumentValue* pValue) {
    VARIANT_BOOL vbValue = VARIANT_FALSE;
    const int nResult = ConverJSONArrayItemtobool(pJSONArgs, nIndex, &vbValue);
    if (VURO_OK != nResult) {
        TRACE_FAILED_W(pwszOp, TEXT("ConverJSONArrayItemtobool"), nResult,
                       TEXT("VURO_OK != nResult"));
        return nResult;
    }
    pValue->vbValue = vbValue;
    return VURO_OK;
}

int TakeArgument(const WCHAR* pwszOp, cJSON* pJSONArgs, int nIndex, Kind kind,
                 ArgumentValue* pValue) {
    switch (kind) {
    case Kind::Text:
        return TakeText(pwszOp, pJSONArgs, nIndex, pValue);
    case Kind::Number:
        return TakeNumber(pwszOp, pJSONArgs, nIndex, pValue);
    case Kind::Boolean:
        return TakeBoolean(pwszOp, pJSONArgs, nIndex, pValue);
    }
    return kHandlerFailed;
}

// The converted arguments, by name, before the agent sees them; key material
// never.
void TraceArguments(const Method& method, const ArgumentValue* pValues) {
    if (!TraceIsEnabled(TRACE_FLAG_INFO))
        return;
    for (int i = 0; i < method.call.nArgs; ++i) {
        if ((method.secretArgs & (1u << i)) != 0)
            continue;
        if (method.call.kinds[i] == Kind::Text)
            TraceValueW(method.args[i], pValues[i].wstrText.c_str());
        else if (method.call.kinds[i] == Kind::Number)
            TraceValueNumber(method.args[i], long(pValues[i].lNumber));
        else
            TraceValueNumber(method.args[i], long(pValues[i].vbValue));
    }
}

// The agent's answer as an errorcode: failures as they are, anything else 0.
int ErrorCodeOf(const WCHAR* pwszOp, const WCHAR* pwszStep, HRESULT hResult) {
    if (FAILED(hResult)) {
        TRACE_FAILED_W(pwszOp, pwszStep, hResult, TEXT("FAILED(hResult)"));
        return int(hResult);
    }
    TRACE_OK_W(pwszOp, pwszStep);
    return VURO_OK;
}

// Respond: the response object, as ConstructResponseJSON builds it. One that
// cannot be built is left out: the host then answers with its fixed text,
// and its trace says why.
void Respond(UniqueJson* pResponseJSON, const char* pszMethod, int nErrorCode, int nValueType,
             const void* pValue) {
    static_cast<void>(
        ConstructResponseJSON(pResponseJSON, pszMethod, nErrorCode, nValueType, pValue));
}

void RespondFailure(UniqueJson* pResponseJSON, const char* pszMethod, int nErrorCode) {
    Respond(pResponseJSON, pszMethod, nErrorCode, RESPONSE_VALUE_STRING, nullptr);
}

// A yes/no answer: true only for VARIANT_TRUE.
void RespondBoolean(UniqueJson* pResponseJSON, const char* pszMethod, int nErrorCode,
                    VARIANT_BOOL vbValue) {
    const unsigned char byValue = vbValue == VARIANT_TRUE ? 1 : 0;
    Respond(pResponseJSON, pszMethod, nErrorCode, RESPONSE_VALUE_BOOLEAN, &byValue);
}

// A text answer: converted to UTF-8 when nErrorCode is 0 (a null BSTR is an
// empty text). Returns the conversion's code when it turned the agent's
// success into a failure, else 0.
HRESULT RespondText(const WCHAR* pwszOp, UniqueJson* pResponseJSON, const char* pszMethod,
                    int nErrorCode, const WCHAR* bstrValue, HostText conversion) {
    if (nErrorCode != VURO_OK) {
        RespondFailure(pResponseJSON, pszMethod, nErrorCode);
        return VURO_OK;
    }
    std::string strUtf8;
    const HRESULT hResult = UTF16ToUTF8(bstrValue != nullptr ? bstrValue : TEXT(""), &strUtf8);
    if (TRACE_IF_W(FAILED(hResult), pwszOp, TEXT("UTF16ToUTF8"), hResult)) {
        if (conversion == HostText::Required) {
            RespondFailure(pResponseJSON, pszMethod, kHandlerFailed);
            return hResult;
        }
        Respond(pResponseJSON, pszMethod, VURO_OK, RESPONSE_VALUE_STRING, nullptr);
        return VURO_OK;
    }
    TraceValueA("Result", strUtf8.c_str());
    Respond(pResponseJSON, pszMethod, VURO_OK, RESPONSE_VALUE_STRING, strUtf8.c_str());
    return VURO_OK;
}

// Why an argument was not taken, as the agent's last result: a reader's or
// converter's code, or E_OUTOFMEMORY for the readers' -1.
HRESULT ArgumentRefusal(int nResult) {
    return nResult == kHandlerFailed ? E_OUTOFMEMORY : HRESULT(nResult);
}

// Runs a handler's body; memory running out inside still gives the page an
// answer in order, with nOutOfMemoryCode (any other exception: -1), and the
// agent the reason.
template <class Body>
int RunHandler(const Method& method, const RefusalSink& refusals, UniqueJson* pResponseJSON,
               int nOutOfMemoryCode, Body body) noexcept {
    const char* pszMethod = method.name.pszResponse;
    try {
        body();
    } catch (const std::bad_alloc&) {
        TRACE_FAILED("RunHandler", pszMethod, int(E_OUTOFMEMORY), "std::bad_alloc");
        RespondFailure(pResponseJSON, pszMethod, nOutOfMemoryCode);
        refusals.Refused(&method, E_OUTOFMEMORY);
    } catch (...) {
        // Nothing else is expected to throw; if it does, the page still gets
        // its answer and the host lives on.
        TRACE_FAILED("RunHandler", pszMethod, int(E_UNEXPECTED), "exception");
        RespondFailure(pResponseJSON, pszMethod, kHandlerFailed);
        refusals.Refused(&method, E_UNEXPECTED);
    }
    return 0;
}

// The handler of a row answered by an agent operation. A call the agent does
// not answer itself goes to refusals with its reason: a bad argument list
// (answered -1) as E_INVALIDARG, a bad argument with the reader's code.
int RespondWithAgent(const Method& method, UniqueJson* pResponseJSON, cJSON* pJSONArgs,
                     void* pAgent, const RefusalSink& refusals) {
    const WCHAR* pwszOp = method.name.pwszHostOperation;
    const char* pszMethod = method.name.pszResponse;
    const bool bOwnCodes = method.host.failure == HostFailure::AgentCode;
    TraceHelper trace(pwszOp);
    return RunHandler(
        method, refusals, pResponseJSON, bOwnCodes ? int(E_OUTOFMEMORY) : kHandlerFailed, [&] {
            int nResult = VURO_OK;
            HRESULT hrRefusal = VURO_OK;
            if (method.host.params == HostParams::Counted) {
                nResult = CheckArguments(pwszOp, pJSONArgs, pAgent, method.call.nArgs);
            } else if (TRACE_IF_W(nullptr == pAgent, pwszOp, TEXT("Check parameter"),
                                  kHandlerFailed)) {
                nResult = kHandlerFailed;
            }
            if (VURO_OK != nResult)
                hrRefusal = E_INVALIDARG;
            ArgumentValue values[kMaxArguments];
            for (int i = 0; VURO_OK == nResult && i < method.call.nArgs; ++i) {
                nResult = TakeArgument(pwszOp, pJSONArgs, i, method.call.kinds[i], &values[i]);
                if (VURO_OK != nResult)
                    hrRefusal = ArgumentRefusal(nResult);
            }
            AgentResult answer;
            if (VURO_OK == nResult) {
                TraceArguments(method, values);
                nResult = ErrorCodeOf(pwszOp, method.name.pwsz,
                                      method.call.pfnInvoke(pAgent, values, &answer));
                if (VURO_OK != nResult && !bOwnCodes)
                    nResult = kHandlerFailed;
            }
            if (method.call.result == Kind::Boolean) {
                RespondBoolean(pResponseJSON, pszMethod, nResult, answer.vbValue);
            } else if (const HRESULT hrText = RespondText(pwszOp, pResponseJSON, pszMethod, nResult,
                                                          answer.bstrText.get(), method.host.text);
                       FAILED(hrText)) {
                hrRefusal = hrText;
            }
            if (FAILED(hrRefusal))
                refusals.Refused(&method, hrRefusal);
        });
}

} // namespace

int RespondToMethod(const Method& method, const char* pszVersion, UniqueJson* pResponseJSON,
                    cJSON* pJSONArgs, void* pAgent, const RefusalSink& refusals) {
    switch (method.call.answer) {
    case Answer::Version: {
        TraceHelper trace(method.name.pwszHostOperation);
        Respond(pResponseJSON, method.name.pszResponse, 0, RESPONSE_VALUE_STRING, pszVersion);
        return 0;
    }
    case Answer::HostCheck: {
        TraceHelper trace(method.name.pwszHostOperation);
        const unsigned char byTrue = 1;
        Respond(pResponseJSON, method.name.pszResponse, 0, RESPONSE_VALUE_BOOLEAN, &byTrue);
        return 0;
    }
    case Answer::Agent:
        break;
    }
    return RespondWithAgent(method, pResponseJSON, pJSONArgs, pAgent, refusals);
}

const Method* FindHostMethod(std::span<const Method> rows, const char* pszFuncName) {
    if (pszFuncName != nullptr)
        for (const Method& m : rows)
            if (m.host.bOffered && _stricmp(m.name.psz, pszFuncName) == 0)
                return &m;
    return nullptr;
}

int InvokeMethod(std::span<const Method> rows, const char* pszVersion, void* pAgent,
                 UniqueJson* pResponseJSON, const char* pszFuncName, cJSON* pJSONArgs,
                 const RefusalSink& refusals) {
    TraceHelper trace(TEXT("Invoke"));
    if (const Method* pMethod = FindHostMethod(rows, pszFuncName)) {
        TRACE_OK("Invoke", pMethod->name.psz);
        return RespondToMethod(*pMethod, pszVersion, pResponseJSON, pJSONArgs, pAgent, refusals);
    }
    TraceValueA("Unknown method", pszFuncName);
    TRACE_FAILED("Invoke", "Find method", -1, "No handler for pszFuncName");
    return -1;
}
