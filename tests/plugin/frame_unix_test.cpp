// The Unix form of the entry points: NP_Initialize with both tables, and
// NP_GetValue for the name before any instance exists. POSIX builds only.
#include "tests/plugin/PluginTestSupport.h"

#include <cstring>

extern "C" NPError NP_Initialize(NPNetscapeFuncs* pBrowserFuncs, NPPluginFuncs* pPluginFuncs);
extern "C" NPError NP_GetValue(void* future, NPPVariable variable, void* value);

namespace {

TEST(PluginUnixEntryPoints, InitializeFillsThePluginTableOnlyWhenTheBrowserTableIsGood) {
    NPNetscapeFuncs browser = npshell::Browser::Instance().Functions();
    struct Case {
        const char* pszWhat;
        uint16_t nBrowserVersion;
        bool bPluginTable;
        NPError nExpected;
        bool bFilled;
    };
    const Case kCases[] = {
        {"both good", 27, true, NPERR_NO_ERROR, true},
        {"browser major version 1", 0x0100, true, NPERR_INCOMPATIBLE_VERSION_ERROR, false},
        {"no plug-in table", 27, false, NPERR_INVALID_FUNCTABLE_ERROR, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        NPNetscapeFuncs b = browser;
        b.version = c.nBrowserVersion;
        NPPluginFuncs p{};
        p.size = uint16_t(sizeof(p));
        EXPECT_EQ(NP_Initialize(&b, c.bPluginTable ? &p : nullptr), c.nExpected);
        EXPECT_EQ(p.newp != nullptr, c.bFilled);
        NP_Shutdown();
    }
}

TEST(PluginUnixEntryPoints, GetValueGivesTheIdentity) {
    const char* psz = nullptr;
    ASSERT_EQ(NP_GetValue(nullptr, NPPVpluginNameString, &psz), NPERR_NO_ERROR);
    EXPECT_STREQ(psz, "NPRuntimeTest");
    ASSERT_EQ(NP_GetValue(nullptr, NPPVpluginDescriptionString, &psz), NPERR_NO_ERROR);
    EXPECT_STREQ(psz, "NPRuntime scriptability API test plugin");
    void* pAny = nullptr;
    EXPECT_EQ(NP_GetValue(nullptr, NPPVpluginScriptableNPObject, &pAny), NPERR_INVALID_PARAM);
    EXPECT_EQ(pAny, nullptr);
    EXPECT_EQ(NP_GetValue(nullptr, NPPVpluginNameString, nullptr), NPERR_INVALID_PARAM);
}

} // namespace
