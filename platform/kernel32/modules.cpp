// Module handles. Each deliverable links its own copy of the stand-in, so "the
// module" is the program or library this copy lives in; the only other module
// the system asks for is advapi32, for the trace functions it looks up at run
// time.
#include <windows.h>
#include <evntrace.h>

#include "internal/util.h"

#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

char g_selfModule;     // its address is this module's handle
char g_advapi32Module; // likewise for the advapi32 pseudo-module

// Through void(*)(), the one function type that converts to and from any other.
template <class F> FARPROC AsFarProc(F f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(f));
}

struct Export {
    const char* name;
    FARPROC proc;
};

const Export kAdvapi32Exports[] = {
    {"TraceMessage", AsFarProc(&TraceMessage)},
    {"TraceEvent", AsFarProc(&TraceEvent)},
    {"ControlTraceW", AsFarProc(&ControlTraceW)},
};

bool NameIs(LPCWSTR name, const char* ascii) {
    // Case-insensitive, with or without the ".dll" suffix.
    size_t i = 0;
    for (; ascii[i] != 0; ++i) {
        WCHAR c = name[i];
        if (c >= u'A' && c <= u'Z')
            c = WCHAR(c + 32);
        if (c != WCHAR(ascii[i]))
            return false;
    }
    return name[i] == 0 || lstrcmpiW(name + i, u".dll") == 0;
}

} // namespace

extern "C" HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    if (lpModuleName == nullptr)
        return reinterpret_cast<HMODULE>(&g_selfModule);
    if (NameIs(lpModuleName, "advapi32"))
        return reinterpret_cast<HMODULE>(&g_advapi32Module);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

extern "C" BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
    if (phModule == nullptr ||
        (dwFlags &
         (GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) ==
            (GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) ||
        (dwFlags &
         ~DWORD(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)) != 0) {
        if (phModule != nullptr)
            *phModule = nullptr;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) == 0) {
        *phModule = GetModuleHandleW(lpModuleName);
        return *phModule != nullptr;
    }
    // An address inside this module's image names this module; the stand-in
    // knows no other loaded module by address. Modules are never unloaded
    // underneath their own code, so reference counts have nothing to track.
    Dl_info self, other;
    if (dladdr(&g_selfModule, &self) == 0 ||
        dladdr(static_cast<const void*>(lpModuleName), &other) == 0 ||
        self.dli_fbase != other.dli_fbase) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    *phModule = reinterpret_cast<HMODULE>(&g_selfModule);
    return TRUE;
}

extern "C" FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (hModule == reinterpret_cast<HMODULE>(&g_advapi32Module) && lpProcName != nullptr) {
        for (const Export& e : kAdvapi32Exports)
            if (std::strcmp(e.name, lpProcName) == 0)
                return e.proc;
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

extern "C" DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    char path[4096];
    ssize_t n = -1;
    if (hModule == nullptr) {
        n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    } else if (hModule == reinterpret_cast<HMODULE>(&g_selfModule)) {
        Dl_info info;
        if (dladdr(&g_selfModule, &info) != 0 && info.dli_fname != nullptr) {
            n = ssize_t(std::strlen(info.dli_fname));
            if (n >= ssize_t(sizeof(path)))
                n = -1;
            else
                std::memcpy(path, info.dli_fname, size_t(n));
        }
    }
    if (n < 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::u16string w = orvane::platform::ToUtf16(path, size_t(n));
    if (nSize == 0 || lpFilename == nullptr) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    DWORD copy = DWORD(w.size()) < nSize ? DWORD(w.size()) : nSize - 1;
    for (DWORD i = 0; i < copy; ++i)
        lpFilename[i] = w[i];
    lpFilename[copy] = 0;
    if (copy < w.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    return copy;
}
