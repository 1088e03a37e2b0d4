#include "tools/npshell/PluginLibrary.h"

namespace npshell {

NPError PluginLibrary::Shutdown() {
    auto pfn = Symbol<NP_ShutdownFunc>("NP_Shutdown");
    return pfn == nullptr ? NPERR_INVALID_PLUGIN_ERROR : pfn();
}

std::string PluginLibrary::MIMEDescription() {
    auto pfn = Symbol<NP_GetMIMEDescriptionFunc>("NP_GetMIMEDescription");
    const char* psz = pfn == nullptr ? nullptr : pfn();
    return psz == nullptr ? std::string() : std::string(psz);
}

} // namespace npshell
