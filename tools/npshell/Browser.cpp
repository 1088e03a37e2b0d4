#include "tools/npshell/Browser.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>

namespace npshell {

namespace {

struct Identifier {
    bool bIsString;
    std::string strName;
    int32_t nIntId;
};

struct State {
    std::unordered_set<void*> blocks;
    std::unordered_map<const NPObject*, unsigned> objects; // live object -> number
    unsigned nNextObject = 1;
    std::map<std::string, std::unique_ptr<Identifier>> stringIds;
    std::map<int32_t, std::unique_ptr<Identifier>> intIds;
    std::vector<std::string> faults;
    std::string exception;
};

State& S() {
    static State state;
    return state;
}

void Fault(std::string strMessage) {
    S().faults.push_back(std::move(strMessage));
}

NPIdentifier GetIntIdentifier(int32_t intid) {
    auto& slot = S().intIds[intid];
    if (!slot)
        slot.reset(new Identifier{false, std::string(), intid});
    return slot.get();
}

void GetStringIdentifiers(const NPUTF8** names, int32_t nameCount, NPIdentifier* identifiers) {
    if (names == nullptr || identifiers == nullptr)
        return;
    for (int32_t i = 0; i < nameCount; ++i)
        identifiers[i] = Browser::GetStringIdentifier(names[i]);
}

bool IdentifierIsString(NPIdentifier identifier) {
    return identifier != nullptr && static_cast<Identifier*>(identifier)->bIsString;
}

NPUTF8* UTF8FromIdentifier(NPIdentifier identifier) {
    if (!IdentifierIsString(identifier))
        return nullptr;
    const std::string& strName = static_cast<Identifier*>(identifier)->strName;
    auto* psz = static_cast<NPUTF8*>(Browser::MemAlloc(uint32_t(strName.size() + 1)));
    if (psz != nullptr)
        std::memcpy(psz, strName.c_str(), strName.size() + 1);
    return psz;
}

int32_t IntFromIdentifier(NPIdentifier identifier) {
    if (identifier == nullptr || IdentifierIsString(identifier))
        return INT32_MIN;
    return static_cast<Identifier*>(identifier)->nIntId;
}

NPObject* CreateObject(NPP npp, NPClass* aClass) {
    if (aClass == nullptr) {
        Fault("NPN_CreateObject without a class");
        return nullptr;
    }
    NPObject* obj = aClass->allocate != nullptr
                        ? aClass->allocate(npp, aClass)
                        : static_cast<NPObject*>(std::malloc(sizeof(NPObject)));
    if (obj == nullptr)
        return nullptr;
    obj->_class = aClass;
    obj->referenceCount = 1;
    S().objects[obj] = S().nNextObject++;
    return obj;
}

// A call on an object the browser does not know would crash a real browser
// in some unrelated place later; here it is a fault and the call fails.
NPClass* ClassOf(NPObject* obj, const char* pszCall) {
    if (obj == nullptr || !Browser::Instance().IsLiveObject(obj)) {
        Fault(std::string(pszCall) + " on an object that is not alive");
        return nullptr;
    }
    return obj->_class;
}

bool Invoke(NPP, NPObject* obj, NPIdentifier name, const NPVariant* args, uint32_t argCount,
            NPVariant* result) {
    NPClass* c = ClassOf(obj, "NPN_Invoke");
    return c != nullptr && c->invoke != nullptr && c->invoke(obj, name, args, argCount, result);
}

bool InvokeDefault(NPP, NPObject* obj, const NPVariant* args, uint32_t argCount,
                   NPVariant* result) {
    NPClass* c = ClassOf(obj, "NPN_InvokeDefault");
    return c != nullptr && c->invokeDefault != nullptr &&
           c->invokeDefault(obj, args, argCount, result);
}

bool Evaluate(NPP, NPObject*, NPString*, NPVariant*) {
    return false; // no script engine
}

bool GetProperty(NPP, NPObject* obj, NPIdentifier name, NPVariant* result) {
    NPClass* c = ClassOf(obj, "NPN_GetProperty");
    return c != nullptr && c->getProperty != nullptr && c->getProperty(obj, name, result);
}

bool SetProperty(NPP, NPObject* obj, NPIdentifier name, const NPVariant* value) {
    NPClass* c = ClassOf(obj, "NPN_SetProperty");
    return c != nullptr && c->setProperty != nullptr && c->setProperty(obj, name, value);
}

bool RemoveProperty(NPP, NPObject* obj, NPIdentifier name) {
    NPClass* c = ClassOf(obj, "NPN_RemoveProperty");
    return c != nullptr && c->removeProperty != nullptr && c->removeProperty(obj, name);
}

bool HasProperty(NPP, NPObject* obj, NPIdentifier name) {
    NPClass* c = ClassOf(obj, "NPN_HasProperty");
    return c != nullptr && c->hasProperty != nullptr && c->hasProperty(obj, name);
}

bool HasMethod(NPP, NPObject* obj, NPIdentifier name) {
    NPClass* c = ClassOf(obj, "NPN_HasMethod");
    return c != nullptr && c->hasMethod != nullptr && c->hasMethod(obj, name);
}

void SetException(NPObject*, const NPUTF8* message) {
    S().exception = message != nullptr ? message : "";
}

NPError GetValue(NPP, NPNVariable variable, void* value) {
    if (value == nullptr)
        return NPERR_INVALID_PARAM;
    switch (variable) {
    case NPNVjavascriptEnabledBool:
    case NPNVSupportsXEmbedBool:
        *static_cast<NPBool*>(value) = 1;
        return NPERR_NO_ERROR;
    case NPNVisOfflineBool:
    case NPNVprivateModeBool:
        *static_cast<NPBool*>(value) = 0;
        return NPERR_NO_ERROR;
    default:
        return NPERR_GENERIC_ERROR;
    }
}

NPError SetValue(NPP, NPPVariable, void*) {
    return NPERR_NO_ERROR;
}

const char* UserAgent(NPP) {
    return "npshell/1.0";
}

void Status(NPP, const char*) {}

uint32_t MemFlush(uint32_t) {
    return 0;
}

} // namespace

Browser& Browser::Instance() {
    static Browser browser;
    return browser;
}

NPNetscapeFuncs Browser::Functions() const {
    NPNetscapeFuncs f{};
    f.size = uint16_t(sizeof(NPNetscapeFuncs));
    f.version = uint16_t((NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR);
    f.status = Status;
    f.uagent = UserAgent;
    f.memalloc = MemAlloc;
    f.memfree = MemFree;
    f.memflush = MemFlush;
    f.getvalue = GetValue;
    f.setvalue = SetValue;
    f.getstringidentifier = GetStringIdentifier;
    f.getstringidentifiers = GetStringIdentifiers;
    f.getintidentifier = GetIntIdentifier;
    f.identifierisstring = IdentifierIsString;
    f.utf8fromidentifier = UTF8FromIdentifier;
    f.intfromidentifier = IntFromIdentifier;
    f.createobject = CreateObject;
    f.retainobject = RetainObject;
    f.releaseobject = ReleaseObject;
    f.invoke = Invoke;
    f.invokeDefault = InvokeDefault;
    f.evaluate = Evaluate;
    f.getproperty = GetProperty;
    f.setproperty = SetProperty;
    f.removeproperty = RemoveProperty;
    f.hasproperty = HasProperty;
    f.hasmethod = HasMethod;
    f.releasevariantvalue = ReleaseVariantValue;
    f.setexception = SetException;
    return f;
}

size_t Browser::LiveObjects() const {
    return S().objects.size();
}

size_t Browser::LiveBlocks() const {
    return S().blocks.size();
}

bool Browser::IsLiveObject(const NPObject* obj) const {
    return S().objects.count(obj) != 0;
}

std::vector<NPObject*> Browser::LiveObjectList() const {
    std::vector<NPObject*> list;
    for (const auto& entry : S().objects)
        list.push_back(const_cast<NPObject*>(entry.first));
    return list;
}

unsigned Browser::ObjectNumber(const NPObject* obj) const {
    auto it = S().objects.find(obj);
    return it == S().objects.end() ? 0 : it->second;
}

std::vector<std::string> Browser::TakeFaults() {
    std::vector<std::string> faults;
    faults.swap(S().faults);
    return faults;
}

std::string Browser::TakeException() {
    std::string strException;
    strException.swap(S().exception);
    return strException;
}

void* Browser::MemAlloc(uint32_t size) {
    // Never a null pointer for a zero size: the caller could not tell it from
    // a failure.
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p != nullptr)
        S().blocks.insert(p);
    return p;
}

void Browser::MemFree(void* ptr) {
    if (ptr == nullptr)
        return;
    if (S().blocks.erase(ptr) == 0) {
        // Not ours (or freed twice): keep going without touching it.
        Fault("NPN_MemFree of memory NPN_MemAlloc did not give (or freed twice)");
        return;
    }
    std::free(ptr);
}

NPIdentifier Browser::GetStringIdentifier(const NPUTF8* name) {
    if (name == nullptr)
        return nullptr;
    auto& slot = S().stringIds[name];
    if (!slot)
        slot.reset(new Identifier{true, name, 0});
    return slot.get();
}

NPObject* Browser::RetainObject(NPObject* obj) {
    if (obj == nullptr)
        return nullptr;
    if (!Instance().IsLiveObject(obj)) {
        Fault("NPN_RetainObject of an object that is not alive");
        return obj;
    }
    ++obj->referenceCount;
    return obj;
}

void Browser::ReleaseObject(NPObject* obj) {
    if (obj == nullptr)
        return;
    if (!Instance().IsLiveObject(obj)) {
        Fault("NPN_ReleaseObject of an object that is not alive (released once too often?)");
        return;
    }
    if (obj->referenceCount == 0) {
        Fault("NPN_ReleaseObject of an object whose count is already 0");
        return;
    }
    if (--obj->referenceCount != 0)
        return;
    S().objects.erase(obj);
    NPClass* c = obj->_class;
    if (c != nullptr && c->deallocate != nullptr)
        c->deallocate(obj);
    else
        std::free(obj);
}

void Browser::ReleaseVariantValue(NPVariant* variant) {
    if (variant == nullptr)
        return;
    if (variant->type == NPVariantType_String)
        MemFree(const_cast<NPUTF8*>(variant->value.stringValue.UTF8Characters));
    else if (variant->type == NPVariantType_Object)
        ReleaseObject(variant->value.objectValue);
    VOID_TO_NPVARIANT(*variant);
}

} // namespace npshell
