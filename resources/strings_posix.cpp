// The module's embedded resources on POSIX: the string table, built from the
// same rows the Windows resource compiler reads, and the typed binary
// resources (pictures) its resource script names.
#include <windows.h>
#include <orvane_resources.h>

namespace {

#define ORVANE_STR(id, en, zh)                                                                     \
    {id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), u"" en},                                    \
        {id, MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), u"" zh},

const ORVANE_STRING_RESOURCE kStrings[] = {
#include "resources/string_table.inc"
};

#undef ORVANE_STR

#ifdef ORVANE_BINARY_RESOURCES
#include ORVANE_BINARY_RESOURCES
#endif

} // namespace

extern "C" const ORVANE_MODULE_RESOURCES g_OrvaneModuleResources = {
    kStrings,
    sizeof(kStrings) / sizeof(kStrings[0]),
#ifdef ORVANE_BINARY_RESOURCES
    kBinaries,
    sizeof(kBinaries) / sizeof(kBinaries[0]),
#else
    nullptr,
    0,
#endif
};
