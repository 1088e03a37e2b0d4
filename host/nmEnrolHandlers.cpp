#include "host/nmEnrolHandlers.h"

#include "enrolment/EnrolMethods.h"
#include "host/nmMethods.h"

CCryptoAgent* g_pobjCryptoAgent = nullptr;

// Each handler is its row of the enrolment table (the name is checked when
// this file is compiled).

int nmVURO_GetCSPInfo(cJSON** ppResponseJSON, ICryptoAgent* pobjCryptoAgent) {
    return RespondToMethod(kEnrolMethods, kEnrolMethods.Find("VURO_GetCSPInfo"), nullptr,
                           ppResponseJSON, nullptr, pobjCryptoAgent);
}

int nmVURO_GetAllCertInfo(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent) {
    return RespondToMethod(kEnrolMethods, kEnrolMethods.Find("VURO_GetAllCertInfo"), nullptr,
                           ppResponseJSON, pJSONArgs, pobjCryptoAgent);
}

int nmVURO_SetCSPInfo(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent) {
    return RespondToMethod(kEnrolMethods, kEnrolMethods.Find("VURO_SetCSPInfo"), nullptr,
                           ppResponseJSON, pJSONArgs, pobjCryptoAgent);
}

int nmVURO_SetKeyAlgorithm(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                           ICryptoAgent* pobjCryptoAgent) {
    return RespondToMethod(kEnrolMethods, kEnrolMethods.Find("VURO_SetKeyAlgorithm"), nullptr,
                           ppResponseJSON, pJSONArgs, pobjCryptoAgent);
}

int nmVURO_ImportEncryptCert(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                             ICryptoAgent* pobjCryptoAgent) {
    return RespondToMethod(kEnrolMethods, kEnrolMethods.Find("VURO_ImportEncryptCert"), nullptr,
                           ppResponseJSON, pJSONArgs, pobjCryptoAgent);
}

int nmVURO_GetContainer(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent) {
    return RespondToMethod(kEnrolMethods, kEnrolMethods.Find("VURO_GetContainer"), nullptr,
                           ppResponseJSON, pJSONArgs, pobjCryptoAgent);
}

int nmVURO_ImportSignCert(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent) {
    return RespondToMethod(kEnrolMethods, kEnrolMethods.Find("VURO_ImportSignCert"), nullptr,
                           ppResponseJSON, pJSONArgs, pobjCryptoAgent);
}

int nmVURO_PKCS10CertRequisition(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                                 ICryptoAgent* pobjCryptoAgent) {
    return RespondToMethod(kEnrolMethods, kEnrolMethods.Find("VURO_PKCS10CertRequisition"), nullptr,
                           ppResponseJSON, pJSONArgs, pobjCryptoAgent);
}

int nmVURO_HavePermissiontoGenerateKeyPair(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                                           ICryptoAgent* pobjCryptoAgent) {
    return RespondToMethod(kEnrolMethods,
                           kEnrolMethods.Find("VURO_HavePermissiontoGenerateKeyPair"), nullptr,
                           ppResponseJSON, pJSONArgs, pobjCryptoAgent);
}

int nmVURO_GetLastErrorDesc(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                            ICryptoAgent* pobjCryptoAgent) {
    return RespondToMethod(kEnrolMethods, kEnrolMethods.Find("VURO_GetLastErrorDesc"), nullptr,
                           ppResponseJSON, pJSONArgs, pobjCryptoAgent);
}
