#include "plugin/ScriptablePluginObjectBase.h"

#include "plugin/NPFunctions.h"
#include "foundation/Trace.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#define TRACE_MODULE "ScriptablePluginObjectBase"

void CScriptablePluginObjectBase::Invalidate() {}

bool CScriptablePluginObjectBase::HasMethod(NPIdentifier) {
    return false;
}

bool CScriptablePluginObjectBase::Invoke(NPIdentifier, const NPVariant*, uint32_t, NPVariant*) {
    return false;
}

bool CScriptablePluginObjectBase::InvokeDefault(const NPVariant*, uint32_t, NPVariant*) {
    return false;
}

bool CScriptablePluginObjectBase::HasProperty(NPIdentifier) {
    return false;
}

bool CScriptablePluginObjectBase::GetProperty(NPIdentifier, NPVariant*) {
    return false;
}

bool CScriptablePluginObjectBase::SetProperty(NPIdentifier, const NPVariant*) {
    return false;
}

bool CScriptablePluginObjectBase::RemoveProperty(NPIdentifier) {
    return false;
}

bool CScriptablePluginObjectBase::Enumerate(NPIdentifier**, uint32_t*) {
    return false;
}

bool CScriptablePluginObjectBase::Construct(const NPVariant*, uint32_t, NPVariant*) {
    return false;
}

namespace {

// The browser only hands an object to the functions of its own class, so the
// NPObject is always the base part of one of ours.
CScriptablePluginObjectBase* Owner(NPObject* npobj) {
    return static_cast<CScriptablePluginObjectBase*>(npobj);
}

// Runs one virtual operation with the guard every entry point has.
template <class F> bool Guarded(const char* pszName, NPObject* npobj, F f) {
    if (npobj == nullptr) {
        TRACE_FAILED(pszName, "Check parameter", E_POINTER, "NULL == npobj");
        return false;
    }
    try {
        return f(Owner(npobj));
    } catch (const std::bad_alloc&) {
        TRACE_FAILED(pszName, "Call object", E_OUTOFMEMORY, "std::bad_alloc");
    } catch (...) {
        TRACE_FAILED(pszName, "Call object", E_UNEXPECTED, "exception");
    }
    return false;
}

} // namespace

void CScriptablePluginObjectBase::_Deallocate(NPObject* npobj) {
    TraceHelper trace(TEXT("CScriptablePluginObjectBase::_Deallocate"));
    Guarded("CScriptablePluginObjectBase::_Deallocate", npobj, [](auto* p) {
        delete p;
        return true;
    });
}

void CScriptablePluginObjectBase::_Invalidate(NPObject* npobj) {
    TraceHelper trace(TEXT("CScriptablePluginObjectBase::_Invalidate"));
    Guarded("CScriptablePluginObjectBase::_Invalidate", npobj, [](auto* p) {
        p->Invalidate();
        return true;
    });
}

bool CScriptablePluginObjectBase::_HasMethod(NPObject* npobj, NPIdentifier name) {
    TraceHelper trace(TEXT("CScriptablePluginObjectBase::_HasMethod"));
    return Guarded("CScriptablePluginObjectBase::_HasMethod", npobj,
                   [&](auto* p) { return p->HasMethod(name); });
}

bool CScriptablePluginObjectBase::_Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                                          uint32_t argCount, NPVariant* result) {
    TraceHelper trace(TEXT("CScriptablePluginObjectBase::_Invoke"));
    return Guarded("CScriptablePluginObjectBase::_Invoke", npobj,
                   [&](auto* p) { return p->Invoke(name, args, argCount, result); });
}

bool CScriptablePluginObjectBase::_InvokeDefault(NPObject* npobj, const NPVariant* args,
                                                 uint32_t argCount, NPVariant* result) {
    TraceHelper trace(TEXT("CScriptablePluginObjectBase::_InvokeDefault"));
    return Guarded("CScriptablePluginObjectBase::_InvokeDefault", npobj,
                   [&](auto* p) { return p->InvokeDefault(args, argCount, result); });
}

bool CScriptablePluginObjectBase::_HasProperty(NPObject* npobj, NPIdentifier name) {
    TraceHelper trace(TEXT("CScriptablePluginObjectBase::_HasProperty"));
    return Guarded("CScriptablePluginObjectBase::_HasProperty", npobj,
                   [&](auto* p) { return p->HasProperty(name); });
}

bool CScriptablePluginObjectBase::_GetProperty(NPObject* npobj, NPIdentifier name,
                                               NPVariant* result) {
    TraceHelper trace(TEXT("CScriptablePluginObjectBase::_GetProperty"));
    return Guarded("CScriptablePluginObjectBase::_GetProperty", npobj,
                   [&](auto* p) { return p->GetProperty(name, result); });
}

bool CScriptablePluginObjectBase::_SetProperty(NPObject* npobj, NPIdentifier name,
                                               const NPVariant* value) {
    TraceHelper trace(TEXT("CScriptablePluginObjectBase::_SetProperty"));
    return Guarded("CScriptablePluginObjectBase::_SetProperty", npobj,
                   [&](auto* p) { return p->SetProperty(name, value); });
}

bool CScriptablePluginObjectBase::_RemoveProperty(NPObject* npobj, NPIdentifier name) {
    TraceHelper trace(TEXT("CScriptablePluginObjectBase::_RemoveProperty"));
    return Guarded("CScriptablePluginObjectBase::_RemoveProperty", npobj,
                   [&](auto* p) { return p->RemoveProperty(name); });
}

