// The enrolment methods pages call, in the order the host matches them: one
// table for Tandry's dispatcher and npPellin's scriptable object, with what
// each of them says about a method in its own words.
#pragma once
#include "enrolment/CryptoAgent.h"
#include "methods/MethodTable.h"

namespace orvane::methods::enrol {

inline constexpr Method kRows[] = {
    {.name = kName<"VURO_GetCSPInfo">,
     .call = kAgentCall<&ICryptoAgent::VURO_GetCSPInfo, Text()>,
     .host = {.params = HostParams::Ignored, .failure = HostFailure::Minus1},
     .script = {.pszCheckReason = "0 != argCount"}},
    kVersionRow,
    {.name = kName<"VURO_GetAllCertInfo">,
     .call = kAgentCall<&ICryptoAgent::VURO_GetAllCertInfo, Text()>,
     .host = {.failure = HostFailure::Minus1, .text = HostText::Optional},
     .script = {.pszCheckReason = "argCount != 0"}},
    {.name = kName<"VURO_SetCSPInfo">,
     .call = kAgentCall<&ICryptoAgent::VURO_SetCSPInfo, Boolean(Number, Text)>,
     .args = {"nKeyLength", "CSPName"},
     .script = {.pszCheckReason = "(argCount != 2 || (args[0].type != NPVariantType_Int32 && "
                                  "args[0].type != NPVariantType_Double) || args[1].type != "
                                  "NPVariantType_String)"}},
    {.name = kName<"VURO_SetKeyAlgorithm">,
     .call = kAgentCall<&ICryptoAgent::VURO_SetKeyAlgorithm, Boolean(Text)>,
     .args = {"KeyAlgorithm"},
     .script = {.pszCheckReason = "(argCount != 1 || args[0].type != NPVariantType_String)"}},
    // Only the host offers the encryption import; the plug-in never did.
    {.name = kName<"VURO_ImportEncryptCert">,
     .call = kAgentCall<&ICryptoAgent::VURO_ImportEncryptCert, Boolean(Text, Text, Text, Number)>,
     .args = {"EncryptedPrivateKey", "EncryptPublicCert", "ContainerName",
              "nEncryptCertPrivateKeyFlags"},
     .secretArgs = 0b0001, // the enveloped key
     .script = {.bOffered = false}},
    {.name = kName<"VURO_GetContainer">,
     .call = kAgentCall<&ICryptoAgent::VURO_GetContainer, Text()>,
     .host = {.failure = HostFailure::Minus1, .text = HostText::Optional},
     .script = {.pszCheckReason = "argCount != 0"}},
    {.name = kName<"VURO_ImportSignCert">,
     .call = kAgentCall<&ICryptoAgent::VURO_ImportSignCert, Boolean(Number, Text, Text)>,
     .args = {"nCertType", "SignCert", "ContainerName"},
     .script = {.pszCheckReason = "(argCount != 3 || (args[0].type != NPVariantType_Int32 && "
                                  "args[0].type != NPVariantType_Double) || args[1].type != "
                                  "NPVariantType_String || args[2].type != "
                                  "NPVariantType_String)"}},
    {.name = kName<"VURO_PKCS10CertRequisition">,
     .call = kAgentCall<&ICryptoAgent::VURO_PKCS10CertRequisition, Text(Text, Number, Number)>,
     .args = {"SubjectDN", "nCertType", "nSignPrivateKeyGenerateFlags"},
     .host = {.text = HostText::Optional},
     .script = {.pszCheckReason = "(argCount != 3 || args[0].type != NPVariantType_String || "
                                  "(args[1].type != NPVariantType_Int32 && args[1].type != "
                                  "NPVariantType_Double) || (args[2].type != "
                                  "NPVariantType_Int32 && args[2].type != "
                                  "NPVariantType_Double))"}},
    {.name = kName<"VURO_HavePermissiontoGenerateKeyPair">,
     .call = kAgentCall<&ICryptoAgent::VURO_HavePermissiontoGenerateKeyPair, Boolean()>,
     .host = {.failure = HostFailure::Minus1},
     .script = {.pszCheckReason = "0 != argCount"}},
    kHostCheckRow,
    {.name = kName<"VURO_GetLastErrorDesc">,
     .call = kAgentCall<&ICryptoAgent::VURO_GetLastErrorDesc, Text()>,
     .host = {.failure = HostFailure::Minus1},
     .script = {.pszCheckReason = "0 != argCount"}},
};

} // namespace orvane::methods::enrol

// kEnrolMethods: the table, with npPellin's trace wording.
inline constexpr orvane::methods::MethodTable<ICryptoAgent>
    kEnrolMethods(orvane::methods::enrol::kRows,
                  {.pszCheckStep = "Invalid parameters",
                   .conversion = orvane::methods::ConversionSteps::OneStep,
                   .bAgentMemberStep = false});
