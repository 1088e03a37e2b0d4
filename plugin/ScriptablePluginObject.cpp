#include "plugin/ScriptablePluginObject.h"

#include "foundation/Misc.h"
#include "plugin/NPFunctions.h"
#include "plugin/PluginExports.h"
#include "foundation/Trace.h"

#include <memory>
#include <new>

#define TRACE_MODULE "ScriptablePluginObject"

namespace {

constexpr const char* kVersion = "3.2.0.1";
constexpr const char* kDefaultMethodResult = "default method return val";

bool IsNumber(const NPVariant& v) {
    return v.type == NPVariantType_Int32 || v.type == NPVariantType_Double;
}

bool IsString(const NPVariant& v) {
    return v.type == NPVariantType_String;
}

struct BstrDeleter {
    void operator()(WCHAR* p) const { SysFreeString(p); }
};
using BstrPtr = std::unique_ptr<WCHAR, BstrDeleter>;

// WideArg: a string argument as UTF-16 text, through a NUL-terminated copy of
// its UTF-8 characters.
HRESULT WideArg(const NPVariant& v, std::unique_ptr<WCHAR[]>* ppwszOut) {
    char* pszRaw = nullptr;
    const NPString& s = v.value.stringValue;
    if (s.UTF8Length > 0x7FFFFFFEu)
        return E_INVALIDARG;
    HRESULT hResult = ConverNPStringtoNULLEndString(&pszRaw, s.UTF8Characters, int(s.UTF8Length));
    std::unique_ptr<char[]> pszUtf8(pszRaw);
    if (FAILED(hResult))
        return hResult;
    WCHAR* pwszRaw = nullptr;
    int cch = 0;
    hResult = UTF8ToUTF16(pszUtf8.get(), &pwszRaw, &cch);
    if (FAILED(hResult))
        return hResult;
    ppwszOut->reset(pwszRaw);
    return VURO_OK;
}

// TextResult: the agent's wide text as a UTF-8 string variant from the
// browser's allocator.
bool TextResult(const WCHAR* pwszText, NPVariant* result) {
    static const WCHAR kEmpty[] = {0};
    char* pszRaw = nullptr;
    int cb = 0;
    HRESULT hResult = UTF16ToUTF8(pwszText != nullptr ? pwszText : kEmpty, &pszRaw, &cb);
    std::unique_ptr<char[]> pszUtf8(pszRaw);
    if (FAILED(hResult)) {
        TRACE_FAILED("TextResult", "UTF16ToUTF8", hResult, "FAILED(hResult)");
        return false;
    }
    return ConvertStringToNPVariant(pszUtf8.get(), result);
}

// The two ways a call ends, by the kind of method.
bool FinishText(bool bSuccess, NPVariant* result) {
    if (!bSuccess && result != nullptr)
        NULL_TO_NPVARIANT(*result);
    return bSuccess;
}

bool FinishBool(bool bSuccess, NPVariant* result) {
    if (result != nullptr)
        BOOLEAN_TO_NPVARIANT(bSuccess, *result);
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

} // namespace

const CScriptablePluginObject::Method CScriptablePluginObject::s_Methods[] = {
    {"VURO_GetCSPInfo", &CScriptablePluginObject::npVURO_GetCSPInfo},
    {"VURO_GetVersion", &CScriptablePluginObject::npVURO_GetVersion},
    {"VURO_GetAllCertInfo", &CScriptablePluginObject::npVURO_GetAllCertInfo},
    {"VURO_SetCSPInfo", &CScriptablePluginObject::npVURO_SetCSPInfo},
    {"VURO_SetKeyAlgorithm", &CScriptablePluginObject::npVURO_SetKeyAlgorithm},
    {"VURO_GetContainer", &CScriptablePluginObject::npVURO_GetContainer},
    {"VURO_ImportSignCert", &CScriptablePluginObject::npVURO_ImportSignCert},
    {"VURO_PKCS10CertRequisition", &CScriptablePluginObject::npVURO_PKCS10CertRequisition},
    {"VURO_HavePermissiontoGenerateKeyPair",
     &CScriptablePluginObject::npVURO_HavePermissiontoGenerateKeyPair},
    {"VURO_GetLastErrorDesc", &CScriptablePluginObject::npVURO_GetLastErrorDesc},
};

NPObject* AllocateCScriptableObject(NPP npp, NPClass*) {
    TraceHelper trace(TEXT("AllocateCScriptableObject"));
    CScriptablePluginObject* pObject = new (std::nothrow) CScriptablePluginObject(npp);
    if (pObject == nullptr) {
        TRACE_FAILED("AllocateCScriptableObject", "New object", E_OUTOFMEMORY, "NULL == pObject");
        return nullptr;
    }
    return pObject;
}

CScriptablePluginObject::CScriptablePluginObject(NPP npp)
    : CScriptablePluginObjectBase(npp), m_objCryptoAgent(g_hInstance) {}

CScriptablePluginObject::~CScriptablePluginObject() = default;

bool CScriptablePluginObject::HasMethod(NPIdentifier name) {
    TraceHelper trace(TEXT("CScriptablePluginObject::HasMethod"));
    for (const Method& m : s_Methods)
        if (name != nullptr && name == NPN_GetStringIdentifier(m.pszName))
            return true;
    if (TraceIsEnabled(TRACE_FLAG_WARNING))
        TraceValueA("Not a method", IdentifierName(name).c_str());
    return false;
}

bool CScriptablePluginObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                                     NPVariant* result) {
    TraceHelper trace(TEXT("CScriptablePluginObject::Invoke"));
    if (name != nullptr) {
        for (const Method& m : s_Methods)
            if (name == NPN_GetStringIdentifier(m.pszName))
                return (this->*m.pfnHandler)(args, argCount, result);
    }
    if (TraceIsEnabled(TRACE_FLAG_ERROR))
        TRACE_FAILED("CScriptablePluginObject::Invoke", IdentifierName(name).c_str(), E_INVALIDARG,
                     "Unknown method");
    return false;
}

