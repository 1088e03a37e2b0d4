#include "tests/plugin/TestObject.h"

#include "plugin/NPFunctions.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

int g_nLive = 0;

const char* const kMethods[] = {"echo", "add", "fail", "live", "leak", "freetwice", "rawstring"};

bool Is(NPIdentifier name, const char* pszName) {
    return name != nullptr && name == NPN_GetStringIdentifier(pszName);
}

} // namespace

NPObject* AllocateCScriptableObject(NPP npp, NPClass*) {
    return new (std::nothrow) CTestObject(npp);
}

CTestObject::CTestObject(NPP npp) : CScriptablePluginObjectBase(npp) {
    ++g_nLive;
}

CTestObject::~CTestObject() {
    --g_nLive;
}

int CTestObject::Live() {
    return g_nLive;
}

bool CTestObject::HasMethod(NPIdentifier name) {
    for (const char* pszName : kMethods)
        if (Is(name, pszName))
            return true;
    return false;
}

bool CTestObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                         NPVariant* result) {
    if (Is(name, "echo") && argCount == 1) {
        const NPVariant& v = args[0];
        if (v.type != NPVariantType_String) {
            *result = v;
            return v.type != NPVariantType_Object;
        }
        std::string text;
        if (FAILED(ConverNPStringtoNULLEndString(&text, v.value.stringValue.UTF8Characters,
                                                 int(v.value.stringValue.UTF8Length))))
            return false;
        return ConvertStringToNPVariant(text.c_str(), result);
    }
    if (Is(name, "add") && argCount == 2) {
        INT32_TO_NPVARIANT(int32_t(NPVariantToLong(&args[0]) + NPVariantToLong(&args[1])), *result);
        return true;
    }
    if (Is(name, "live") && argCount == 0) {
        INT32_TO_NPVARIANT(g_nLive, *result);
        return true;
    }
    if (Is(name, "leak")) {
        NPN_RetainObject(this);
        BOOLEAN_TO_NPVARIANT(true, *result);
        return true;
    }
    if (Is(name, "freetwice")) {
        void* p = NPN_MemAlloc(4);
        NPN_MemFree(p);
        NPN_MemFree(p);
        BOOLEAN_TO_NPVARIANT(true, *result);
        return true;
    }
    if (Is(name, "rawstring")) {
        static const char kText[] = "static";
        STRINGN_TO_NPVARIANT(kText, 6, *result);
        return true;
    }
    return false; // "fail", unknown names and wrong counts
}

bool CTestObject::InvokeDefault(const NPVariant*, uint32_t, NPVariant* result) {
    return ConvertStringToNPVariant("test default", result);
}
