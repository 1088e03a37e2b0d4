// The module's embedded string table on POSIX, built from the same rows the
// Windows resource compiler reads.
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

} // namespace

extern "C" const ORVANE_MODULE_RESOURCES g_OrvaneModuleResources = {
    kStrings, sizeof(kStrings) / sizeof(kStrings[0])};
