#include "host/nmMessageSigning.h"

#include "host/JSONUtility.h"
#include "foundation/Trace.h"
#include "host/nmEnrolHandlers.h"

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

// The enrolment methods all work on the host's one agent.
int GetCSPInfoEntry(cJSON** ppResponseJSON, cJSON*) {
    return nmVURO_GetCSPInfo(ppResponseJSON, g_pobjCryptoAgent);
}
template <int (*pfnHandler)(cJSON**, cJSON*, ICryptoAgent*)>
int AgentEntry(cJSON** ppResponseJSON, cJSON* pJSONArgs) {
    return pfnHandler(ppResponseJSON, pJSONArgs, g_pobjCryptoAgent);
}

struct Method {
    const char* pszName;
    Handler pfnHandler;
};

// In the order pages have always been matched against.
const Method kMethods[] = {
    {"VURO_GetCSPInfo", GetCSPInfoEntry},
    {"VURO_GetVersion", GetVersionEntry},
    {"VURO_GetAllCertInfo", AgentEntry<nmVURO_GetAllCertInfo>},
    {"VURO_SetCSPInfo", AgentEntry<nmVURO_SetCSPInfo>},
    {"VURO_SetKeyAlgorithm", AgentEntry<nmVURO_SetKeyAlgorithm>},
    {"VURO_ImportEncryptCert", AgentEntry<nmVURO_ImportEncryptCert>},
    {"VURO_GetContainer", AgentEntry<nmVURO_GetContainer>},
    {"VURO_ImportSignCert", AgentEntry<nmVURO_ImportSignCert>},
    {"VURO_PKCS10CertRequisition", AgentEntry<nmVURO_PKCS10CertRequisition>},
    {"VURO_HavePermissiontoGenerateKeyPair", AgentEntry<nmVURO_HavePermissiontoGenerateKeyPair>},
    {"checkHost", CheckHostEntry},
    {"VURO_GetLastErrorDesc", AgentEntry<nmVURO_GetLastErrorDesc>},
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
