// A native-messaging host program: its request loop and the answer to one
// request, for any host whose methods are a method table over one agent
// (HostProgram), and Tandry's own entry points over them.
#pragma once
#include "foundation/MethodTable.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "host/nmMethods.h"

#include <cJSON.h>

#include <new>

// Module handle of the host; error texts come from its string table.
extern HMODULE g_hInstance;

// HostProgram: what one host program answers with: its dispatcher, and the
// one agent of the process that the dispatcher works on.
class HostProgram {
public:
    // CreateAgent: makes the process's agent, whose error texts come from
    // hModule. False when memory ran out.
    virtual bool CreateAgent(HMODULE hModule) noexcept = 0;
    // DeleteAgent: deletes it again (nothing when there is none).
    virtual void DeleteAgent() noexcept = 0;
    // Invoke: answers one method call (see InvokeMethod).
    virtual int Invoke(cJSON** ppResponseJSON, const char* pszFuncName, cJSON* pJSONArgs) = 0;

protected:
    ~HostProgram() = default;
};

// AgentHost: a host program over a method table of TInterface, whose agent is
// a TAgent kept in rpAgent (the host's global, so that tests and handlers
// reach the same one), answering version rows with pszVersion.
template <class TInterface, class TAgent> class AgentHost final : public HostProgram {
public:
    AgentHost(const orvane::methods::MethodTable<TInterface>& table, const char* pszVersion,
              TAgent*& rpAgent) noexcept
        : m_table(table), m_pszVersion(pszVersion), m_rpAgent(rpAgent) {}

    bool CreateAgent(HMODULE hModule) noexcept override {
        m_rpAgent = new (std::nothrow) TAgent(hModule);
        return m_rpAgent != nullptr;
    }
    void DeleteAgent() noexcept override {
        delete m_rpAgent;
        m_rpAgent = nullptr;
    }
    int Invoke(cJSON** ppResponseJSON, const char* pszFuncName, cJSON* pJSONArgs) override {
        return InvokeMethod(m_table, m_pszVersion, static_cast<TInterface*>(m_rpAgent),
                            ppResponseJSON, pszFuncName, pJSONArgs);
    }

private:
    const orvane::methods::MethodTable<TInterface>& m_table;
    const char* m_pszVersion;
    TAgent*& m_rpAgent;
};

// RespondToRequest: answers one request body with program's methods. Hands
// the response text to *ppszResponseMsg (a new[] array the caller frees; null
// only when memory ran out). Returns 0.
int RespondToRequest(HostProgram& program, const char* pszRequestMsg, char** ppszResponseMsg);

// RunRequestLoop: reads framed requests from standard input and writes framed
// responses to standard output until the input ends (returns 0), a read fails
// (the read's result) or a write fails (-1). Nothing a page sends ends it.
int RunRequestLoop(HostProgram& program);

// RunHost: the whole life of a host process (trace provider, module handle,
// the agent, binary streams, request loop); returns the process exit code.
int RunHost(HostProgram& program);

// Tandry's entry points: the three above with Tandry's enrolment methods.
int ParseAndRespondRequest(const char* pszRequestMsg, char** ppszResponseMsg);
int MsgHandleProc();
int HostMain();
