// The script face of a method table (methods/MethodTable.h): a plug-in's
// scriptable object whose methods are the rows the table offers to scripts,
// each checking the script's arguments against the row's kinds, converting
// them and calling the object's own agent. Trace lines carry the module
// "ScriptablePluginObject" and the operation
// "CScriptablePluginObject::npName", worded as the table's dialect says.
#pragma once
#include "methods/MethodTable.h"
#include "plugin/ScriptablePluginObjectBase.h"

#include <span>
#include <utility>

// ScriptHasMethod: whether name (exactly) is one of the rows offered to
// scripts; an unknown name is traced as a warning.
bool ScriptHasMethod(std::span<const orvane::methods::Method> rows, NPIdentifier name);

// ScriptInvoke: runs the handler of name's row (first match in table order)
// on pAgent (the table's agent, erased); pszVersion answers a version row.
// An unknown name answers false and leaves *result untouched. A refused call
// (wrong arguments, a failing agent, a boolean that came out false) answers
// false: text methods then leave a null result, boolean methods a false one.
// A call the agent did not answer itself (argument count or kinds:
// E_INVALIDARG; a text with a NUL character or not UTF-8: the conversion's
// code; an answer that could not be handed out) is told to refusals.
bool ScriptInvoke(std::span<const orvane::methods::Method> rows,
                  const orvane::methods::ScriptDialect& dialect, const char* pszVersion,
                  void* pAgent, NPIdentifier name, const NPVariant* args, uint32_t argCount,
                  NPVariant* result, const orvane::methods::RefusalSink& refusals = {});

// ScriptInvokeDefault: the object called as a function gives the string
// "default method return val" (false only when it cannot be allocated).
bool ScriptInvokeDefault(NPVariant* result);

// ScriptProperty: the objects have no properties; traces the name under
// pwszOperation ("CScriptablePluginObject::GetProperty" ...) and answers false.
bool ScriptProperty(const WCHAR* pwszOperation, NPIdentifier name);

// CScriptableAgentObject: the scriptable object of a plug-in whose methods
// are a table over TInterface, with its own TAgent (constructed with the
// arguments after the version), as m_objCryptoAgent, for the object's life.
template <class TInterface, class TAgent>
class CScriptableAgentObject : public CScriptablePluginObjectBase {
public:
    template <class... AgentArguments>
    CScriptableAgentObject(NPP npp, const orvane::methods::MethodTable<TInterface>& table,
                           const char* pszVersion, AgentArguments&&... agentArguments)
        : CScriptablePluginObjectBase(npp),
          m_objCryptoAgent(std::forward<AgentArguments>(agentArguments)...), m_table(table),
          m_pszVersion(pszVersion) {}

    bool HasMethod(NPIdentifier name) override { return ScriptHasMethod(m_table.Rows(), name); }
    bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                NPVariant* result) override {
        return ScriptInvoke(m_table.Rows(), m_table.Dialect(), m_pszVersion,
                            m_table.Erase(&m_objCryptoAgent), name, args, argCount, result,
                            orvane::methods::RefusalSink::For(&m_objCryptoAgent));
    }
    bool InvokeDefault(const NPVariant*, uint32_t, NPVariant* result) override {
        return ScriptInvokeDefault(result);
    }
    bool HasProperty(NPIdentifier name) override {
        return ScriptProperty(TEXT("CScriptablePluginObject::HasProperty"), name);
    }
    bool GetProperty(NPIdentifier name, NPVariant*) override {
        return ScriptProperty(TEXT("CScriptablePluginObject::GetProperty"), name);
    }
    bool SetProperty(NPIdentifier name, const NPVariant*) override {
        return ScriptProperty(TEXT("CScriptablePluginObject::SetProperty"), name);
    }

    // Agent: the object's agent, so that tests can look at its state.
    const TAgent& Agent() const noexcept { return m_objCryptoAgent; }

protected:
    TAgent m_objCryptoAgent;

private:
    const orvane::methods::MethodTable<TInterface>& m_table;
    const char* m_pszVersion;
};
