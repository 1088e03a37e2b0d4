// String tables from the module's embedded resource table, in the
// user-interface language with English as the fallback, as the Windows
// resource loader does.
#include <windows.h>
#include <orvane_resources.h>

#include "internal/util.h"

namespace {

const ORVANE_STRING_RESOURCE* FindString(UINT id, LANGID preferred) {
    const ORVANE_MODULE_RESOURCES* table = &g_OrvaneModuleResources;
    if (table == nullptr || table->strings == nullptr)
        return nullptr;
    const ORVANE_STRING_RESOURCE* fallback = nullptr;
    for (size_t i = 0; i < table->stringCount; ++i) {
        const ORVANE_STRING_RESOURCE& s = table->strings[i];
        if (s.id != id)
            continue;
        if (PRIMARYLANGID(s.language) == PRIMARYLANGID(preferred))
            return &s;
        if (fallback == nullptr || PRIMARYLANGID(s.language) == LANG_ENGLISH)
            fallback = &s;
    }
    return fallback;
}

} // namespace

extern "C" int LoadStringW(HINSTANCE, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    if (lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const ORVANE_STRING_RESOURCE* s = FindString(uID, orvane::platform::CurrentUiLanguage());
    if (s == nullptr || s->text == nullptr || s->text[0] == 0) {
        if (cchBufferMax > 0)
            lpBuffer[0] = 0;
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    int len = lstrlenW(s->text);
    if (cchBufferMax == 0) {
        // As on Windows: hand out a read-only pointer to the resource itself.
        *reinterpret_cast<const WCHAR**>(lpBuffer) = s->text;
        return len;
    }
    int copy = len < cchBufferMax - 1 ? len : cchBufferMax - 1;
    for (int i = 0; i < copy; ++i)
        lpBuffer[i] = s->text[i];
    lpBuffer[copy] = 0;
    return copy;
}

// --- typed binary resources -----------------------------------------------------

namespace {

bool SameType(LPCWSTR want, LPCWSTR have) {
    if (IS_INTRESOURCE(want) || IS_INTRESOURCE(have))
        return want == have;
    return lstrcmpiW(want, have) == 0;
}

} // namespace

extern "C" HRSRC FindResourceW(HMODULE, LPCWSTR lpName, LPCWSTR lpType) {
    if (lpName == nullptr || lpType == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const ORVANE_MODULE_RESOURCES* table = &g_OrvaneModuleResources;
    bool typeSeen = false;
    if (table != nullptr && table->binaries != nullptr && IS_INTRESOURCE(lpName)) {
        const UINT id = LOWORD(reinterpret_cast<ULONG_PTR>(lpName));
        for (size_t i = 0; i < table->binaryCount; ++i) {
            const ORVANE_BINARY_RESOURCE& r = table->binaries[i];
            if (!SameType(lpType, r.type))
                continue;
            typeSeen = true;
            if (r.id == id)
                return reinterpret_cast<HRSRC>(const_cast<ORVANE_BINARY_RESOURCE*>(&r));
        }
    }
    // Names given as text are not used by the system; like a missing id they
    // are not found.
    SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

extern "C" DWORD SizeofResource(HMODULE, HRSRC hResInfo) {
    if (hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return reinterpret_cast<const ORVANE_BINARY_RESOURCE*>(hResInfo)->size;
}

extern "C" HGLOBAL LoadResource(HMODULE, HRSRC hResInfo) {
    if (hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // The embedded bytes are the resource: nothing to load or to free.
    return const_cast<BYTE*>(reinterpret_cast<const ORVANE_BINARY_RESOURCE*>(hResInfo)->data);
}

extern "C" LPVOID LockResource(HGLOBAL hResData) {
    return hResData;
}

extern "C" BOOL FreeResource(HGLOBAL) {
    return FALSE; // as on Windows: resources stay loaded with their module
}
