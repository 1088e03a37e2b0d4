// The scriptable-object base every plug-in object derives from, the static
// functions that form its object class, and the argument helpers the objects
// share.
#pragma once
#include "plugin/npapi/NPApi.h"

#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <string>

// CScriptablePluginObjectBase: the NPObject header the browser sees, plus the
// instance the object belongs to. The browser holds pointers to the NPObject
// part; the static functions turn them back into the owning object and call
// the virtual operation of the same name. The base operations do nothing:
// Invalidate returns, all others answer false.
class CScriptablePluginObjectBase : public NPObject {
public:
    explicit CScriptablePluginObjectBase(NPP npp) : NPObject{}, m_pNPInstance(npp) {}
    virtual ~CScriptablePluginObjectBase() = default;
    CScriptablePluginObjectBase(const CScriptablePluginObjectBase&) = delete;
    CScriptablePluginObjectBase& operator=(const CScriptablePluginObjectBase&) = delete;

    virtual void Invalidate();
    virtual bool HasMethod(NPIdentifier name);
    virtual bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                        NPVariant* result);
    virtual bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result);
    virtual bool HasProperty(NPIdentifier name);
    virtual bool GetProperty(NPIdentifier name, NPVariant* result);
    virtual bool SetProperty(NPIdentifier name, const NPVariant* value);
    virtual bool RemoveProperty(NPIdentifier name);
    virtual bool Enumerate(NPIdentifier** identifier, uint32_t* count);
    virtual bool Construct(const NPVariant* args, uint32_t argCount, NPVariant* result);

    // The object class's functions. None lets an exception reach the browser:
    // one caught here makes the call answer false.
    static void _Deallocate(NPObject* npobj);
    static void _Invalidate(NPObject* npobj);
    static bool _HasMethod(NPObject* npobj, NPIdentifier name);
    static bool _Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                        uint32_t argCount, NPVariant* result);
    static bool _InvokeDefault(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                               NPVariant* result);
    static bool _HasProperty(NPObject* npobj, NPIdentifier name);
    static bool _GetProperty(NPObject* npobj, NPIdentifier name, NPVariant* result);
    static bool _SetProperty(NPObject* npobj, NPIdentifier name, const NPVariant* value);
    static bool _RemoveProperty(NPObject* npobj, NPIdentifier name);
    static bool _Enumerate(NPObject* npobj, NPIdentifier** identifier, uint32_t* count);
    static bool _Construct(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                           NPVariant* result);

protected:
    NPP m_pNPInstance;
};

// AllocateCScriptableObject: the class's allocate function. Each plug-in
// defines it: it allocates that plug-in's CScriptablePluginObject for npp and
// returns its NPObject part, or null when it cannot.
NPObject* AllocateCScriptableObject(NPP npp, NPClass* aClass);

// ConverNPStringtoNULLEndString: copies the length UTF-8 bytes at pszUTF8 (an
// NPString's characters, which are not NUL-terminated) into *pstrOut, whose
// terminator then ends them. Returns 0, E_POINTER for a null out pointer or
// null characters with a non-zero length, E_INVALIDARG for a negative length,
// or E_OUTOFMEMORY.
[[nodiscard]] HRESULT ConverNPStringtoNULLEndString(std::string* pstrOut, const char* pszUTF8,
                                                    int length);

// NPVariantToLong: an int32 variant's value, a double variant's value
// truncated toward zero (clamped to the 32-bit range; NaN gives 0), any other
// variant -1.
LONG NPVariantToLong(const NPVariant* pVariant);

// TraceParameterInfo: traces the argument count and each argument's index,
// type and, for numbers and booleans, value.
void TraceParameterInfo(const NPVariant* args, int count);

// ConvertStringToNPVariant: copies pszText into a buffer from NPN_MemAlloc
// (the browser frees it) and makes *pResult a string variant of it. Returns
// false for a null text or result, or when the buffer cannot be allocated
// (*pResult is then untouched).
[[nodiscard]] bool ConvertStringToNPVariant(const char* pszText, NPVariant* pResult);

// IdentifierName: the identifier's UTF-8 name for traces ("<?>" when the
// browser cannot give it); frees the browser's copy.
std::string IdentifierName(NPIdentifier name);
