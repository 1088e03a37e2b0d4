// npPellin's scriptable object: the ten enrolment methods a page calls, each
// checking and converting the script's arguments and calling the object's own
// enrolment agent.
#pragma once
#include "plugin/ScriptablePluginObjectBase.h"

#include "enrolment/CryptoAgent.h"

class CScriptablePluginObject final : public CScriptablePluginObjectBase {
public:
    // CScriptablePluginObject: an object of instance npp with a fresh agent
    // whose error texts come from this library's string table.
    explicit CScriptablePluginObject(NPP npp);
    ~CScriptablePluginObject() override;

    // HasMethod: true for the ten method names, matched exactly.
    bool HasMethod(NPIdentifier name) override;
    // Invoke: runs the method's handler. An unknown name answers false and
    // leaves *result untouched. A refused call (wrong arguments, a failing
    // agent, a boolean that came out false) answers false: text methods then
    // leave a null result, boolean methods a false one.
    bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                NPVariant* result) override;
    // InvokeDefault: the object called as a function gives the string
    // "default method return val".
    bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) override;
    // The object has no properties: these trace the name and answer false.
    bool HasProperty(NPIdentifier name) override;
    bool GetProperty(NPIdentifier name, NPVariant* result) override;
    bool SetProperty(NPIdentifier name, const NPVariant* value) override;

    // Agent: the object's agent, so that tests can look at its state.
    const CCryptoAgent& Agent() const noexcept { return m_objCryptoAgent; }

private:
    using Handler = bool (CScriptablePluginObject::*)(const NPVariant* args, uint32_t argCount,
                                                      NPVariant* result);
    struct Method {
        const char* pszName;
        Handler pfnHandler;
    };
    static const Method s_Methods[];

    bool npVURO_GetCSPInfo(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVURO_GetVersion(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVURO_GetAllCertInfo(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVURO_SetCSPInfo(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVURO_SetKeyAlgorithm(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVURO_GetContainer(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVURO_ImportSignCert(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVURO_PKCS10CertRequisition(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVURO_HavePermissiontoGenerateKeyPair(const NPVariant* args, uint32_t argCount,
                                                NPVariant* result);
    bool npVURO_GetLastErrorDesc(const NPVariant* args, uint32_t argCount, NPVariant* result);

    CCryptoAgent m_objCryptoAgent;
};
