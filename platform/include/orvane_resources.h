// POSIX stand-in for a module's resource section. Each deliverable links one
// table (built from resources/ with the same sources the Windows resource
// compiler reads); LoadStringW and the resource functions read it.
#pragma once
#include "windows.h"

typedef struct ORVANE_STRING_RESOURCE {
    UINT id;
    LANGID language;
    const WCHAR* text;
} ORVANE_STRING_RESOURCE;

typedef struct ORVANE_MODULE_RESOURCES {
    const ORVANE_STRING_RESOURCE* strings;
    size_t stringCount;
} ORVANE_MODULE_RESOURCES;

#ifdef __cplusplus
extern "C" {
#endif
// Defined by the module's resource object; absent (null) in a module without resources.
extern const ORVANE_MODULE_RESOURCES g_OrvaneModuleResources __attribute__((weak));
#ifdef __cplusplus
}
#endif
