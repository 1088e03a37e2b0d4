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
