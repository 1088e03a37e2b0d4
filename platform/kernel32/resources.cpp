// A module's resources: string tables from its embedded table, in the
// user-interface language with English as the fallback, as the Windows
// resource loader does; and typed resources from the blocks its resource
// objects register.
#include <windows.h>
#include <orvane_resources.h>

#include "internal/util.h"

#include <mutex>

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

// --- typed resources ------------------------------------------------------------------

namespace {

// The blocks registered by this module's resource objects. Registration
// happens while the module loads, before anything can look; the lock keeps
// a module loaded on another thread's behalf safe all the same.
std::mutex g_blockMutex;
ORVANE_RESOURCE_BLOCK* g_blocks = nullptr;

bool IsThisModule(HMODULE hModule) {
    return hModule == nullptr || hModule == GetModuleHandleW(nullptr);
}

// Matches: whether a type or name as the caller gives it (an integer made with
// MAKEINTRESOURCEW, "#n" for the integer n, or a text compared without regard
// to case) names the entry's text or integer.
bool Matches(LPCWSTR pwszWanted, const WCHAR* pwszText, WORD wId) {
    if (IS_INTRESOURCE(pwszWanted))
        return pwszText == nullptr && wId == WORD(reinterpret_cast<ULONG_PTR>(pwszWanted));
    if (pwszWanted[0] == u'#' && pwszWanted[1] != 0) {
        unsigned long ulValue = 0;
        const WCHAR* p = pwszWanted + 1;
        for (; *p >= u'0' && *p <= u'9' && ulValue <= 0xFFFF; ++p)
            ulValue = ulValue * 10 + unsigned(*p - u'0');
        if (*p == 0 && ulValue <= 0xFFFF)
            return pwszText == nullptr && wId == WORD(ulValue);
    }
    return pwszText != nullptr && lstrcmpiW(pwszWanted, pwszText) == 0;
}

// Known: whether hResInfo is one of the registered entries.
bool Known(const ORVANE_RESOURCE_ENTRY* pEntry) {
    std::lock_guard<std::mutex> lock(g_blockMutex);
    for (const ORVANE_RESOURCE_BLOCK* b = g_blocks; b != nullptr; b = b->next)
        if (pEntry >= b->resources && pEntry < b->resources + b->count)
            return true;
    return false;
}

} // namespace

extern "C" void OrvaneRegisterResources(ORVANE_RESOURCE_BLOCK* pBlock) {
    if (pBlock == nullptr)
        return;
    std::lock_guard<std::mutex> lock(g_blockMutex);
    pBlock->next = g_blocks;
    g_blocks = pBlock;
}

extern "C" HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    if (!IsThisModule(hModule)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    bool bTypeSeen = false;
    {
        std::lock_guard<std::mutex> lock(g_blockMutex);
        for (const ORVANE_RESOURCE_BLOCK* b = g_blocks; b != nullptr; b = b->next) {
            for (size_t i = 0; i < b->count; ++i) {
                const ORVANE_RESOURCE_ENTRY& r = b->resources[i];
                if (!Matches(lpType, r.typeName, r.typeId))
                    continue;
                bTypeSeen = true;
                if (Matches(lpName, r.name, r.id))
                    return reinterpret_cast<HRSRC>(const_cast<ORVANE_RESOURCE_ENTRY*>(&r));
            }
        }
    }
    SetLastError(bTypeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

extern "C" DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    const auto* pEntry = reinterpret_cast<const ORVANE_RESOURCE_ENTRY*>(hResInfo);
    if (!IsThisModule(hModule) || pEntry == nullptr || !Known(pEntry)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    return pEntry->size;
}

extern "C" HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo) {
    const auto* pEntry = reinterpret_cast<const ORVANE_RESOURCE_ENTRY*>(hResInfo);
    if (!IsThisModule(hModule) || pEntry == nullptr || !Known(pEntry)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    // The data is part of the module's image, as on Windows: never freed,
    // never written.
    return const_cast<BYTE*>(pEntry->data);
}

extern "C" LPVOID LockResource(HGLOBAL hResData) {
    return hResData;
}
