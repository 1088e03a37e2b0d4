#include "plugin/NPFunctions.h"

#include "plugin/Plugin.h"
#include "plugin/ScriptablePluginObjectBase.h"
#include "foundation/Trace.h"

#include <cstring>

#define TRACE_MODULE "NPFunctions"

namespace {

// The browser's table as copied by NP_Initialize; written once, before the
// first instance, and read on the browser's plug-in thread only.
NPNetscapeFuncs g_NPNFuncs = {};

// The object class of every scriptable object of this library.
NPClass g_ScriptableClass = {
    NP_CLASS_STRUCT_VERSION_CTOR,
    AllocateCScriptableObject,
    CScriptablePluginObjectBase::_Deallocate,
    CScriptablePluginObjectBase::_Invalidate,
    CScriptablePluginObjectBase::_HasMethod,
    CScriptablePluginObjectBase::_Invoke,
    CScriptablePluginObjectBase::_InvokeDefault,
    CScriptablePluginObjectBase::_HasProperty,
    CScriptablePluginObjectBase::_GetProperty,
    CScriptablePluginObjectBase::_SetProperty,
    CScriptablePluginObjectBase::_RemoveProperty,
    CScriptablePluginObjectBase::_Enumerate,
    CScriptablePluginObjectBase::_Construct,
};
NPClass* g_pScriptableClass = nullptr;

// Whether the browser gave the table op works on; a missing one is traced.
bool TableGiven(const char* op, const void* pFuncs) {
    if (pFuncs != nullptr)
        return true;
    TRACE_FAILED(op, "Check parameter", NPERR_INVALID_FUNCTABLE_ERROR, "NULL == pFuncs");
    return false;
}

} // namespace

NPError FillPluginFuncs(NPPluginFuncs* pFuncs) {
    TraceHelper trace(TEXT("FillPluginFuncs"));
    if (!TableGiven("FillPluginFuncs", pFuncs))
        return NPERR_INVALID_FUNCTABLE_ERROR;
    if (pFuncs->size < kMinPluginFuncsSize) {
        TRACE_FAILED("FillPluginFuncs", "Check parameter", NPERR_INVALID_FUNCTABLE_ERROR,
                     "pFuncs->size < kMinPluginFuncsSize");
        return NPERR_INVALID_FUNCTABLE_ERROR;
    }
    // Only members within the size the browser gave are written.
    pFuncs->version = kPluginFuncsVersion;
    pFuncs->newp = NPP_New;
    pFuncs->destroy = NPP_Destroy;
    pFuncs->setwindow = NPP_SetWindow;
    pFuncs->newstream = NPP_NewStream;
    pFuncs->destroystream = NPP_DestroyStream;
    pFuncs->asfile = NPP_StreamAsFile;
    pFuncs->writeready = NPP_WriteReady;
    pFuncs->write = NPP_Write;
    pFuncs->print = NPP_Print;
    pFuncs->event = NPP_HandleEvent;
    pFuncs->urlnotify = NPP_URLNotify;
    pFuncs->javaClass = nullptr;
    pFuncs->getvalue = NPP_GetValue;
    pFuncs->setvalue = NPP_SetValue;
    g_pScriptableClass = &g_ScriptableClass;
    TRACE_OK("FillPluginFuncs", "Fill instance callbacks");
    return NPERR_NO_ERROR;
}

NPError CopyBrowserFuncs(const NPNetscapeFuncs* pFuncs) {
    TraceHelper trace(TEXT("CopyBrowserFuncs"));
    if (!TableGiven("CopyBrowserFuncs", pFuncs))
        return NPERR_INVALID_FUNCTABLE_ERROR;
    if ((pFuncs->version >> 8) > NP_VERSION_MAJOR) {
        TRACE_FAILED("CopyBrowserFuncs", "Check version", NPERR_INCOMPATIBLE_VERSION_ERROR,
                     "(pFuncs->version >> 8) > NP_VERSION_MAJOR");
        return NPERR_INCOMPATIBLE_VERSION_ERROR;
    }
    if (pFuncs->size < kMinBrowserFuncsSize) {
        TRACE_FAILED("CopyBrowserFuncs", "Check size", NPERR_INVALID_FUNCTABLE_ERROR,
                     "pFuncs->size < kMinBrowserFuncsSize");
        return NPERR_INVALID_FUNCTABLE_ERROR;
    }
    // Never read past the table the browser owns: a newer browser's larger
    // table gives all our members, an older one only its own.
    const size_t cbCopy = pFuncs->size < sizeof(g_NPNFuncs) ? pFuncs->size : sizeof(g_NPNFuncs);
    g_NPNFuncs = NPNetscapeFuncs{};
    std::memcpy(&g_NPNFuncs, pFuncs, cbCopy);
    g_NPNFuncs.size = uint16_t(cbCopy);
    TRACE_OK("CopyBrowserFuncs", "Copy browser functions");
    return NPERR_NO_ERROR;
}

void ForgetBrowserFuncs() {
    g_NPNFuncs = NPNetscapeFuncs{};
}

NPClass* ScriptableObjectClass() {
    return g_pScriptableClass;
}

void* NPN_MemAlloc(uint32_t size) {
    TraceHelper trace(TEXT("NPN_MemAlloc"));
    if (g_NPNFuncs.memalloc == nullptr) {
        TRACE_FAILED("NPN_MemAlloc", "Browser function", E_POINTER, "NULL == memalloc");
        return nullptr;
    }
    return g_NPNFuncs.memalloc(size);
}

void NPN_MemFree(void* ptr) {
    TraceHelper trace(TEXT("NPN_MemFree"));
    if (ptr != nullptr && g_NPNFuncs.memfree != nullptr)
        g_NPNFuncs.memfree(ptr);
}

NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name) {
    TraceHelper trace(TEXT("NPN_GetStringIdentifier"));
    if (g_NPNFuncs.getstringidentifier == nullptr || name == nullptr)
        return nullptr;
    return g_NPNFuncs.getstringidentifier(name);
}

NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier) {
    TraceHelper trace(TEXT("NPN_UTF8FromIdentifier"));
    if (g_NPNFuncs.utf8fromidentifier == nullptr)
        return nullptr;
    return g_NPNFuncs.utf8fromidentifier(identifier);
}

NPObject* NPN_CreateObject(NPP npp) {
    TraceHelper trace(TEXT("NPN_CreateObject"));
    if (g_NPNFuncs.createobject == nullptr || g_pScriptableClass == nullptr) {
        TRACE_FAILED("NPN_CreateObject", "Browser function", E_POINTER,
                     "NULL == createobject || NULL == g_pScriptableClass");
        return nullptr;
    }
    return g_NPNFuncs.createobject(npp, g_pScriptableClass);
}

NPObject* NPN_RetainObject(NPObject* obj) {
    TraceHelper trace(TEXT("NPN_RetainObject"));
    if (g_NPNFuncs.retainobject == nullptr || obj == nullptr)
        return obj;
    return g_NPNFuncs.retainobject(obj);
}

void NPN_ReleaseObject(NPObject* obj) {
    TraceHelper trace(TEXT("NPN_ReleaseObject"));
    if (g_NPNFuncs.releaseobject != nullptr && obj != nullptr)
        g_NPNFuncs.releaseobject(obj);
}