bool CScriptablePluginObjectBase::_Enumerate(NPObject* npobj, NPIdentifier** identifier,
                                             uint32_t* count) {
    TraceHelper trace(TEXT("CScriptablePluginObjectBase::_Enumerate"));
    return Guarded("CScriptablePluginObjectBase::_Enumerate", npobj,
                   [&](auto* p) { return p->Enumerate(identifier, count); });
}

bool CScriptablePluginObjectBase::_Construct(NPObject* npobj, const NPVariant* args,
                                             uint32_t argCount, NPVariant* result) {
    TraceHelper trace(TEXT("CScriptablePluginObjectBase::_Construct"));
    return Guarded("CScriptablePluginObjectBase::_Construct", npobj,
                   [&](auto* p) { return p->Construct(args, argCount, result); });
}

HRESULT ConverNPStringtoNULLEndString(std::string* pstrOut, const char* pszUTF8, int length) {
    if (TRACE_IF(pstrOut == nullptr || (pszUTF8 == nullptr && length > 0),
                 "ConverNPStringtoNULLEndString", "Check parameter", E_POINTER))
        return E_POINTER;
    if (TRACE_IF(length < 0, "ConverNPStringtoNULLEndString", "Check parameter", E_INVALIDARG))
        return E_INVALIDARG;
    try {
        pstrOut->assign(pszUTF8 != nullptr ? pszUTF8 : "", size_t(length));
    } catch (const std::bad_alloc&) {
        TRACE_FAILED("ConverNPStringtoNULLEndString", "New Memory", E_OUTOFMEMORY,
                     "std::bad_alloc");
        return E_OUTOFMEMORY;
    }
    return VURO_OK;
}

LONG NPVariantToLong(const NPVariant* pVariant) {
    if (pVariant == nullptr)
        return -1;
    if (pVariant->type == NPVariantType_Int32)
        return LONG(pVariant->value.intValue);
    if (pVariant->type == NPVariantType_Double) {
        // Out-of-range conversion is undefined in C++; script numbers are not
        // bounded, so clamp before truncating.
        const double d = pVariant->value.doubleValue;
        if (std::isnan(d))
            return 0;
        if (d >= 2147483647.0)
            return 2147483647;
        if (d <= -2147483648.0)
            return LONG(-2147483647 - 1);
        return LONG(std::trunc(d));
    }
    return -1;
}

void TraceParameterInfo(const NPVariant* args, int count) {
    if (!TraceIsEnabled(TRACE_FLAG_INFO))
        return;
    TraceValueNumber("argCount", count);
    if (args == nullptr)
        return;
    for (int i = 0; i < count; ++i) {
        const NPVariant& v = args[i];
        char szLine[128];
        switch (v.type) {
        case NPVariantType_Void:
            std::snprintf(szLine, sizeof(szLine), "args[%d]: void", i);
            break;
        case NPVariantType_Null:
            std::snprintf(szLine, sizeof(szLine), "args[%d]: null", i);
            break;
        case NPVariantType_Bool:
            std::snprintf(szLine, sizeof(szLine), "args[%d]: bool %s", i,
                          v.value.boolValue ? "true" : "false");
            break;
        case NPVariantType_Int32:
            std::snprintf(szLine, sizeof(szLine), "args[%d]: int32 %d", i, int(v.value.intValue));
            break;
        case NPVariantType_Double:
            std::snprintf(szLine, sizeof(szLine), "args[%d]: double %f", i, v.value.doubleValue);
            break;
        case NPVariantType_String:
            std::snprintf(szLine, sizeof(szLine), "args[%d]: string", i);
            break;
        case NPVariantType_Object:
            std::snprintf(szLine, sizeof(szLine), "args[%d]: object", i);
            break;
        default:
            std::snprintf(szLine, sizeof(szLine), "args[%d]: other", i);
            break;
        }
        TraceValueA("Parameter", szLine);
    }
}

bool ConvertStringToNPVariant(const char* pszText, NPVariant* pResult) {
    if (pszText == nullptr || pResult == nullptr) {
        TRACE_FAILED("ConvertStringToNPVariant", "Check parameter", E_POINTER,
                     "NULL == pszText || NULL == pResult");
        return false;
    }
    const size_t cchText = std::strlen(pszText);
    if (cchText >= 0xFFFFFFFFu) {
        TRACE_FAILED("ConvertStringToNPVariant", "Check length", E_INVALIDARG,
                     "cchText >= 0xFFFFFFFF");
        return false;
    }
    char* pszCopy = static_cast<char*>(NPN_MemAlloc(uint32_t(cchText + 1)));
    if (pszCopy == nullptr) {
        TRACE_FAILED("ConvertStringToNPVariant", "NPN_MemAlloc", E_OUTOFMEMORY, "NULL == pszCopy");
        return false;
    }
    std::memset(pszCopy, 0, cchText + 1);
    std::memcpy(pszCopy, pszText, cchText);
    STRINGN_TO_NPVARIANT(pszCopy, uint32_t(cchText), *pResult);
    return true;
}

std::string IdentifierName(NPIdentifier name) {
    NPUTF8* pszName = NPN_UTF8FromIdentifier(name);
    std::string strName = pszName != nullptr ? std::string(pszName) : std::string("<?>");
    // The browser hands out a copy of its own; leaving it would leak one per call.
    NPN_MemFree(pszName);
    return strName;
}
