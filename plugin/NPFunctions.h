// The plug-in's side of the two function tables: the browser functions it
// calls (each a traced forwarder to the table copied in NP_Initialize) and the
// instance callbacks and object class it hands to the browser.
#pragma once
#include "plugin/npapi/NPApi.h"

#include <cstddef>

// Smallest tables the frame accepts: everything up to and including the last
// member it fills (the plug-in table, up to setvalue) or copies (the browser
// table, up to getauthenticationinfo). On a 32-bit build these are the
// traditional 60 and 196 bytes; on 64-bit the same members take 120 and 392.
constexpr uint16_t kMinPluginFuncsSize =
    uint16_t(offsetof(NPPluginFuncs, setvalue) + sizeof(NPP_SetValueProcPtr));
constexpr uint16_t kMinBrowserFuncsSize = uint16_t(
    offsetof(NPNetscapeFuncs, getauthenticationinfo) + sizeof(NPN_GetAuthenticationInfoPtr));
static_assert(sizeof(void*) != 4 || (kMinPluginFuncsSize == 60 && kMinBrowserFuncsSize == 196));

// The version the plug-in reports in its table.
constexpr uint16_t kPluginFuncsVersion = 22;

// FillPluginFuncs: checks pFuncs (null, or a size below kMinPluginFuncsSize:
// NPERR_INVALID_FUNCTABLE_ERROR, nothing written) and fills the instance
// callbacks, version 22 and a null javaClass; remembers the object class so
// that scriptable objects can be created from then on.
[[nodiscard]] NPError FillPluginFuncs(NPPluginFuncs* pFuncs);

// CopyBrowserFuncs: checks the browser's table (null or too small:
// NPERR_INVALID_FUNCTABLE_ERROR; a major version other than 0:
// NPERR_INCOMPATIBLE_VERSION_ERROR) and copies the members it offers. Members
// beyond its size stay null, and the forwarders then do nothing.
[[nodiscard]] NPError CopyBrowserFuncs(const NPNetscapeFuncs* pFuncs);

// ForgetBrowserFuncs: clears the copied table (NP_Shutdown).
void ForgetBrowserFuncs();

// ScriptableObjectClass: the object class set up by FillPluginFuncs, or null
// before it was called.
NPClass* ScriptableObjectClass();

// Browser functions. Each forwards to the copied table; when the browser
// never offered the function they return null / false / 0.
void* NPN_MemAlloc(uint32_t size);
void NPN_MemFree(void* ptr);
NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name);
// NPN_UTF8FromIdentifier: the browser's copy of the name; free it with NPN_MemFree.
NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier);
// NPN_CreateObject: creates an object of the remembered class for npp.
NPObject* NPN_CreateObject(NPP npp);
NPObject* NPN_RetainObject(NPObject* obj);
void NPN_ReleaseObject(NPObject* obj);
