#include "host/nmMessageSigning.h"

#include "enrolment/EnrolMethods.h"
#include "host/nmEnrolHandlers.h"
#include "host/nmMethods.h"
#include "version/Tandry.h"

HostProgram& TandryHost() {
    static AgentHost<ICryptoAgent, CCryptoAgent> host(kEnrolMethods, kTandryVersion,
                                                      g_pobjCryptoAgent);
    return host;
}

int Invoke(cJSON** ppResponseJSON, const char* pszFuncName, cJSON* pJSONArgs) {
    return TandryHost().Invoke(ppResponseJSON, pszFuncName, pJSONArgs);
}

int nmVURO_GetVersion(cJSON** ppResponseJSON) {
    return RespondToMethod(kEnrolMethods, kEnrolMethods.Find("VURO_GetVersion"), kTandryVersion,
                           ppResponseJSON, nullptr, static_cast<ICryptoAgent*>(nullptr));
}

int nmCheckHost(cJSON** ppResponseJSON) {
    return RespondToMethod(kEnrolMethods, kEnrolMethods.Find("checkHost"), kTandryVersion,
                           ppResponseJSON, nullptr, static_cast<ICryptoAgent*>(nullptr));
}

int ParseAndRespondRequest(const char* pszRequestMsg, char** ppszResponseMsg) {
    return RespondToRequest(TandryHost(), pszRequestMsg, ppszResponseMsg);
}

int MsgHandleProc() {
    return RunRequestLoop(TandryHost());
}

int HostMain() {
    return RunHost(TandryHost());
}
