#include "host/nmEnrolHandlers.h"

#include "enrolment/EnrolMethods.h"
#include "host/nmMethods.h"

CCryptoAgent* g_pobjCryptoAgent = nullptr;

int nmVURO_GetCSPInfo(cJSON** ppResponseJSON, ICryptoAgent* pobjCryptoAgent) {
    return RespondToMethod(kEnrolMethods, kEnrolMethods.Find("VURO_GetCSPInfo"), nullptr,
                           ppResponseJSON, nullptr, pobjCryptoAgent);
}

// Each handler is its row of the enrolment table (the name is checked when
// this file is compiled).
#define ENROL_HANDLER(Name)                                                                        \
    int nm##Name(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent) {        \
        return RespondToMethod(kEnrolMethods, kEnrolMethods.Find(#Name), nullptr, ppResponseJSON,  \
                               pJSONArgs, pobjCryptoAgent);                                        \
    }

ENROL_HANDLER(VURO_GetAllCertInfo)
ENROL_HANDLER(VURO_SetCSPInfo)
ENROL_HANDLER(VURO_SetKeyAlgorithm)
ENROL_HANDLER(VURO_ImportEncryptCert)
ENROL_HANDLER(VURO_GetContainer)
ENROL_HANDLER(VURO_ImportSignCert)
ENROL_HANDLER(VURO_PKCS10CertRequisition)
ENROL_HANDLER(VURO_HavePermissiontoGenerateKeyPair)
ENROL_HANDLER(VURO_GetLastErrorDesc)

#undef ENROL_HANDLER
