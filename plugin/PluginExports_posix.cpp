// POSIX: Unix browsers hand both tables to NP_Initialize and ask NP_GetValue
// for the plug-in's name and description before any instance exists.
#include "plugin/PluginExports.h"

#include "plugin/NPFunctions.h"
#include "plugin/Plugin.h"
#include "foundation/Trace.h"

#define TRACE_MODULE "PluginExports"

// The stand-in's "module" is the library that links it, as DllMain's
// instance handle is on Windows.
HMODULE g_hInstance = GetModuleHandleW(nullptr);

extern "C" NPError NP_Initialize(NPNetscapeFuncs* pBrowserFuncs, NPPluginFuncs* pPluginFuncs) {
    NPError nResult = PluginInitialize(pBrowserFuncs);
    if (nResult != NPERR_NO_ERROR)
        return nResult;
    return NP_GetEntryPoints(pPluginFuncs);
}

extern "C" NPError NP_GetValue(void*, NPPVariable variable, void* value) {
    if (value == nullptr)
        return NPERR_INVALID_PARAM;
    switch (variable) {
    case NPPVpluginNameString:
        *static_cast<const char**>(value) = kPluginNameString;
        return NPERR_NO_ERROR;
    case NPPVpluginDescriptionString:
        *static_cast<const char**>(value) = kPluginDescriptionString;
        return NPERR_NO_ERROR;
    default:
        return NPERR_INVALID_PARAM;
    }
}