bool CScriptablePluginObject::InvokeDefault(const NPVariant*, uint32_t, NPVariant* result) {
    TraceHelper trace(TEXT("CScriptablePluginObject::InvokeDefault"));
    return ConvertStringToNPVariant(kDefaultMethodResult, result);
}

bool CScriptablePluginObject::HasProperty(NPIdentifier name) {
    TraceHelper trace(TEXT("CScriptablePluginObject::HasProperty"));
    if (TraceIsEnabled(TRACE_FLAG_INFO))
        TraceValueA("Property", IdentifierName(name).c_str());
    return false;
}

bool CScriptablePluginObject::GetProperty(NPIdentifier name, NPVariant*) {
    TraceHelper trace(TEXT("CScriptablePluginObject::GetProperty"));
    if (TraceIsEnabled(TRACE_FLAG_INFO))
        TraceValueA("Property", IdentifierName(name).c_str());
    return false;
}

bool CScriptablePluginObject::SetProperty(NPIdentifier name, const NPVariant*) {
    TraceHelper trace(TEXT("CScriptablePluginObject::SetProperty"));
    if (TraceIsEnabled(TRACE_FLAG_INFO))
        TraceValueA("Property", IdentifierName(name).c_str());
    return false;
}

// The methods without arguments that hand the agent's text to the page.
#define NO_ARGS_TEXT_METHOD(handler, agentCall, reason)                                            \
    bool CScriptablePluginObject::handler(const NPVariant* args, uint32_t argCount,                \
                                          NPVariant* result) {                                     \
        TraceHelper trace(TEXT("CScriptablePluginObject::" #handler));                             \
        TraceParameterInfo(args, int(argCount));                                                   \
        if (0 != argCount) {                                                                       \
            TRACE_FAILED("CScriptablePluginObject::" #handler, "Invalid parameters", E_INVALIDARG, \
                         reason);                                                                  \
            return FinishText(false, result);                                                      \
        }                                                                                          \
        BSTR bstrRaw = nullptr;                                                                    \
        HRESULT hResult = m_objCryptoAgent.agentCall(&bstrRaw);                                    \
        BstrPtr bstrText(bstrRaw);                                                                 \
        if (FAILED(hResult)) {                                                                     \
            TRACE_FAILED("CScriptablePluginObject::" #handler, #agentCall, hResult,                \
                         "FAILED(hResult)");                                                       \
            return FinishText(false, result);                                                      \
        }                                                                                          \
        return FinishText(TextResult(bstrText.get(), result), result);                             \
    }

NO_ARGS_TEXT_METHOD(npVURO_GetCSPInfo, VURO_GetCSPInfo, "0 != argCount")
NO_ARGS_TEXT_METHOD(npVURO_GetAllCertInfo, VURO_GetAllCertInfo, "argCount != 0")
NO_ARGS_TEXT_METHOD(npVURO_GetContainer, VURO_GetContainer, "argCount != 0")
NO_ARGS_TEXT_METHOD(npVURO_GetLastErrorDesc, VURO_GetLastErrorDesc, "0 != argCount")

#undef NO_ARGS_TEXT_METHOD

bool CScriptablePluginObject::npVURO_GetVersion(const NPVariant* args, uint32_t argCount,
                                                NPVariant* result) {
    TraceHelper trace(TEXT("CScriptablePluginObject::npVURO_GetVersion"));
    TraceParameterInfo(args, int(argCount));
    if (0 != argCount) {
        TRACE_FAILED("CScriptablePluginObject::npVURO_GetVersion", "Invalid parameters",
                     E_INVALIDARG, "0 != argCount");
        return FinishText(false, result);
    }
    return FinishText(ConvertStringToNPVariant(kVersion, result), result);
}

bool CScriptablePluginObject::npVURO_SetCSPInfo(const NPVariant* args, uint32_t argCount,
                                                NPVariant* result) {
    static const char kOperation[] = "CScriptablePluginObject::npVURO_SetCSPInfo";
    TraceHelper trace(TEXT("CScriptablePluginObject::npVURO_SetCSPInfo"));
    TraceParameterInfo(args, int(argCount));
    if (argCount != 2 || args == nullptr || !IsNumber(args[0]) || !IsString(args[1])) {
        TRACE_FAILED(kOperation, "Invalid parameters", E_INVALIDARG,
                     "(argCount != 2 || (args[0].type != NPVariantType_Int32 && args[0].type != "
                     "NPVariantType_Double) || args[1].type != NPVariantType_String)");
        return FinishBool(false, result);
    }
    const LONG lKeyLength = NPVariantToLong(&args[0]);
    std::unique_ptr<WCHAR[]> pwszCSPName;
    HRESULT hResult = WideArg(args[1], &pwszCSPName);
    if (FAILED(hResult)) {
        TRACE_FAILED(kOperation, "Convert parameters", hResult, "FAILED(hResult)");
        return FinishBool(false, result);
    }
    VARIANT_BOOL varResult = VARIANT_FALSE;
    hResult = m_objCryptoAgent.VURO_SetCSPInfo(lKeyLength, pwszCSPName.get(), &varResult);
    return FinishBool(BoolOutcome(kOperation, hResult, varResult), result);
}

bool CScriptablePluginObject::npVURO_SetKeyAlgorithm(const NPVariant* args, uint32_t argCount,
                                                     NPVariant* result) {
    static const char kOperation[] = "CScriptablePluginObject::npVURO_SetKeyAlgorithm";
    TraceHelper trace(TEXT("CScriptablePluginObject::npVURO_SetKeyAlgorithm"));
    TraceParameterInfo(args, int(argCount));
    if (argCount != 1 || args == nullptr || !IsString(args[0])) {
        TRACE_FAILED(kOperation, "Invalid parameters", E_INVALIDARG,
                     "(argCount != 1 || args[0].type != NPVariantType_String)");
        return FinishBool(false, result);
    }
    std::unique_ptr<WCHAR[]> pwszKeyAlgorithm;
    HRESULT hResult = WideArg(args[0], &pwszKeyAlgorithm);
    if (FAILED(hResult)) {
        TRACE_FAILED(kOperation, "Convert parameters", hResult, "FAILED(hResult)");
        return FinishBool(false, result);
    }
    VARIANT_BOOL varResult = VARIANT_FALSE;
    hResult = m_objCryptoAgent.VURO_SetKeyAlgorithm(pwszKeyAlgorithm.get(), &varResult);
    return FinishBool(BoolOutcome(kOperation, hResult, varResult), result);
}

bool CScriptablePluginObject::npVURO_ImportSignCert(const NPVariant* args, uint32_t argCount,
                                                    NPVariant* result) {
    static const char kOperation[] = "CScriptablePluginObject::npVURO_ImportSignCert";
    TraceHelper trace(TEXT("CScriptablePluginObject::npVURO_ImportSignCert"));
    TraceParameterInfo(args, int(argCount));
    if (argCount != 3 || args == nullptr || !IsNumber(args[0]) || !IsString(args[1]) ||
        !IsString(args[2])) {
        TRACE_FAILED(kOperation, "Invalid parameters", E_INVALIDARG,
                     "(argCount != 3 || (args[0].type != NPVariantType_Int32 && args[0].type != "
                     "NPVariantType_Double) || args[1].type != NPVariantType_String || "
                     "args[2].type != NPVariantType_String)");
        return FinishBool(false, result);
    }
    const LONG lCertType = NPVariantToLong(&args[0]);
    std::unique_ptr<WCHAR[]> pwszSignCert;
    std::unique_ptr<WCHAR[]> pwszContainerName;
    HRESULT hResult = WideArg(args[1], &pwszSignCert);
    if (SUCCEEDED(hResult))
        hResult = WideArg(args[2], &pwszContainerName);
    if (FAILED(hResult)) {
        TRACE_FAILED(kOperation, "Convert parameters", hResult, "FAILED(hResult)");
        return FinishBool(false, result);
    }
    VARIANT_BOOL varResult = VARIANT_FALSE;
    hResult = m_objCryptoAgent.VURO_ImportSignCert(lCertType, pwszSignCert.get(),
                                                   pwszContainerName.get(), &varResult);
    return FinishBool(BoolOutcome(kOperation, hResult, varResult), result);
}

bool CScriptablePluginObject::npVURO_PKCS10CertRequisition(const NPVariant* args, uint32_t argCount,
                                                           NPVariant* result) {
    static const char kOperation[] = "CScriptablePluginObject::npVURO_PKCS10CertRequisition";
    TraceHelper trace(TEXT("CScriptablePluginObject::npVURO_PKCS10CertRequisition"));
    TraceParameterInfo(args, int(argCount));
    if (argCount != 3 || args == nullptr || !IsString(args[0]) || !IsNumber(args[1]) ||
        !IsNumber(args[2])) {
        TRACE_FAILED(kOperation, "Invalid parameters", E_INVALIDARG,
                     "(argCount != 3 || args[0].type != NPVariantType_String || (args[1].type != "
                     "NPVariantType_Int32 && args[1].type != NPVariantType_Double) || "
                     "(args[2].type != NPVariantType_Int32 && args[2].type != "
                     "NPVariantType_Double))");
        return FinishText(false, result);
    }
    std::unique_ptr<WCHAR[]> pwszSubjectDN;
    HRESULT hResult = WideArg(args[0], &pwszSubjectDN);
    if (FAILED(hResult)) {
        TRACE_FAILED(kOperation, "Convert parameters", hResult, "FAILED(hResult)");
        return FinishText(false, result);
    }
    const LONG lCertType = NPVariantToLong(&args[1]);
    const LONG lGenKeyFlags = NPVariantToLong(&args[2]);
    BSTR bstrRaw = nullptr;
    hResult = m_objCryptoAgent.VURO_PKCS10CertRequisition(pwszSubjectDN.get(), lCertType,
                                                          lGenKeyFlags, &bstrRaw);
    BstrPtr bstrRequest(bstrRaw);
    if (FAILED(hResult)) {
        TRACE_FAILED(kOperation, "VURO_PKCS10CertRequisition", hResult, "FAILED(hResult)");
        return FinishText(false, result);
    }
    return FinishText(TextResult(bstrRequest.get(), result), result);
}

bool CScriptablePluginObject::npVURO_HavePermissiontoGenerateKeyPair(const NPVariant* args,
                                                                     uint32_t argCount,
                                                                     NPVariant* result) {
    static const char kOperation[] =
        "CScriptablePluginObject::npVURO_HavePermissiontoGenerateKeyPair";
    TraceHelper trace(TEXT("CScriptablePluginObject::npVURO_HavePermissiontoGenerateKeyPair"));
    TraceParameterInfo(args, int(argCount));
    if (0 != argCount) {
        TRACE_FAILED(kOperation, "Invalid parameters", E_INVALIDARG, "0 != argCount");
        return FinishBool(false, result);
    }
    VARIANT_BOOL varResult = VARIANT_FALSE;
    HRESULT hResult = m_objCryptoAgent.VURO_HavePermissiontoGenerateKeyPair(&varResult);
    return FinishBool(BoolOutcome(kOperation, hResult, varResult), result);
}
