// POSIX stand-in for a module's resource section. Each deliverable links one
// table (built from resources/ with the same sources the Windows resource
// compiler reads); LoadStringW and FindResourceW/LoadResource read it.
#pragma once
#include "windows.h"

typedef struct ORVANE_STRING_RESOURCE {
    UINT id;
    LANGID language;
    const WCHAR* text;
} ORVANE_STRING_RESOURCE;

// A typed binary resource ("PNG" 105, ...), embedded at build time from the
// file the Windows resource script names for it. The type is a name (upper
// case, as the resource compiler stores it) or MAKEINTRESOURCEW(n).
typedef struct ORVANE_BINARY_RESOURCE {
    const WCHAR* type;
    UINT id;
    const BYTE* data;
    DWORD size;
} ORVANE_BINARY_RESOURCE;

typedef struct ORVANE_MODULE_RESOURCES {
    const ORVANE_STRING_RESOURCE* strings;
    size_t stringCount;
    const ORVANE_BINARY_RESOURCE* binaries;
    size_t binaryCount;
} ORVANE_MODULE_RESOURCES;

#ifdef __cplusplus
extern "C" {
#endif
// Defined by the module's resource object; absent (null) in a module without resources.
extern const ORVANE_MODULE_RESOURCES g_OrvaneModuleResources __attribute__((weak));
#ifdef __cplusplus
}
#endif
