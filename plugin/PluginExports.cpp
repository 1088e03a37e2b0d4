#include "plugin/PluginExports.h"

#include "plugin/NPFunctions.h"
#include "plugin/Plugin.h"
#include "foundation/Trace.h"

#define TRACE_MODULE "PluginExports"

namespace {

// A browser may initialise a library again after a failed attempt; the
// provider is registered once and released by NP_Shutdown.
bool g_bTraceRegistered = false;

// An entry point's step, with no exception let out into the browser: one
// is traced as op's failed step and answered with NPERR_GENERIC_ERROR.
template <class Step> NPError WithoutExceptions(const char* op, const char* step, Step run) {
    try {
        return run();
    } catch (...) {
        TRACE_FAILED(op, step, NPERR_GENERIC_ERROR, "exception");
        return NPERR_GENERIC_ERROR;
    }
}

} // namespace

NPError PluginInitialize(NPNetscapeFuncs* pBrowserFuncs) {
    if (!g_bTraceRegistered) {
        RegisterTraceProvider();
        g_bTraceRegistered = true;
    }
    TraceHelper trace(TEXT("NP_Initialize"));
    return WithoutExceptions("NP_Initialize", "Copy browser functions",
                             [&] { return CopyBrowserFuncs(pBrowserFuncs); });
}

extern "C" NPError NP_GetEntryPoints(NPPluginFuncs* pFuncs) {
    TraceHelper trace(TEXT("NP_GetEntryPoints"));
    return WithoutExceptions("NP_GetEntryPoints", "Fill entry points",
                             [&] { return FillPluginFuncs(pFuncs); });
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
