// In-process plumbing for the plug-in tests: the test browser's function
// table handed to the frame, and an instance whose scriptable object the test
// holds, as a page would.
#pragma once
#include "tools/npshell/Browser.h"
#include "plugin/NPFunctions.h"
#include "plugin/Plugin.h"
#include "plugin/PluginExports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// PluginFixture: initialises the frame with the test browser's table and
// fills the plug-in table; at the end shuts it down and fails the test for
// any browser rule the plug-in broke meanwhile.
class PluginFixture : public ::testing::Test {
protected:
    void SetUp() override {
        npshell::Browser::Instance().TakeFaults();
        m_browser = npshell::Browser::Instance().Functions();
        ASSERT_EQ(PluginInitialize(&m_browser), NPERR_NO_ERROR);
        m_funcs = NPPluginFuncs{};
        m_funcs.size = uint16_t(sizeof(m_funcs));
        ASSERT_EQ(NP_GetEntryPoints(&m_funcs), NPERR_NO_ERROR);
        m_nObjectsAtStart = npshell::Browser::Instance().LiveObjects();
        m_nBlocksAtStart = npshell::Browser::Instance().LiveBlocks();
    }
    void TearDown() override {
        for (NPP_t& npp : m_instances)
            if (npp.pdata != nullptr)
                m_funcs.destroy(&npp, nullptr);
        NP_Shutdown();
        EXPECT_EQ(npshell::Browser::Instance().TakeFaults(), std::vector<std::string>());
        EXPECT_EQ(npshell::Browser::Instance().LiveObjects(), m_nObjectsAtStart)
            << "objects left alive";
        EXPECT_EQ(npshell::Browser::Instance().LiveBlocks(), m_nBlocksAtStart)
            << "memory blocks left allocated";
    }

    // NewInstance: NPP_New for a new instance kept by the fixture.
    NPP NewInstance() {
        m_instances.emplace_back();
        NPP npp = &m_instances.back();
        char szMime[] = "application/npPellin";
        EXPECT_EQ(m_funcs.newp(szMime, npp, NP_EMBED, 0, nullptr, nullptr, nullptr),
                  NPERR_NO_ERROR);
        return npp;
    }
    // GetObject: NPP_GetValue(NPPVpluginScriptableNPObject); the caller
    // releases the reference it gets.
    NPObject* GetObject(NPP npp) {
        NPObject* pObject = nullptr;
        EXPECT_EQ(m_funcs.getvalue(npp, NPPVpluginScriptableNPObject, &pObject), NPERR_NO_ERROR);
        return pObject;
    }
    // Call: invokes method on obj the way the browser does; the result's
    // string is copied out and the variant released, as a browser does.
    struct Outcome {
        bool bOk;
        NPVariantType type;
        bool b;
        int32_t i;
        std::string s;
    };
    Outcome Call(NPP npp, NPObject* obj, const char* pszMethod, std::vector<NPVariant> args) {
        NPVariant result;
        VOID_TO_NPVARIANT(result);
        bool bOk =
            pszMethod == nullptr
                ? m_browser.invokeDefault(npp, obj, args.data(), uint32_t(args.size()), &result)
                : m_browser.invoke(npp, obj, m_browser.getstringidentifier(pszMethod), args.data(),
                                   uint32_t(args.size()), &result);
        Outcome o{bOk, result.type, false, 0, {}};
        if (result.type == NPVariantType_Bool)
            o.b = result.value.boolValue;
        if (result.type == NPVariantType_Int32)
            o.i = result.value.intValue;
        if (result.type == NPVariantType_String)
            o.s.assign(result.value.stringValue.UTF8Characters,
                       result.value.stringValue.UTF8Length);
        m_browser.releasevariantvalue(&result);
        return o;
    }

    NPNetscapeFuncs m_browser{};
    NPPluginFuncs m_funcs{};
    std::vector<NPP_t> m_instances = std::vector<NPP_t>();
    size_t m_nObjectsAtStart = 0;
    size_t m_nBlocksAtStart = 0;

public:
    PluginFixture() { m_instances.reserve(16); }
};

// ObjectFixture: one instance and its scriptable object, held by the test as
// a page holds it (released at the end).
class ObjectFixture : public PluginFixture {
protected:
    void SetUp() override {
        PluginFixture::SetUp();
        m_npp = NewInstance();
        m_pObject = GetObject(m_npp);
        ASSERT_NE(m_pObject, nullptr);
    }
    void TearDown() override {
        if (m_pObject != nullptr)
            m_browser.releaseobject(m_pObject);
        PluginFixture::TearDown();
    }

    NPP m_npp = nullptr;
    NPObject* m_pObject = nullptr;
};

// Variant builders for argument lists.
inline NPVariant Int(int32_t n) {
    NPVariant v;
    INT32_TO_NPVARIANT(n, v);
    return v;
}
inline NPVariant Dbl(double d) {
    NPVariant v;
    DOUBLE_TO_NPVARIANT(d, v);
    return v;
}
inline NPVariant Bool(bool b) {
    NPVariant v;
    BOOLEAN_TO_NPVARIANT(b, v);
    return v;
}
inline NPVariant Null() {
    NPVariant v;
    NULL_TO_NPVARIANT(v);
    return v;
}
// Str: the characters of a literal without its terminator in the length.
inline NPVariant Str(const char* psz) {
    NPVariant v;
    STRINGN_TO_NPVARIANT(psz, uint32_t(std::char_traits<char>::length(psz)), v);
    return v;
}
