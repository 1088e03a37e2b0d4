#include "plugin/ScriptableAgentObject.h"

#include "foundation/Encodings.h"
#include "foundation/Trace.h"
#include "plugin/NPFunctions.h"

#include <cstring>
#include <memory>
#include <string>

#define TRACE_MODULE "ScriptablePluginObject"

using namespace orvane::methods;

namespace {

constexpr const char* kDefaultMethodResult = "default method return val";

bool IsOfKind(const NPVariant& v, Kind kind) {
    switch (kind) {
    case Kind::Text:
        return v.type == NPVariantType_String;
    case Kind::Number:
        return v.type == NPVariantType_Int32 || v.type == NPVariantType_Double;
    case Kind::Boolean:
        return v.type == NPVariantType_Bool;
    }
    return false;
}

// ArgumentsFit: exactly the call's arguments, each of its kind.
bool ArgumentsFit(const Call& call, const NPVariant* args, uint32_t argCount) {
    if (argCount != call.nArgs)
        return false;
    if (argCount == 0)
        return true;
    if (args == nullptr)
        return false;
    for (uint32_t i = 0; i < argCount; ++i)
        if (!IsOfKind(args[i], call.kinds[i]))
            return false;
    return true;
}

// The step a failed text conversion is traced under.
std::string ConversionStep(const ScriptDialect& dialect, const char* pszStage,
                           const char* pszArgument) {
    if (dialect.conversion == ConversionSteps::OneStep)
        return "Convert parameters";
    return std::string(pszStage) + "(" + pszArgument + ")";
}

// WideArg: a string argument as UTF-16 text, through a NUL-terminated copy of
// its UTF-8 characters. A text holding a NUL character is refused
// (E_INVALIDARG): the copy would end there, and the agent would work on the
// part before it ("a\0b" signed as "a"). A failure is traced under the
// dialect's step.
HRESULT WideArg(const char* pszOp, const ScriptDialect& dialect, const char* pszArgument,
                const NPVariant& v, WString* pwstrOut) {
    const auto fail = [&](const char* pszStage, HRESULT hResult) {
        if (TraceIsEnabled(TRACE_FLAG_ERROR))
            TRACE_FAILED(pszOp, ConversionStep(dialect, pszStage, pszArgument).c_str(), hResult,
                         "FAILED(hResult)");
        return hResult;
    };
    const NPString& s = v.value.stringValue;
    if (s.UTF8Length > 0x7FFFFFFEu ||
        (s.UTF8Length > 0 && std::memchr(s.UTF8Characters, 0, s.UTF8Length) != nullptr))
        return fail("ConverNPStringtoNULLEndString", E_INVALIDARG);
    std::string strUtf8;
    HRESULT hResult = ConverNPStringtoNULLEndString(&strUtf8, s.UTF8Characters, int(s.UTF8Length));
    if (FAILED(hResult))
        return fail("ConverNPStringtoNULLEndString", hResult);
    hResult = UTF8ToUTF16(strUtf8.c_str(), pwstrOut);
    if (FAILED(hResult))
        return fail("UTF8ToUTF16", hResult);
    return VURO_OK;
}

// TextResult: the agent's wide text as a UTF-8 string variant from the
// browser's allocator. Returns 0, the conversion's code or E_OUTOFMEMORY.
HRESULT TextResult(const WCHAR* pwszText, NPVariant* result) {
    static const WCHAR kEmpty[] = {0};
    std::string strUtf8;
    HRESULT hResult = UTF16ToUTF8(pwszText != nullptr ? pwszText : kEmpty, &strUtf8);
    if (TRACE_IF(FAILED(hResult), "TextResult", "UTF16ToUTF8", hResult))
        return hResult;
    return ConvertStringToNPVariant(strUtf8.c_str(), result) ? VURO_OK : E_OUTOFMEMORY;
}

// The two ways a call ends, by the kind of its result: a failed text method
// leaves null, a boolean method its success as a boolean.
bool Finish(Kind result, bool bSuccess, NPVariant* pResult) {
    if (result == Kind::Boolean) {
        if (pResult != nullptr)
            BOOLEAN_TO_NPVARIANT(bSuccess, *pResult);
    } else if (!bSuccess && pResult != nullptr) {
        NULL_TO_NPVARIANT(*pResult);
    }
    return bSuccess;
}

bool BoolOutcome(const char* pszOperation, HRESULT hResult, VARIANT_BOOL varResult) {
    if (FAILED(hResult)) {
        TRACE_FAILED(pszOperation, "Call agent", hResult, "FAILED(hResult)");
        return false;
    }
    if (VARIANT_FALSE == varResult) {
        TRACE_FAILED(pszOperation, "Call agent", E_FAIL, "VARIANT_FALSE == varResult");
        return false;
    }
    TRACE_OK(pszOperation, "Call agent");
    return true;
}

// The handler of one row.
bool RunMethod(const Method& method, const ScriptDialect& dialect, const char* pszVersion,
               void* pAgent, const NPVariant* args, uint32_t argCount, NPVariant* result,
               const RefusalSink& refusals) {
    const char* pszOp = method.name.pszScriptOperation;
    const Kind resultKind = method.call.result;
    TraceHelper trace(method.name.pwszScriptOperation);
    TraceParameterInfo(args, int(argCount));
    // A call the agent does not answer: it hears why, and the page learns it
    // from the next VURO_GetLastErrorDesc.
    const auto refuse = [&](HRESULT hResult) {
        refusals.Refused(&method, hResult);
        return Finish(resultKind, false, result);
    };
    if (!ArgumentsFit(method.call, args, argCount)) {
        TRACE_FAILED(pszOp,
                     method.script.pszCheckStep != nullptr ? method.script.pszCheckStep
                                                           : dialect.pszCheckStep,
                     E_INVALIDARG, method.script.pszCheckReason);
        return refuse(E_INVALIDARG);
    }
    if (method.call.answer == Answer::Version) {
        if (!ConvertStringToNPVariant(pszVersion, result))
            return refuse(E_OUTOFMEMORY);
        return Finish(resultKind, true, result);
    }

    ArgumentValue values[kMaxArguments];
    for (uint32_t i = 0; i < argCount; ++i) {
        switch (method.call.kinds[i]) {
        case Kind::Text:
            if (const HRESULT hResult =
                    WideArg(pszOp, dialect, method.args[i], args[i], &values[i].wstrText);
                FAILED(hResult))
                return refuse(hResult);
            break;
        case Kind::Number:
            values[i].lNumber = NPVariantToLong(&args[i]);
            break;
        case Kind::Boolean:
            values[i].vbValue = args[i].value.boolValue ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        }
    }
    AgentResult answer;
    const HRESULT hResult = method.call.pfnInvoke(pAgent, values, &answer);
    if (resultKind == Kind::Boolean)
        return Finish(resultKind, BoolOutcome(pszOp, hResult, answer.vbValue), result);
    if (FAILED(hResult)) {
        TRACE_FAILED(pszOp, dialect.bAgentMemberStep ? method.name.pszAgentMember : method.name.psz,
                     hResult, "FAILED(hResult)");
        return Finish(resultKind, false, result);
    }
    if (const HRESULT hText = TextResult(answer.bstrText.get(), result); FAILED(hText))
        return refuse(hText);
    return Finish(resultKind, true, result);
}

} // namespace

