#include "apps/nppellin/ScriptablePluginObject.h"

#include "enrolment/EnrolMethods.h"
#include "foundation/Trace.h"
#include "plugin/PluginExports.h"
#include "version/npPellin.h"

#include <new>

#define TRACE_MODULE "ScriptablePluginObject"

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
    : CScriptableAgentObject(npp, kEnrolMethods, kNpPellinVersion, g_hInstance) {}
