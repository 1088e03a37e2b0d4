// The host's enrolment methods: each handler checks and converts the JSON
// arguments, calls one operation of the enrolment agent and turns its answer
// into the response object {"function", "errorcode"[, "result"]}.
//
// Every handler returns 0: the outcome travels in the response's "errorcode".
// The response object is handed to *ppResponseJSON (none only when memory ran
// out); the caller deletes it with cJSON_Delete. A null agent is refused like
// a bad argument list, with errorcode -1.
#pragma once
#include "enrolment/CryptoAgent.h"
#include "foundation/Types.h"

#include <cJSON.h>

// The one agent of the host process: created at start-up, deleted at exit, and
// handed to every handler by the dispatcher. Null outside the host's run.
extern CCryptoAgent* g_pobjCryptoAgent;

// nmVURO_GetCSPInfo: no arguments (the list is not looked at); "result" the CSP
// names joined by "||". Every failure gives -1.
int nmVURO_GetCSPInfo(cJSON** ppResponseJSON, ICryptoAgent* pobjCryptoAgent);

// nmVURO_GetAllCertInfo: "params" empty; "result" the certificate list, left
// out when it cannot be converted. Every failure gives -1.
int nmVURO_GetAllCertInfo(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent);

// nmVURO_SetCSPInfo: [nKeyLength (number), CSPName (string)]; "result" true.
// Errorcode -1 for a bad list, the conversion's code for a bad argument, the
// agent's code for a refused choice.
int nmVURO_SetCSPInfo(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent);

// nmVURO_SetKeyAlgorithm: [KeyAlgorithm (string)]; "result" true. Errors as
// nmVURO_SetCSPInfo.
int nmVURO_SetKeyAlgorithm(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent);

// nmVURO_ImportEncryptCert: [EncryptedPrivateKey, EncryptPublicCert,
// ContainerName (strings), nEncryptCertPrivateKeyFlags (number)]; "result" true.
int nmVURO_ImportEncryptCert(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                             ICryptoAgent* pobjCryptoAgent);

// nmVURO_GetContainer: "params" empty; "result" the container name, left out
// when it cannot be converted. Every failure gives -1.
int nmVURO_GetContainer(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent);

// nmVURO_ImportSignCert: [nCertType (number), SignCert, ContainerName
// (strings)]; "result" true.
int nmVURO_ImportSignCert(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent);

// nmVURO_PKCS10CertRequisition: [SubjectDN (string), nCertType,
// nSignPrivateKeyGenerateFlags (numbers)]; "result" the Base64 request, left
// out when it cannot be converted.
int nmVURO_PKCS10CertRequisition(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                                 ICryptoAgent* pobjCryptoAgent);

// nmVURO_HavePermissiontoGenerateKeyPair: "params" empty; "result" true or
// false. Every failure gives -1.
int nmVURO_HavePermissiontoGenerateKeyPair(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                                           ICryptoAgent* pobjCryptoAgent);

// nmVURO_GetLastErrorDesc: "params" empty; "result" the description of the
// agent's last result. Every failure gives -1.
int nmVURO_GetLastErrorDesc(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                            ICryptoAgent* pobjCryptoAgent);
