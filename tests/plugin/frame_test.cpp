// The plug-in frame with its own test object: entry points, instance
// callbacks, the object's life cycle and the argument helpers.
#include "tests/plugin/PluginTestSupport.h"
#include "tests/plugin/TestObject.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

namespace {

// Entry points alone, without the fixture's initialisation.
TEST(PluginEntryPoints, PluginTableSizeDecidesAndNothingIsWrittenWhenRefused) {
    struct Case {
        const char* pszWhat;
        size_t cbSize;
        NPError nExpected;
    };
    const Case kCases[] = {
        // One byte short of the members the frame fills (60 on a 32-bit build).
        {"one byte short", kMinPluginFuncsSize - 1u, NPERR_INVALID_FUNCTABLE_ERROR},
        {"empty", 0, NPERR_INVALID_FUNCTABLE_ERROR},
        {"exactly the filled members", kMinPluginFuncsSize, NPERR_NO_ERROR},
        {"the whole table", sizeof(NPPluginFuncs), NPERR_NO_ERROR},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        NPPluginFuncs funcs;
        std::memset(&funcs, 0xAB, sizeof(funcs));
        funcs.size = uint16_t(c.cbSize);
        NPPluginFuncs before;
        std::memcpy(&before, &funcs, sizeof(funcs));
        ASSERT_EQ(NP_GetEntryPoints(&funcs), c.nExpected);
        if (c.nExpected != NPERR_NO_ERROR) {
            EXPECT_EQ(std::memcmp(&funcs, &before, sizeof(funcs)), 0) << "refused table written";
            continue;
        }
        EXPECT_EQ(funcs.version, 22);
        EXPECT_EQ(funcs.newp, &NPP_New);
        EXPECT_EQ(funcs.getvalue, &NPP_GetValue);
        EXPECT_EQ(funcs.setvalue, &NPP_SetValue);
        EXPECT_EQ(funcs.javaClass, nullptr);
        // Members past the ones the frame fills belong to the browser.
        EXPECT_EQ(std::memcmp(&funcs.gotfocus, &before.gotfocus,
                              sizeof(funcs) - offsetof(NPPluginFuncs, gotfocus)),
                  0);
    }
    EXPECT_EQ(NP_GetEntryPoints(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(kMinPluginFuncsSize, 60);
    }
}

TEST(PluginEntryPoints, BrowserTableVersionAndSize) {
    const NPNetscapeFuncs good = npshell::Browser::Instance().Functions();
    struct Case {
        const char* pszWhat;
        uint16_t nVersion;
        size_t cbSize;
        NPError nExpected;
    };
    const Case kCases[] = {
        {"major version 1", 0x0100, sizeof(NPNetscapeFuncs), NPERR_INCOMPATIBLE_VERSION_ERROR},
        // The version is judged before the size.
        {"major version 1, no size", 0x0100, 0, NPERR_INCOMPATIBLE_VERSION_ERROR},
        {"one byte short (195 on 32-bit)", 27, kMinBrowserFuncsSize - 1u,
         NPERR_INVALID_FUNCTABLE_ERROR},
        {"minor 255 is still major 0", 0x00FF, sizeof(NPNetscapeFuncs), NPERR_NO_ERROR},
        {"exactly the copied members", 27, kMinBrowserFuncsSize, NPERR_NO_ERROR},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        NPNetscapeFuncs table = good;
        table.version = c.nVersion;
        table.size = uint16_t(c.cbSize);
        EXPECT_EQ(PluginInitialize(&table), c.nExpected);
        NP_Shutdown();
    }
    EXPECT_EQ(PluginInitialize(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);
    NP_Shutdown();
    if (sizeof(void*) == 4) {
        EXPECT_EQ(kMinBrowserFuncsSize, 196);
    }
}

// An older browser's table is only as long as its size says: the frame must
// not read past it (the sanitizer build catches any read beyond the block).
TEST(PluginEntryPoints, ShortBrowserTableIsNotReadPastItsSize) {
    const NPNetscapeFuncs good = npshell::Browser::Instance().Functions();
    std::unique_ptr<unsigned char[]> block(new unsigned char[kMinBrowserFuncsSize]);
    std::memcpy(block.get(), &good, kMinBrowserFuncsSize);
    auto* pTable = reinterpret_cast<NPNetscapeFuncs*>(block.get());
    pTable->size = kMinBrowserFuncsSize;
    ASSERT_EQ(PluginInitialize(pTable), NPERR_NO_ERROR);
    void* p = NPN_MemAlloc(8); // a function inside the short table works
    EXPECT_NE(p, nullptr);
    NPN_MemFree(p);
    NP_Shutdown();
}

TEST(PluginEntryPoints, MimeDescription) {
    EXPECT_STREQ(NP_GetMIMEDescription(), "application/npOrvane:*:npOrvane certificate utilities");
}

// Without a browser table the forwarders answer nothing, and asking for the
// object fails cleanly instead of calling through a null pointer.
TEST(PluginEntryPoints, NoBrowserTableMeansNoObject) {
    NPPluginFuncs funcs{};
    funcs.size = uint16_t(sizeof(funcs));
    ASSERT_EQ(NP_GetEntryPoints(&funcs), NPERR_NO_ERROR);
    NP_Shutdown();
    EXPECT_EQ(NPN_MemAlloc(4), nullptr);
    NPP_t npp{};
    char szMime[] = "application/npPellin";
    ASSERT_EQ(funcs.newp(szMime, &npp, NP_EMBED, 0, nullptr, nullptr, nullptr), NPERR_NO_ERROR);
    NPObject* pObject = nullptr;
    EXPECT_EQ(funcs.getvalue(&npp, NPPVpluginScriptableNPObject, &pObject), NPERR_GENERIC_ERROR);
    EXPECT_EQ(pObject, nullptr);
    EXPECT_EQ(funcs.destroy(&npp, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(npp.pdata, nullptr);
}

using FrameTest = PluginFixture;

TEST_F(FrameTest, NullInstanceIsRefusedByEveryCallback) {
    char szMime[] = "application/npPellin";
    EXPECT_EQ(m_funcs.newp(szMime, nullptr, NP_EMBED, 0, nullptr, nullptr, nullptr),
              NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(m_funcs.destroy(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(m_funcs.setwindow(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(m_funcs.newstream(nullptr, szMime, nullptr, 0, nullptr),
              NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(m_funcs.destroystream(nullptr, nullptr, NPRES_DONE), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(m_funcs.setvalue(nullptr, NPNVxDisplay, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    const char* psz = nullptr;
    EXPECT_EQ(m_funcs.getvalue(nullptr, NPPVpluginNameString, &psz), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(m_funcs.event(nullptr, nullptr), 0);
}

TEST_F(FrameTest, StreamsAreAcceptedAndDropped) {
    NPP npp = NewInstance();
    NPStream stream{};
    char buffer[100] = {};
    EXPECT_EQ(m_funcs.write(npp, &stream, 0, 100, buffer), 100);
    EXPECT_EQ(m_funcs.write(npp, &stream, 100, 0, buffer), 0);
    EXPECT_EQ(m_funcs.writeready(npp, &stream), 0x0FFFFFFF);
    char szMime[] = "text/plain";
    uint16_t stype = NP_NORMAL;
    EXPECT_EQ(m_funcs.newstream(npp, szMime, &stream, 0, &stype), NPERR_NO_ERROR);
    EXPECT_EQ(m_funcs.destroystream(npp, &stream, NPRES_DONE), NPERR_NO_ERROR);
    EXPECT_EQ(m_funcs.setwindow(npp, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(m_funcs.event(npp, nullptr), 0);
}

TEST_F(FrameTest, GetValueAnswers) {
    NPP npp = NewInstance();
    const char* psz = nullptr;
    ASSERT_EQ(m_funcs.getvalue(npp, NPPVpluginNameString, &psz), NPERR_NO_ERROR);
    EXPECT_STREQ(psz, "NPRuntimeTest");
    ASSERT_EQ(m_funcs.getvalue(npp, NPPVpluginDescriptionString, &psz), NPERR_NO_ERROR);
    EXPECT_STREQ(psz, "NPRuntime scriptability API test plugin");
    NPBool bXEmbed = 0;
    ASSERT_EQ(m_funcs.getvalue(npp, NPPVpluginNeedsXEmbed, &bXEmbed), NPERR_NO_ERROR);
    EXPECT_EQ(bXEmbed, 1);
    // Variables the plug-in does not answer.
    for (NPPVariable v :
         {NPPVpluginWindowBool, NPPVpluginScriptableInstance, NPPVformValue, NPPVariable(12345)}) {
        void* pValue = nullptr;
        EXPECT_EQ(m_funcs.getvalue(npp, v, &pValue), NPERR_GENERIC_ERROR) << int(v);
    }
    // A null place for the answer is refused rather than written through.
    EXPECT_EQ(m_funcs.getvalue(npp, NPPVpluginNameString, nullptr), NPERR_INVALID_PARAM);
    EXPECT_EQ(m_funcs.getvalue(npp, NPPVpluginScriptableNPObject, nullptr), NPERR_INVALID_PARAM);
}

TEST_F(FrameTest, SameObjectEachTimeWithItsCountRaised) {
    NPP npp = NewInstance();
    const int nLive = CTestObject::Live();
    NPObject* pFirst = GetObject(npp);
    ASSERT_NE(pFirst, nullptr);
    EXPECT_EQ(CTestObject::Live(), nLive + 1);
    // The instance's own reference and the caller's.
    EXPECT_EQ(pFirst->referenceCount, 2u);
    NPObject* pSecond = GetObject(npp);
    EXPECT_EQ(pSecond, pFirst);
    EXPECT_EQ(pFirst->referenceCount, 3u);
    EXPECT_EQ(CTestObject::Live(), nLive + 1) << "a second object was made";
    m_browser.releaseobject(pSecond);
    m_browser.releaseobject(pFirst);
    EXPECT_EQ(pFirst->referenceCount, 1u);
    ASSERT_EQ(m_funcs.destroy(npp, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(CTestObject::Live(), nLive) << "the last release must deallocate the object";
}

// The page may keep the object after the element is gone: it stays usable
// until the page lets go, and is freed exactly once.
TEST_F(FrameTest, ObjectOutlivesItsInstanceUntilTheLastRelease) {
    NPP npp = NewInstance();
    const int nLive = CTestObject::Live();
    NPObject* pObject = GetObject(npp);
    ASSERT_NE(pObject, nullptr);
    ASSERT_EQ(m_funcs.destroy(npp, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(npp->pdata, nullptr);
    EXPECT_EQ(CTestObject::Live(), nLive + 1);
    EXPECT_EQ(pObject->referenceCount, 1u);
    Outcome o = Call(npp, pObject, "add", {Int(2), Int(3)});
    EXPECT_TRUE(o.bOk);
    EXPECT_EQ(o.i, 5);
    m_browser.releaseobject(pObject);
    EXPECT_EQ(CTestObject::Live(), nLive);
}

TEST_F(FrameTest, InstanceWithoutObjectMakesNone) {
    const int nLive = CTestObject::Live();
    NPP npp = NewInstance();
    ASSERT_NE(npp->pdata, nullptr);
    ASSERT_EQ(m_funcs.destroy(npp, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(CTestObject::Live(), nLive);
}

TEST_F(FrameTest, ClassFunctionsReachTheObjectAndBaseDefaultsAnswerFalse) {
    NPP npp = NewInstance();
    NPObject* pObject = GetObject(npp);
    ASSERT_NE(pObject, nullptr);
    NPClass* c = pObject->_class;
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->structVersion, 3u);
    NPIdentifier idAdd = m_browser.getstringidentifier("add");
    NPIdentifier idNone = m_browser.getstringidentifier("none");
    EXPECT_TRUE(c->hasMethod(pObject, idAdd));
    EXPECT_FALSE(c->hasMethod(pObject, idNone));
    Outcome o = Call(npp, pObject, "add", {Dbl(2.9), Int(-1)});
    EXPECT_TRUE(o.bOk);
    EXPECT_EQ(o.i, 1) << "2.9 is truncated to 2";
    o = Call(npp, pObject, "echo", {Str("h\xc3\xa9llo")});
    EXPECT_TRUE(o.bOk);
    EXPECT_EQ(o.s, "h\xc3\xa9llo");
    EXPECT_FALSE(Call(npp, pObject, "fail", {}).bOk);
    o = Call(npp, pObject, nullptr, {});
    EXPECT_TRUE(o.bOk);
    EXPECT_EQ(o.s, "test default");
    // What the test object leaves to the base.
    NPVariant v;
    VOID_TO_NPVARIANT(v);
    EXPECT_FALSE(c->hasProperty(pObject, idAdd));
    EXPECT_FALSE(c->getProperty(pObject, idAdd, &v));
    EXPECT_EQ(v.type, NPVariantType_Void);
    NPVariant one = Int(1);
    EXPECT_FALSE(c->setProperty(pObject, idAdd, &one));
    EXPECT_FALSE(c->removeProperty(pObject, idAdd));
    NPIdentifier* pIds = nullptr;
    uint32_t nIds = 0;
    EXPECT_FALSE(c->enumerate(pObject, &pIds, &nIds));
    EXPECT_FALSE(c->construct(pObject, nullptr, 0, &v));
    c->invalidate(pObject);
    // A null object never reaches a virtual call.
    EXPECT_FALSE(c->hasMethod(nullptr, idAdd));
    EXPECT_FALSE(c->invoke(nullptr, idAdd, nullptr, 0, &v));
    m_browser.releaseobject(pObject);
}

TEST(PluginHelpers, NPVariantToLong) {
    struct Case {
        NPVariant v;
        LONG lExpected;
    };
    NPVariant vVoid;
    VOID_TO_NPVARIANT(vVoid);
    const Case kCases[] = {
        {Int(7), 7},
        {Int(-2147483647 - 1), -2147483647 - 1},
        {Dbl(2048.9), 2048}, // toward zero, not to the nearest
        {Dbl(-2.7), -2},
        {Dbl(-0.5), 0},
        // Beyond 32 bits: clamped (a plain cast would be undefined).
        {Dbl(1e12), 2147483647},
        {Dbl(-1e12), -2147483647 - 1},
        {Dbl(std::numeric_limits<double>::infinity()), 2147483647},
        {Dbl(std::nan("")), 0},
        // Anything but a number.
        {Str("2048"), -1},
        {Bool(true), -1},
        {Null(), -1},
        {vVoid, -1},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(NPVariantToLong(&c.v), c.lExpected) << "type " << int(c.v.type);
    EXPECT_EQ(NPVariantToLong(nullptr), -1);
}

TEST(PluginHelpers, ConverNPStringtoNULLEndString) {
    struct Case {
        const char* pszWhat;
        const char* pszIn;
        int nLength;
        HRESULT hrExpected;
        const char* pszOut;
    };
    const Case kCases[] = {
        {"whole text", "abc", 3, VURO_OK, "abc"},
        // An NPString is not terminated: only its length counts.
        {"prefix of a longer buffer", "abcdef", 3, VURO_OK, "abc"},
        {"empty", "", 0, VURO_OK, ""},
        {"null characters, no length", nullptr, 0, VURO_OK, ""},
        {"null characters with a length", nullptr, 2, E_POINTER, nullptr},
        {"negative length", "abc", -1, E_INVALIDARG, nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        std::string out = "untouched";
        HRESULT hr = ConverNPStringtoNULLEndString(&out, c.pszIn, c.nLength);
        ASSERT_EQ(hr, c.hrExpected);
        if (FAILED(hr)) {
            EXPECT_EQ(out, "untouched") << "out written on failure";
            continue;
        }
        EXPECT_EQ(out, c.pszOut);
    }
    EXPECT_EQ(ConverNPStringtoNULLEndString(nullptr, "a", 1), E_POINTER);
}

TEST_F(FrameTest, ConvertStringToNPVariantUsesTheBrowserAllocator) {
    NPVariant v = Int(42);
    EXPECT_FALSE(ConvertStringToNPVariant(nullptr, &v));
    EXPECT_EQ(v.type, NPVariantType_Int32) << "result touched on failure";
    EXPECT_FALSE(ConvertStringToNPVariant("x", nullptr));
    for (const char* psz : {"", "3.2.0.1", "\xe8\xaf\x81\xe4\xb9\xa6"}) {
        ASSERT_TRUE(ConvertStringToNPVariant(psz, &v));
        ASSERT_EQ(v.type, NPVariantType_String);
        EXPECT_EQ(std::string(v.value.stringValue.UTF8Characters, v.value.stringValue.UTF8Length),
                  psz);
        // The browser frees it with its own allocator: a fault if it did not give it.
        m_browser.releasevariantvalue(&v);
    }
}

} // namespace
