// A native-messaging host program: its request loop and the answer to one
// request, for any host whose methods are a method table over one agent
// (HostProgram).
#pragma once
#include "methods/MethodTable.h"
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"
#include "host/JsonHandles.h"
#include "host/JsonMethods.h"

#include <cJSON.h>

#include <new>
#include <string>

// HostProgram: what one host program answers with: its dispatcher, and the
// one agent of the process that the dispatcher works on.
class HostProgram {
public:
    // CreateAgent: makes the process's agent, whose error texts come from
    // hModule. False when memory ran out.
    [[nodiscard]] virtual bool CreateAgent(HMODULE hModule) noexcept = 0;
    // DeleteAgent: deletes it again (nothing when there is none).
    virtual void DeleteAgent() noexcept = 0;
    // Invoke: answers one method call (see InvokeMethod).
    [[nodiscard]] virtual int Invoke(UniqueJson* pResponseJSON, const char* pszFuncName,
                                     cJSON* pJSONArgs) = 0;
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

    [[nodiscard]] bool CreateAgent(HMODULE hModule) noexcept override {
        m_rpAgent = new (std::nothrow) TAgent(hModule);
        return m_rpAgent != nullptr;
    }
    void DeleteAgent() noexcept override {
        delete m_rpAgent;
        m_rpAgent = nullptr;
    }
    [[nodiscard]] int Invoke(UniqueJson* pResponseJSON, const char* pszFuncName,
                             cJSON* pJSONArgs) override {
        return InvokeMethod(m_table, m_pszVersion, static_cast<TInterface*>(m_rpAgent),
                            pResponseJSON, pszFuncName, pJSONArgs,
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

// RespondToRequestBody: answers the request body strBody (rewritten while it
// is read, see ParseRequestBody, and freed once it is) with program's
// methods. Hands the response text to *pstrResponseMsg (empty only when
// memory ran out). The text is never longer
// than kMaxOutputMessage: a longer answer, and a request of too many values,
// is replaced by an error response with VURO_E_DATA_LENGTH_LIMIT. A request
// whose "randomId" is longer than kMaxRandomIdBytes is not run: it is
// answered with VURO_E_DATA_LENGTH_LIMIT, without the token. Every answer the
// agent did not give itself (these, and the fixed text of a request that
// names no method or is none) is told to program.Refused. Returns 0.
[[nodiscard]] int RespondToRequestBody(HostProgram& program, std::string strBody,
                                       std::string* pstrResponseMsg);

// RespondToRequest: the same on a copy of a NUL-terminated body.
[[nodiscard]] int RespondToRequest(HostProgram& program, const char* pszRequestMsg,
                                   std::string* pstrResponseMsg);

// RunRequestLoop: reads framed requests from standard input and writes framed
// responses to standard output until the input ends (returns 0), a read fails
// (the read's result) or a write fails (-1). Nothing a page sends ends it: a
// frame longer than kMaxInputMessage is read past and answered with an error
// response (VURO_E_DATA_LENGTH_LIMIT, recorded as the agent's last result).
[[nodiscard]] int RunRequestLoop(HostProgram& program);

// RunHost: the whole life of a host process (trace provider, module handle,
// the agent, binary streams, request loop); returns the process exit code.
[[nodiscard]] int RunHost(HostProgram& program);
