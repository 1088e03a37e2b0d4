#include "tools/npshell/PluginLibrary.h"

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace npshell {

namespace {

class Win32PluginLibrary final : public PluginLibrary {
public:
    explicit Win32PluginLibrary(HMODULE hLibrary) : m_hLibrary(hLibrary) {}
    ~Win32PluginLibrary() override { FreeLibrary(m_hLibrary); }
    Win32PluginLibrary(const Win32PluginLibrary&) = delete;
    Win32PluginLibrary& operator=(const Win32PluginLibrary&) = delete;

    NPError Initialize(NPNetscapeFuncs* pBrowserFuncs, NPPluginFuncs* pPluginFuncs) override {
        auto pfnEntryPoints = Symbol<NP_GetEntryPointsFunc>("NP_GetEntryPoints");
        auto pfnInitialize = Symbol<NP_InitializeFunc>("NP_Initialize");
        if (pfnEntryPoints == nullptr || pfnInitialize == nullptr)
            return NPERR_INVALID_PLUGIN_ERROR;
        NPError nResult = pfnEntryPoints(pPluginFuncs);
        if (nResult != NPERR_NO_ERROR)
            return nResult;
        return pfnInitialize(pBrowserFuncs);
    }

    bool Install() override {
        auto pfn = Symbol<void (*)()>("NP_Install");
        if (pfn == nullptr)
            return false;
        // The plug-in reads its documents through COM and leaves COM to the
        // thread that calls it.
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        pfn();
        if (SUCCEEDED(hr))
            CoUninitialize();
        return true;
    }

private:
    ExportedFunction Export(const char* pszName) override {
        return reinterpret_cast<ExportedFunction>(GetProcAddress(m_hLibrary, pszName));
    }

    HMODULE m_hLibrary;
};

} // namespace

std::unique_ptr<PluginLibrary> PluginLibrary::Load(const std::string& strPath,
                                                   std::string* pstrError) {
    // Command-line text arrives in the ANSI code page.
    int cch = MultiByteToWideChar(CP_ACP, 0, strPath.c_str(), -1, nullptr, 0);
    if (cch <= 0) {
        *pstrError = "bad path";
        return nullptr;
    }
    std::unique_ptr<WCHAR[]> pwszPath(new WCHAR[size_t(cch)]);
    MultiByteToWideChar(CP_ACP, 0, strPath.c_str(), -1, pwszPath.get(), cch);
    HMODULE h = LoadLibraryW(pwszPath.get());
    if (h == nullptr) {
        *pstrError = "LoadLibraryW failed with error " + std::to_string(GetLastError());
        return nullptr;
    }
    // Pinned, as on POSIX: objects a faulty plug-in left alive keep working
    // class functions after FreeLibrary.
    HMODULE hPinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(GetProcAddress(h, "NP_Shutdown")), &hPinned);
    if (GetProcAddress(h, "NP_GetEntryPoints") == nullptr ||
        GetProcAddress(h, "NP_Initialize") == nullptr ||
        GetProcAddress(h, "NP_Shutdown") == nullptr) {
        *pstrError = "not a plug-in: NP_GetEntryPoints, NP_Initialize or NP_Shutdown is missing";
        FreeLibrary(h);
        return nullptr;
    }
    return std::make_unique<Win32PluginLibrary>(h);
}

void PrepareStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

} // namespace npshell
