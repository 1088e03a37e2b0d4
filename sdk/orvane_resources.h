// POSIX stand-in for a module's resource section. Each deliverable links one
// string table (built from resources/ with the same sources the Windows
// resource compiler reads); LoadStringW and the resource functions read it.
//
// Typed resources (FindResourceW, SizeofResource, LoadResource) come from
// blocks that objects of the module register when the module is loaded. The
// build writes one such object per orvane_add_binary_resources call (see
// cmake/BinaryResources.cmake), from the same list that becomes an .rc script
// for the Windows resource compiler. Every module links its own copy of the
// stand-in, so a module finds its own resources and no other's.
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

// One typed resource. A type or a name is either a text (typeName / name,
// upper case, as the resource compiler stores it) or, when that is null, the
// integer typeId / id.
typedef struct ORVANE_RESOURCE_ENTRY {
    const WCHAR* typeName;
    WORD typeId;
    const WCHAR* name;
    WORD id;
    const BYTE* data;
    DWORD size;
} ORVANE_RESOURCE_ENTRY;

// A block of resources; next belongs to the stand-in (the chain of
// registered blocks).
typedef struct ORVANE_RESOURCE_BLOCK {
    const ORVANE_RESOURCE_ENTRY* resources;
    size_t count;
    struct ORVANE_RESOURCE_BLOCK* next;
} ORVANE_RESOURCE_BLOCK;

#ifdef __cplusplus
extern "C" {
#endif
// Defined by the module's resource object; absent (null) in a module without resources.
extern const ORVANE_MODULE_RESOURCES g_OrvaneModuleResources __attribute__((weak));

// OrvaneRegisterResources: makes the block's resources visible to
// FindResourceW in this module. Called once per block while the module loads;
// the block must live as long as the module.
void OrvaneRegisterResources(ORVANE_RESOURCE_BLOCK* pBlock);
#ifdef __cplusplus
}
#endif
