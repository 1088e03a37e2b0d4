// The plug-in library's exports. Windows browsers call NP_GetEntryPoints and
// then NP_Initialize with their own table; Unix browsers call NP_Initialize
// with both tables and read the name through NP_GetValue. Each target's file
// (PluginExports_win32.cpp / PluginExports_posix.cpp) defines its
// NP_Initialize over the shared steps below.
#pragma once
#include "plugin/npapi/NPApi.h"

#include "foundation/Types.h"

// The library's own module handle: string tables and embedded resources are
// loaded from it.
extern HMODULE g_hInstance;

extern "C" {
// NP_GetEntryPoints: fills the instance callbacks (see FillPluginFuncs).
NPError NP_GetEntryPoints(NPPluginFuncs* pFuncs);
// NP_Shutdown: forgets the browser table and unregisters the trace provider.
NPError NP_Shutdown(void);
// NP_GetMIMEDescription: "application/npOrvane:*:npOrvane certificate utilities".
const char* NP_GetMIMEDescription(void);
}

// PluginInitialize: the shared body of NP_Initialize: registers the trace
// provider (once, until NP_Shutdown), then checks and copies the browser
// table. Returns 0, NPERR_INVALID_FUNCTABLE_ERROR or
// NPERR_INCOMPATIBLE_VERSION_ERROR.
[[nodiscard]] NPError PluginInitialize(NPNetscapeFuncs* pBrowserFuncs);
