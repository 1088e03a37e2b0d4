// The test browser's own rules, and that a run reports a plug-in that breaks
// them: the plug-in tests are only as good as these checks.
#include "tools/npshell/Browser.h"
#include "tools/npshell/Shell.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using npshell::Browser;

int g_nDeallocated = 0;

NPObject* Allocate(NPP, NPClass*) {
    return new NPObject{};
}
void Deallocate(NPObject* obj) {
    ++g_nDeallocated;
    delete obj;
}

NPClass kCountingClass = {NP_CLASS_STRUCT_VERSION,
                          Allocate,
                          Deallocate,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

TEST(TestBrowser, ObjectsLiveUntilTheLastRelease) {
    NPNetscapeFuncs f = Browser::Instance().Functions();
    Browser::Instance().TakeFaults();
    const size_t nLive = Browser::Instance().LiveObjects();
    g_nDeallocated = 0;
    NPObject* obj = f.createobject(nullptr, &kCountingClass);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->referenceCount, 1u);
    EXPECT_EQ(obj->_class, &kCountingClass);
    EXPECT_EQ(f.retainobject(obj), obj);
    EXPECT_EQ(obj->referenceCount, 2u);
    f.releaseobject(obj);
    EXPECT_EQ(g_nDeallocated, 0);
    EXPECT_EQ(Browser::Instance().LiveObjects(), nLive + 1);
    f.releaseobject(obj);
    EXPECT_EQ(g_nDeallocated, 1);
    EXPECT_EQ(Browser::Instance().LiveObjects(), nLive);
    EXPECT_TRUE(Browser::Instance().TakeFaults().empty());
    // Once more is a fault, and nothing is touched (ASan would see a use after free).
    f.releaseobject(obj);
    f.retainobject(obj);
    EXPECT_EQ(Browser::Instance().TakeFaults().size(), 2u);
    EXPECT_EQ(g_nDeallocated, 1);
}

TEST(TestBrowser, MemoryAndIdentifiers) {
    NPNetscapeFuncs f = Browser::Instance().Functions();
    Browser::Instance().TakeFaults();
    const size_t nBlocks = Browser::Instance().LiveBlocks();
    void* p = f.memalloc(0);
    EXPECT_NE(p, nullptr) << "a zero-size block must still be told from a failure";
    f.memfree(p);
    f.memfree(p);
    int local = 0;
    f.memfree(&local);
    EXPECT_EQ(Browser::Instance().TakeFaults().size(), 2u);
    EXPECT_EQ(Browser::Instance().LiveBlocks(), nBlocks);

    NPIdentifier a = f.getstringidentifier("VURO_GetVersion");
    EXPECT_EQ(f.getstringidentifier("VURO_GetVersion"), a);
    EXPECT_NE(f.getstringidentifier("vuro_getversion"), a);
    EXPECT_TRUE(f.identifierisstring(a));
    NPUTF8* psz = f.utf8fromidentifier(a);
    ASSERT_NE(psz, nullptr);
    EXPECT_STREQ(psz, "VURO_GetVersion");
    EXPECT_EQ(Browser::Instance().LiveBlocks(), nBlocks + 1) << "the name is the caller's to free";
    f.memfree(psz);
    NPIdentifier i = f.getintidentifier(7);
    EXPECT_FALSE(f.identifierisstring(i));
    EXPECT_EQ(f.intfromidentifier(i), 7);
    EXPECT_EQ(f.utf8fromidentifier(i), nullptr);
    EXPECT_TRUE(Browser::Instance().TakeFaults().empty());
}

// Whole runs against the frame's test plug-in.
struct ShellRun {
    int nExit;
    std::string strOut;
};

ShellRun RunScript(const char* pszPlugin, const char* pszScript) {
    std::istringstream in(pszScript);
    std::ostringstream out, err;
    int nExit = npshell::RunShell(pszPlugin, "", {}, in, out, err);
    return {nExit, out.str()};
}

TEST(TestBrowserRuns, OutcomesAndExitCodes) {
    struct Case {
        const char* pszWhat;
        const char* pszScript;
        int nExit;
        const char* pszOutput; // a line the output must hold
    };
    const Case kCases[] = {
        {"clean", "add(1, 2) => ok 3\n!getvalue object\n", 0, "end -> ok \"objects=0 blocks=0\""},
        {"mismatch", "add(1, 2) => ok 4\nadd(1, 1) => ok 2\n", 1, "add -> ok 3"},
        {"wrong status", "fail() => ok\n", 1, "fail -> failed void"},
        {"malformed line", "add(1,\n", 1, "line 1 -> error"},
        {"unknown directive", "!frobnicate\n", 1, "!frobnicate -> error"},
        {"unset variable", "echo($nothing)\n", 1, "echo -> error \"$nothing has no value\""},
        {"destroyed instance", "!destroy\nadd(1, 2)\n", 1, "add -> error"},
        {"double free", "freetwice() => ok true\n", 1, "fault -> \"NPN_MemFree"},
        {"foreign string", "rawstring() => ok \"static\"\n", 1, "fault -> \"NPN_MemFree"},
        // Last: the leaked object stays alive until the end of this test.
        {"leaked object", "leak() => ok true\n", 3, "end -> failed \"objects=1 blocks=0\""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        ShellRun r = RunScript(ORVANE_FRAME_TEST_PLUGIN, c.pszScript);
        EXPECT_EQ(r.nExit, c.nExit) << r.strOut;
        EXPECT_NE(r.strOut.find(c.pszOutput), std::string::npos) << r.strOut;
    }
    EXPECT_EQ(RunScript("no-such-plugin-library", "add(1, 2)\n").nExit, 2);
    // Let go of what the leaking script left, so that this process ends clean.
    for (NPObject* obj : Browser::Instance().LiveObjectList())
        Browser::ReleaseObject(obj);
    EXPECT_EQ(Browser::Instance().LiveObjects(), 0u);
}

} // namespace
