#include "tools/npshell/PluginLibrary.h"

#include <dlfcn.h>

namespace npshell {

namespace {

class PosixPluginLibrary final : public PluginLibrary {
public:
    explicit PosixPluginLibrary(void* hLibrary) : m_hLibrary(hLibrary) {}
    ~PosixPluginLibrary() override { dlclose(m_hLibrary); }
    PosixPluginLibrary(const PosixPluginLibrary&) = delete;
    PosixPluginLibrary& operator=(const PosixPluginLibrary&) = delete;

    NPError Initialize(NPNetscapeFuncs* pBrowserFuncs, NPPluginFuncs* pPluginFuncs) override {
        auto pfn = Symbol<NP_InitializeUnixFunc>("NP_Initialize");
        return pfn == nullptr ? NPERR_INVALID_PLUGIN_ERROR : pfn(pBrowserFuncs, pPluginFuncs);
    }

    bool Install() override {
        auto pfn = Symbol<void (*)()>("NP_Install");
        if (pfn == nullptr)
            return false;
        pfn();
        return true;
    }

private:
    ExportedFunction Export(const char* pszName) override {
        return reinterpret_cast<ExportedFunction>(dlsym(m_hLibrary, pszName));
    }

    void* m_hLibrary;
};

} // namespace

std::unique_ptr<PluginLibrary> PluginLibrary::Load(const std::string& strPath,
                                                   std::string* pstrError) {
    // A bare name would be searched for on the library path; a test browser
    // loads exactly the file it was given.
    std::string strFile = strPath.find('/') == std::string::npos ? "./" + strPath : strPath;
    // Kept mapped after dlclose: a plug-in's process-lifetime state (the POSIX
    // stand-in keeps its registry connections for the whole process) must
    // stay reachable, and objects a faulty plug-in left alive keep working
    // class functions.
    void* h = dlopen(strFile.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (h == nullptr) {
        const char* pszError = dlerror();
        *pstrError = pszError != nullptr ? pszError : "dlopen failed";
        return nullptr;
    }
    if (dlsym(h, "NP_Initialize") == nullptr || dlsym(h, "NP_Shutdown") == nullptr) {
        *pstrError = "not a plug-in: NP_Initialize or NP_Shutdown is missing";
        dlclose(h);
        return nullptr;
    }
    return std::make_unique<PosixPluginLibrary>(h);
}

void PrepareStandardStreams() {}

} // namespace npshell
