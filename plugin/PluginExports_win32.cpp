// Windows: the library entry point and the one-table NP_Initialize.
#include "plugin/PluginExports.h"

HMODULE g_hInstance = nullptr;

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH)
        g_hInstance = hInstance;
    return TRUE;
}

extern "C" NPError NP_Initialize(NPNetscapeFuncs* pFuncs) {
    return PluginInitialize(pFuncs);
}
