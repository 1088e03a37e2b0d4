// The signing methods pages call, in the order they are matched: one table for
// npSarvik's scriptable object and the signing native-messaging host, with
// what each of them says about a method in its own words.
#pragma once
#include "methods/MethodTable.h"
#include "signing/SigningAgent.h"

namespace orvane::methods::sign {

using orvane::signing::ISigningAgent;

inline constexpr Method kRows[] = {
    {.name = kName<"VURO_SelectUserCert">,
     .call = kAgentCall<&ISigningAgent::VURO_SelectUserCert, Text(Text, Text, Text, Text, Boolean)>,
     .args = {"DN", "IssuerDN", "SN", "CSP", "AlwaysShow"},
     .script = {.pszCheckReason =
                    "5 != argCount || NPVariantType_String != args[0].type || "
                    "NPVariantType_String != args[1].type|| NPVariantType_String != "
                    "args[2].type|| NPVariantType_String != args[3].type || NPVariantType_Bool "
                    "!= args[4].type"},
     // A selection refused before the agent ran is a failed selection too.
     .refusal = OnRefusal::ForgetSelection},
    {.name = kName<"VURO_SignData">,
     .call = kAgentCall<&ISigningAgent::VURO_SignData, Text(Text, Text)>,
     .args = {"SourceMsg", "HashAlg"},
     .script = {.pszCheckReason = "2 != argCount || NPVariantType_String != args[0].type || "
                                  "NPVariantType_String != args[1].type"}},
    {.name = kName<"VURO_SignDataDetached">,
     .call = kAgentCall<&ISigningAgent::VURO_SignDataDetached, Text(Text, Text)>,
     .args = {"SourceMsg", "HashAlg"},
     .script = {.pszCheckReason = "2 != argCount || NPVariantType_String != args[0].type|| "
                                  "NPVariantType_String != args[1].type"}},
    {.name = kName<"VURO_SignFile">,
     .call = kAgentCall<&ISigningAgent::VURO_SignFile, Text(Text, Text)>,
     .args = {"SrcFileName", "HashAlg"},
     .script = {.pszCheckReason = "2 != argCount || NPVariantType_String != args[0].type|| "
                                  "NPVariantType_String != args[1].type"}},
    {.name = kName<"VURO_SignFileDetached">,
     .call = kAgentCall<&ISigningAgent::VURO_SignFileDetached, Text(Text, Text)>,
     .args = {"SrcFileName", "HashAlg"},
     .script = {.pszCheckReason = "2 != argCount || NPVariantType_String != args[0].type || "
                                  "NPVariantType_String != args[1].type"}},
    {.name = kName<"VURO_GetCertInfo">,
     .call = kAgentCall<&ISigningAgent::VURO_GetCertInfo, Text(Text)>,
     .args = {"InfoName"},
     .script = {.pszCheckReason = "1 != argCount || NPVariantType_String != args[0].type"}},
    {.name = kName<"VURO_GetCSPInfo">,
     .call = kAgentCall<&ISigningAgent::VURO_GetCSPInfo, Text()>,
     .script = {.pszCheckReason = "0 != argCount"}},
    kVersionRow,
    kHostCheckRow,
    {.name = kName<"VURO_GetLastErrorDesc">,
     .call = kAgentCall<&ISigningAgent::VURO_GetLastErrorDesc, Text()>,
     .script = {.pszCheckReason = "0 != argCount", .pszCheckStep = "Check parameters."}},
};

} // namespace orvane::methods::sign

// kSignMethods: the table, with npSarvik's trace wording.
inline constexpr orvane::methods::MethodTable<orvane::signing::ISigningAgent>
    kSignMethods(orvane::methods::sign::kRows,
                 {.pszCheckStep = "Check parameter",
                  .conversion = orvane::methods::ConversionSteps::PerArgument,
                  .bAgentMemberStep = true});
