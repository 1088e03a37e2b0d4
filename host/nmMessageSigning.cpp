#include "nmMessageSigning.h"

#include "JSONUtility.h"
#include "Trace.h"

#include <cstring>
#include <string.h>

#define TRACE_MODULE "nmMessageSigning"

namespace {

using Handler = int (*)(cJSON** ppResponseJSON, cJSON* pJSONArgs);

int GetVersionEntry(cJSON** ppResponseJSON, cJSON*) {
    return nmVURO_GetVersion(ppResponseJSON);
}
int CheckHostEntry(cJSON** ppResponseJSON, cJSON*) {
    return nmCheckHost(ppResponseJSON);
}

struct Method {
    const char* pszName;
    Handler pfnHandler;
};

// In the order pages have always been matched against; the enrolment methods
// join this table with their handlers.
const Method kMethods[] = {
    {"VURO_GetVersion", GetVersionEntry},
    {"checkHost", CheckHostEntry},
};

} // namespace

int Invoke(cJSON** ppResponseJSON, const char* pszFuncName, cJSON* pJSONArgs) {
    TraceHelper trace(TEXT("Invoke"));
    if (pszFuncName != nullptr) {
        for (const Method& m : kMethods) {
            if (_stricmp(m.pszName, pszFuncName) == 0) {
                TRACE_OK("Invoke", m.pszName);
                return m.pfnHandler(ppResponseJSON, pJSONArgs);
            }
        }
    }
    TraceValueA("Unknown method", pszFuncName);
    TRACE_FAILED("Invoke", "Find method", -1, "No handler for pszFuncName");
    return -1;
}

int nmVURO_GetVersion(cJSON** ppResponseJSON) {
    TraceHelper trace(TEXT("nmVURO_GetVersion"));
    ConstructResponseJSON(ppResponseJSON, "VURO_GetVersion", 0, RESPONSE_VALUE_STRING,
                          kHostVersion);
    return 0;
}

int nmCheckHost(cJSON** ppResponseJSON) {
    TraceHelper trace(TEXT("nmCheckHost"));
    const unsigned char byTrue = 1;
    ConstructResponseJSON(ppResponseJSON, "CheckHost", 0, RESPONSE_VALUE_BOOLEAN, &byTrue);
    return 0;
}
