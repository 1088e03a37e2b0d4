// The JSON face of a method table (methods/MethodTable.h): a host's
// dispatcher and handlers, generated from the rows. A handler checks and
// converts "params", calls the agent's operation and turns the answer into
// the response object {"function", "errorcode"[, "result"]}; each step that
// fails is traced in the wide step format with module "nmMessageSigning" and
// operation "nm" + name.
#pragma once
#include "methods/MethodTable.h"
#include "foundation/Types.h"
#include "host/JsonHandles.h"

#include <cJSON.h>

#include <span>

// RespondToMethod: the handler of one row, on the agent pAgent (the table's
// agent, erased; null: there is none, and the call is refused). Hands the
// response object to *pResponseJSON (none only when memory ran out).
// pszVersion answers a version row.
// A call the agent did not answer itself (argument list or argument refused,
// an answer that could not be converted, memory) is told to refusals: a list
// answered with -1 as E_INVALIDARG, any other with the code the page sees.
// Returns 0: the outcome travels in the response's "errorcode".
[[nodiscard]] int RespondToMethod(const orvane::methods::Method& method, const char* pszVersion,
                                  UniqueJson* pResponseJSON, cJSON* pJSONArgs, void* pAgent,
                                  const orvane::methods::RefusalSink& refusals = {});

// FindHostMethod: the row of pszFuncName among the rows a host offers (whole
// name, without regard to case, first match in table order), or null.
const orvane::methods::Method* FindHostMethod(std::span<const orvane::methods::Method> rows,
                                              const char* pszFuncName);

// InvokeMethod: runs the handler of FindHostMethod's row. Returns the
// handler's result, or -1 for an unknown name (no response object; the
// caller answers and tells the agent).
[[nodiscard]] int InvokeMethod(std::span<const orvane::methods::Method> rows,
                               const char* pszVersion, void* pAgent, UniqueJson* pResponseJSON,
                               const char* pszFuncName, cJSON* pJSONArgs,
                               const orvane::methods::RefusalSink& refusals = {});

// The same with the table's own agent type.
template <class Agent>
[[nodiscard]] int RespondToMethod(const orvane::methods::MethodTable<Agent>& table,
                                  const orvane::methods::Method& method, const char* pszVersion,
                                  UniqueJson* pResponseJSON, cJSON* pJSONArgs, Agent* pAgent,
                                  const orvane::methods::RefusalSink& refusals = {}) {
    return RespondToMethod(method, pszVersion, pResponseJSON, pJSONArgs, table.Erase(pAgent),
                           refusals);
}
template <class Agent>
[[nodiscard]] int InvokeMethod(const orvane::methods::MethodTable<Agent>& table,
                               const char* pszVersion, Agent* pAgent, UniqueJson* pResponseJSON,
                               const char* pszFuncName, cJSON* pJSONArgs,
                               const orvane::methods::RefusalSink& refusals = {}) {
    return InvokeMethod(table.Rows(), pszVersion, table.Erase(pAgent), pResponseJSON, pszFuncName,
                        pJSONArgs, refusals);
}
