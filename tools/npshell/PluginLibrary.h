// A plug-in library loaded the way this target's browsers load one: on
// Windows NP_GetEntryPoints then NP_Initialize(browser table); on Unix
// NP_Initialize(browser table, plug-in table). Each target's file
// (PluginLibrary_win32.cpp / PluginLibrary_posix.cpp) loads the library and
// finds its exports; the calls alike on both are PluginLibrary.cpp's.
#pragma once
#include "plugin/npapi/NPApi.h"

#include <memory>
#include <string>

namespace npshell {

class PluginLibrary {
public:
    virtual ~PluginLibrary() = default;
    // Load: loads the library at strPath (UTF-8) and finds its exports; null
    // with a message in *pstrError when it cannot.
    static std::unique_ptr<PluginLibrary> Load(const std::string& strPath, std::string* pstrError);

    // Initialize: hands the browser table over and fills *pPluginFuncs (whose
    // size the caller sets) by this target's convention.
    [[nodiscard]] virtual NPError Initialize(NPNetscapeFuncs* pBrowserFuncs,
                                             NPPluginFuncs* pPluginFuncs) = 0;
    NPError Shutdown();
    // MIMEDescription: NP_GetMIMEDescription's text, empty when not exported.
    std::string MIMEDescription();
    // Install: calls NP_Install as an installer does (on Windows with COM
    // initialised on this thread for the call); false when it is not exported.
    [[nodiscard]] virtual bool Install() = 0;

protected:
    using ExportedFunction = void (*)();
    // Export: the library's export named pszName, or null.
    virtual ExportedFunction Export(const char* pszName) = 0;
    template <class F> F Symbol(const char* pszName) {
        return reinterpret_cast<F>(Export(pszName));
    }
};

// PrepareStandardStreams: output byte for byte (no CR LF translation), so
// that results read the same on every target.
void PrepareStandardStreams();

} // namespace npshell
