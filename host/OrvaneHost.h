// A native-messaging host program: its request loop and the answer to one
// request, for any host whose methods are a method table over one agent
// (HostProgram).
#pragma once
#include "foundation/MethodTable.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "host/nmMethods.h"

#include <cJSON.h>

#include <memory>
#include <new>

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
    // Refused: tells the agent about a request the host itself refused or
    // could not answer (a frame, token or response beyond the bounds, a
    // request that names no method or is no request): nResult, the code the
    // page sees, becomes the agent's last result, so that the page's next
    // question for the last error's description is answered about it, and
    // the row named pszFuncName (null or unknown: none) has its refusal
    // done (see orvane::methods::RefusalSink).
    virtual void Refused(const char* pszFuncName, int nResult) noexcept = 0;

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
                            ppResponseJSON, pszFuncName, pJSONArgs,
                            orvane::methods::RefusalSink::For(m_rpAgent));
    }
    void Refused(const char* pszFuncName, int nResult) noexcept override {
        orvane::methods::RefusalSink::For(m_rpAgent).Refused(
            FindHostMethod(m_table.Rows(), pszFuncName), HRESULT(nResult));
    }

private:
    const orvane::methods::MethodTable<TInterface>& m_table;
    const char* m_pszVersion;
    TAgent*& m_rpAgent;
};

// RespondToRequestBody: answers the cbBody bytes at pBody (a zero byte after
// them; rewritten while they are read, see ParseRequestBody, and freed once
// they are) with program's
// methods. Hands the response text to *ppszResponseMsg (a new[] array the
// caller frees; null only when memory ran out). The text is never longer
// than kMaxOutputMessage: a longer answer, and a request of too many values,
// is replaced by an error response with VURO_E_DATA_LENGTH_LIMIT. A request
// whose "randomId" is longer than kMaxRandomIdBytes is not run: it is
// answered with VURO_E_DATA_LENGTH_LIMIT, without the token. Every answer the
// agent did not give itself (these, and the fixed text of a request that
// names no method or is none) is told to program.Refused. Returns 0.
int RespondToRequestBody(HostProgram& program, std::unique_ptr<char[]> pBody, size_t cbBody,
                         char** ppszResponseMsg);

// RespondToRequest: the same on a copy of a NUL-terminated body.
int RespondToRequest(HostProgram& program, const char* pszRequestMsg, char** ppszResponseMsg);

// RunRequestLoop: reads framed requests from standard input and writes framed
// responses to standard output until the input ends (returns 0), a read fails
// (the read's result) or a write fails (-1). Nothing a page sends ends it: a
// frame longer than kMaxInputMessage is read past and answered with an error
// response (VURO_E_DATA_LENGTH_LIMIT, recorded as the agent's last result).
int RunRequestLoop(HostProgram& program);

// RunHost: the whole life of a host process (trace provider, module handle,
// the agent, binary streams, request loop); returns the process exit code.
int RunHost(HostProgram& program);
