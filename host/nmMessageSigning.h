// Tandry's dispatcher: the enrolment methods (enrolment/EnrolMethods.h) on
// the host's one agent, and the methods the host answers by itself.
#pragma once
#include "foundation/Types.h"
#include "host/OrvaneHost.h"

#include <cJSON.h>

// TandryHost: Tandry's host program: the enrolment methods on
// g_pobjCryptoAgent.
HostProgram& TandryHost();

// Invoke: finds the handler of pszFuncName (whole name, without regard to
// case, first match in table order) and runs it on pJSONArgs. Hands the
// response object to *ppResponseJSON. Returns the handler's result, or -1 for
// an unknown name (no response object).
int Invoke(cJSON** ppResponseJSON, const char* pszFuncName, cJSON* pJSONArgs);

// nmVURO_GetVersion: "result" Tandry's version (kTandryVersion). Returns 0.
int nmVURO_GetVersion(cJSON** ppResponseJSON);
// nmCheckHost: "function" "CheckHost", "result" true. Returns 0.
int nmCheckHost(cJSON** ppResponseJSON);
