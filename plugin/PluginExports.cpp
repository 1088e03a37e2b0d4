#include "plugin/PluginExports.h"

#include "plugin/NPFunctions.h"
#include "plugin/Plugin.h"
#include "foundation/Trace.h"

#define TRACE_MODULE "PluginExports"

namespace {

// A browser may initialise a library again after a failed attempt; the
// provider is registered once and released by NP_Shutdown.
bool g_bTraceRegistered = false;

} // namespace

NPError PluginInitialize(NPNetscapeFuncs* pBrowserFuncs) {
    if (!g_bTraceRegistered) {
        RegisterTraceProvider();
        g_bTraceRegistered = true;
    }
    TraceHelper trace(TEXT("NP_Initialize"));
    try {
        return CopyBrowserFuncs(pBrowserFuncs);
    } catch (...) {
        TRACE_FAILED("NP_Initialize", "Copy browser functions", NPERR_GENERIC_ERROR, "exception");
        return NPERR_GENERIC_ERROR;
    }
}

extern "C" NPError NP_GetEntryPoints(NPPluginFuncs* pFuncs) {
    TraceHelper trace(TEXT("NP_GetEntryPoints"));
    try {
        return FillPluginFuncs(pFuncs);
    } catch (...) {
        TRACE_FAILED("NP_GetEntryPoints", "Fill entry points", NPERR_GENERIC_ERROR, "exception");
        return NPERR_GENERIC_ERROR;
    }
}

extern "C" NPError NP_Shutdown(void) {
    {
        TraceHelper trace(TEXT("NP_Shutdown"));
        ForgetBrowserFuncs();
    }
    if (g_bTraceRegistered) {
        UnregisterTraceProvider();
        g_bTraceRegistered = false;
    }
    return NPERR_NO_ERROR;
}

extern "C" const char* NP_GetMIMEDescription(void) {
    return kPluginMIMEDescription;
}
