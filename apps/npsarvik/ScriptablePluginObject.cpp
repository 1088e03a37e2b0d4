#include "apps/npsarvik/ScriptablePluginObject.h"

#include "foundation/Trace.h"
#include "plugin/PluginExports.h"
#include "signing/SignMethods.h"
#include "version/npSarvik.h"

#include <new>

#define TRACE_MODULE "ScriptablePluginObject"

NPObject* AllocateCScriptableObject(NPP npp, NPClass*) {
    TraceHelper trace(TEXT("AllocateCScriptableObject"));
    auto* pObject = new (std::nothrow) orvane::signing::CScriptablePluginObject(npp);
    if (pObject == nullptr) {
        TRACE_FAILED("AllocateCScriptableObject", "New object", E_OUTOFMEMORY, "NULL == pObject");
        return nullptr;
    }
    return pObject;
}

namespace orvane::signing {

CScriptablePluginObject::CScriptablePluginObject(NPP npp)
    : CScriptableAgentObject(npp, kSignMethods, kNpSarvikVersion, g_hInstance) {}

} // namespace orvane::signing