bool ScriptHasMethod(std::span<const Method> rows, NPIdentifier name) {
    TraceHelper trace(TEXT("CScriptablePluginObject::HasMethod"));
    for (const Method& m : rows)
        if (m.script.bOffered && name != nullptr && name == NPN_GetStringIdentifier(m.name.psz))
            return true;
    if (TraceIsEnabled(TRACE_FLAG_WARNING))
        TraceValueA("Not a method", IdentifierName(name).c_str());
    return false;
}

bool ScriptInvoke(std::span<const Method> rows, const ScriptDialect& dialect,
                  const char* pszVersion, void* pAgent, NPIdentifier name, const NPVariant* args,
                  uint32_t argCount, NPVariant* result, const RefusalSink& refusals) {
    TraceHelper trace(TEXT("CScriptablePluginObject::Invoke"));
    if (name != nullptr) {
        for (const Method& m : rows)
            if (m.script.bOffered && name == NPN_GetStringIdentifier(m.name.psz))
                return RunMethod(m, dialect, pszVersion, pAgent, args, argCount, result, refusals);
    }
    if (TraceIsEnabled(TRACE_FLAG_ERROR))
        TRACE_FAILED("CScriptablePluginObject::Invoke", IdentifierName(name).c_str(), E_INVALIDARG,
                     "Unknown method");
    return false;
}

bool ScriptInvokeDefault(NPVariant* result) {
    TraceHelper trace(TEXT("CScriptablePluginObject::InvokeDefault"));
    return ConvertStringToNPVariant(kDefaultMethodResult, result);
}

bool ScriptProperty(const WCHAR* pwszOperation, NPIdentifier name) {
    TraceHelper trace(pwszOperation);
    if (TraceIsEnabled(TRACE_FLAG_INFO))
        TraceValueA("Property", IdentifierName(name).c_str());
    return false;
}
