#include "host/nmEnrolHandlers.h"

#include "host/JSONUtility.h"
#include "foundation/Misc.h"
#include "foundation/Trace.h"

#include <memory>
#include <new>

// The handlers belong to the dispatcher's module in every trace line.
#define TRACE_MODULE "nmMessageSigning"

CCryptoAgent* g_pobjCryptoAgent = nullptr;

namespace {

// What a page sees for a bad argument list, and for every failure of the
// methods that only say "it failed" (the page then asks for the description).
constexpr int kHandlerFailed = -1;

struct BstrFree {
    void operator()(WCHAR* bstr) const { SysFreeString(bstr); }
};
using UniqueBstr = std::unique_ptr<WCHAR, BstrFree>;

// The reason lines of the count check, by expected count.
constexpr const WCHAR* kCountReasons[] = {
    TEXT("0 != nArgsCount"), TEXT("1 != nArgsCount"), TEXT("2 != nArgsCount"),
    TEXT("3 != nArgsCount"), TEXT("4 != nArgsCount"),
};

// Steps 1 and 2 of every handler with an argument list: a list, an agent,
// and exactly nExpected elements. Returns 0 or -1.
int CheckArguments(const WCHAR* pwszOp, cJSON* pJSONArgs, const ICryptoAgent* pobjCryptoAgent,
                   int nExpected) {
    if (nullptr == pJSONArgs) {
        TRACE_FAILED_W(pwszOp, TEXT("Check parameter"), kHandlerFailed, TEXT("NULL == pJSONArgs"));
        return kHandlerFailed;
    }
    if (nullptr == pobjCryptoAgent) {
        TRACE_FAILED_W(pwszOp, TEXT("Check parameter"), kHandlerFailed,
                       TEXT("NULL == pobjCryptoAgent"));
        return kHandlerFailed;
    }
    const int nArgsCount = cJSON_GetArraySize(pJSONArgs);
    if (nArgsCount != nExpected) {
        TRACE_FAILED_W(pwszOp, TEXT("Check parameter(Args count)"), kHandlerFailed,
                       kCountReasons[nExpected]);
        return kHandlerFailed;
    }
    TRACE_OK_W(pwszOp, TEXT("Check parameter(Args count)"));
    return VURO_OK;
}

// Argument nIndex as UTF-16 text (new[], in *ppwszValue). Returns 0, the
// argument reader's code, or the converter's.
int TakeText(const WCHAR* pwszOp, cJSON* pJSONArgs, int nIndex,
             std::unique_ptr<WCHAR[]>* ppwszValue) {
    char* pszRaw = nullptr;
    const int nResult = ConverJSONArrayItemtoNULLEndString(pJSONArgs, nIndex, &pszRaw);
    if (VURO_OK != nResult) {
        TRACE_FAILED_W(pwszOp, TEXT("ConverJSONArrayItemtoNULLEndString"), nResult,
                       TEXT("VURO_OK != nResult"));
        return nResult;
    }
    std::unique_ptr<char[]> psz(pszRaw);
    WCHAR* pwszRaw = nullptr;
    int nLength = 0;
    const HRESULT hResult = UTF8ToUTF16(psz.get(), &pwszRaw, &nLength);
    if (FAILED(hResult)) {
        TRACE_FAILED_W(pwszOp, TEXT("UTF8ToUTF16"), hResult, TEXT("FAILED(hResult)"));
        return hResult;
    }
    ppwszValue->reset(pwszRaw);
    return VURO_OK;
}

// Argument nIndex as a signed 32-bit integer. Returns 0 or the reader's code.
int TakeInt(const WCHAR* pwszOp, cJSON* pJSONArgs, int nIndex, int* pnValue) {
    int nValue = 0;
    const int nResult = ConverJSONArrayItemtoint(pJSONArgs, nIndex, &nValue);
    if (VURO_OK != nResult) {
        TRACE_FAILED_W(pwszOp, TEXT("ConverJSONArrayItemtoint"), nResult,
                       TEXT("VURO_OK != nResult"));
        return nResult;
    }
    *pnValue = nValue;
    return VURO_OK;
}

// The agent's answer as an errorcode: failures as they are, anything else 0.
int ErrorCodeOf(const WCHAR* pwszOp, const WCHAR* pwszStep, HRESULT hResult) {
    if (FAILED(hResult)) {
        TRACE_FAILED_W(pwszOp, pwszStep, hResult, TEXT("FAILED(hResult)"));
        return int(hResult);
    }
    TRACE_OK_W(pwszOp, pwszStep);
    return VURO_OK;
}

void RespondFailure(cJSON** ppResponseJSON, const char* pszMethod, int nErrorCode) {
    ConstructResponseJSON(ppResponseJSON, pszMethod, nErrorCode, RESPONSE_VALUE_STRING, nullptr);
}

// A yes/no answer: true only for VARIANT_TRUE.
void RespondBoolean(cJSON** ppResponseJSON, const char* pszMethod, int nErrorCode,
                    VARIANT_BOOL vbValue) {
    const unsigned char byValue = vbValue == VARIANT_TRUE ? 1 : 0;
    ConstructResponseJSON(ppResponseJSON, pszMethod, nErrorCode, RESPONSE_VALUE_BOOLEAN, &byValue);
}

enum class TextConversion {
    Required, // a text that cannot be converted fails the call with -1
    Optional, // ... only leaves "result" out
};

// A text answer: converted to UTF-8 when nErrorCode is 0 (a null BSTR is an
// empty text).
void RespondText(const WCHAR* pwszOp, cJSON** ppResponseJSON, const char* pszMethod, int nErrorCode,
                 const WCHAR* bstrValue, TextConversion conversion) {
    if (nErrorCode != VURO_OK) {
        RespondFailure(ppResponseJSON, pszMethod, nErrorCode);
        return;
    }
    char* pszRaw = nullptr;
    int nLength = 0;
    const HRESULT hResult =
        UTF16ToUTF8(bstrValue != nullptr ? bstrValue : TEXT(""), &pszRaw, &nLength);
    std::unique_ptr<char[]> psz(pszRaw);
    if (FAILED(hResult)) {
        TRACE_FAILED_W(pwszOp, TEXT("UTF16ToUTF8"), hResult, TEXT("FAILED(hResult)"));
        if (conversion == TextConversion::Required)
            RespondFailure(ppResponseJSON, pszMethod, kHandlerFailed);
        else
            ConstructResponseJSON(ppResponseJSON, pszMethod, VURO_OK, RESPONSE_VALUE_STRING,
                                  nullptr);
        return;
    }
    TraceValueA("Result", psz.get());
    ConstructResponseJSON(ppResponseJSON, pszMethod, VURO_OK, RESPONSE_VALUE_STRING, psz.get());
}

// Runs a handler's body; memory running out inside still gives the page an
// answer in order, with nOutOfMemoryCode (any other exception: -1).
template <class Body>
int RunHandler(cJSON** ppResponseJSON, const char* pszMethod, int nOutOfMemoryCode,
               Body body) noexcept {
    try {
        body();
    } catch (const std::bad_alloc&) {
        TRACE_FAILED("RunHandler", pszMethod, int(E_OUTOFMEMORY), "std::bad_alloc");
        RespondFailure(ppResponseJSON, pszMethod, nOutOfMemoryCode);
    } catch (...) {
        // Nothing else is expected to throw; if it does, the page still gets
        // its answer and the host lives on.
        TRACE_FAILED("RunHandler", pszMethod, int(E_UNEXPECTED), "exception");
        RespondFailure(ppResponseJSON, pszMethod, kHandlerFailed);
    }
    return 0;
}

// A method without arguments whose answer is a text; every failure is -1.
// bArgumentList: the handler takes (an empty) argument list; without one
// only the agent is checked. The agent call's step is the method's name.
int TextWithoutArguments(const WCHAR* pwszOp, const char* pszMethod, bool bArgumentList,
                         cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent,
                         HRESULT (ICryptoAgent::*pfnCall)(BSTR*), TextConversion conversion) {
    TraceHelper trace(pwszOp);
    return RunHandler(ppResponseJSON, pszMethod, kHandlerFailed, [&] {
        if (bArgumentList && CheckArguments(pwszOp, pJSONArgs, pobjCryptoAgent, 0) != VURO_OK) {
            RespondFailure(ppResponseJSON, pszMethod, kHandlerFailed);
            return;
        }
        if (!bArgumentList && nullptr == pobjCryptoAgent) {
            TRACE_FAILED_W(pwszOp, TEXT("Check parameter"), kHandlerFailed,
                           TEXT("NULL == pobjCryptoAgent"));
            RespondFailure(ppResponseJSON, pszMethod, kHandlerFailed);
            return;
        }
        BSTR bstrRaw = nullptr;
        const HRESULT hResult = (pobjCryptoAgent->*pfnCall)(&bstrRaw);
        UniqueBstr bstrText(bstrRaw);
        // "nmVURO_X" calls "VURO_X".
        const int nErrorCode = ErrorCodeOf(pwszOp, pwszOp + 2, hResult);
        RespondText(pwszOp, ppResponseJSON, pszMethod,
                    nErrorCode == VURO_OK ? VURO_OK : kHandlerFailed, bstrText.get(), conversion);
    });
}

} // namespace

int nmVURO_GetCSPInfo(cJSON** ppResponseJSON, ICryptoAgent* pobjCryptoAgent) {
    return TextWithoutArguments(TEXT("nmVURO_GetCSPInfo"), "VURO_GetCSPInfo", false, ppResponseJSON,
                                nullptr, pobjCryptoAgent, &ICryptoAgent::VURO_GetCSPInfo,
                                TextConversion::Required);
}

int nmVURO_GetAllCertInfo(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent) {
    return TextWithoutArguments(TEXT("nmVURO_GetAllCertInfo"), "VURO_GetAllCertInfo", true,
                                ppResponseJSON, pJSONArgs, pobjCryptoAgent,
                                &ICryptoAgent::VURO_GetAllCertInfo, TextConversion::Optional);
}

int nmVURO_SetCSPInfo(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent) {
    constexpr const WCHAR* kOp = TEXT("nmVURO_SetCSPInfo");
    constexpr const char* kMethod = "VURO_SetCSPInfo";
    TraceHelper trace(kOp);
    return RunHandler(ppResponseJSON, kMethod, int(E_OUTOFMEMORY), [&] {
        int nResult = CheckArguments(kOp, pJSONArgs, pobjCryptoAgent, 2);
        int nKeyLength = 0;
        std::unique_ptr<WCHAR[]> pwszCSPName;
        if (VURO_OK == nResult)
            nResult = TakeInt(kOp, pJSONArgs, 0, &nKeyLength);
        if (VURO_OK == nResult)
            nResult = TakeText(kOp, pJSONArgs, 1, &pwszCSPName);
        VARIANT_BOOL vbResult = VARIANT_FALSE;
        if (VURO_OK == nResult) {
            TraceValueNumber("nKeyLength", long(nKeyLength));
            TraceValueW("CSPName", pwszCSPName.get());
            nResult = ErrorCodeOf(
                kOp, TEXT("VURO_SetCSPInfo"),
                pobjCryptoAgent->VURO_SetCSPInfo(LONG(nKeyLength), pwszCSPName.get(), &vbResult));
        }
        RespondBoolean(ppResponseJSON, kMethod, nResult, vbResult);
    });
}

int nmVURO_SetKeyAlgorithm(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                           ICryptoAgent* pobjCryptoAgent) {
    constexpr const WCHAR* kOp = TEXT("nmVURO_SetKeyAlgorithm");
    constexpr const char* kMethod = "VURO_SetKeyAlgorithm";
    TraceHelper trace(kOp);
    return RunHandler(ppResponseJSON, kMethod, int(E_OUTOFMEMORY), [&] {
        int nResult = CheckArguments(kOp, pJSONArgs, pobjCryptoAgent, 1);
        std::unique_ptr<WCHAR[]> pwszKeyAlgorithm;
        if (VURO_OK == nResult)
            nResult = TakeText(kOp, pJSONArgs, 0, &pwszKeyAlgorithm);
        VARIANT_BOOL vbResult = VARIANT_FALSE;
        if (VURO_OK == nResult) {
            TraceValueW("KeyAlgorithm", pwszKeyAlgorithm.get());
            nResult = ErrorCodeOf(
                kOp, TEXT("VURO_SetKeyAlgorithm"),
                pobjCryptoAgent->VURO_SetKeyAlgorithm(pwszKeyAlgorithm.get(), &vbResult));
        }
        RespondBoolean(ppResponseJSON, kMethod, nResult, vbResult);
    });
}

int nmVURO_ImportEncryptCert(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                             ICryptoAgent* pobjCryptoAgent) {
    constexpr const WCHAR* kOp = TEXT("nmVURO_ImportEncryptCert");
    constexpr const char* kMethod = "VURO_ImportEncryptCert";
    TraceHelper trace(kOp);
    return RunHandler(ppResponseJSON, kMethod, int(E_OUTOFMEMORY), [&] {
        int nResult = CheckArguments(kOp, pJSONArgs, pobjCryptoAgent, 4);
        std::unique_ptr<WCHAR[]> pwszEncryptedPrivateKey;
        std::unique_ptr<WCHAR[]> pwszEncryptPublicCert;
        std::unique_ptr<WCHAR[]> pwszContainerName;
        int nFlags = 0;
        if (VURO_OK == nResult)
            nResult = TakeText(kOp, pJSONArgs, 0, &pwszEncryptedPrivateKey);
        if (VURO_OK == nResult)
            nResult = TakeText(kOp, pJSONArgs, 1, &pwszEncryptPublicCert);
        if (VURO_OK == nResult)
            nResult = TakeText(kOp, pJSONArgs, 2, &pwszContainerName);
        if (VURO_OK == nResult)
            nResult = TakeInt(kOp, pJSONArgs, 3, &nFlags);
        VARIANT_BOOL vbResult = VARIANT_FALSE;
        if (VURO_OK == nResult) {
            // The enveloped key is key material: only the other arguments are traced.
            TraceValueW("EncryptPublicCert", pwszEncryptPublicCert.get());
            TraceValueW("ContainerName", pwszContainerName.get());
            TraceValueNumber("nEncryptCertPrivateKeyFlags", long(nFlags));
            nResult = ErrorCodeOf(kOp, TEXT("VURO_ImportEncryptCert"),
                                  pobjCryptoAgent->VURO_ImportEncryptCert(
                                      pwszEncryptedPrivateKey.get(), pwszEncryptPublicCert.get(),
                                      pwszContainerName.get(), LONG(nFlags), &vbResult));
        }
        RespondBoolean(ppResponseJSON, kMethod, nResult, vbResult);
    });
}

int nmVURO_GetContainer(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent) {
    return TextWithoutArguments(TEXT("nmVURO_GetContainer"), "VURO_GetContainer", true,
                                ppResponseJSON, pJSONArgs, pobjCryptoAgent,
                                &ICryptoAgent::VURO_GetContainer, TextConversion::Optional);
}

int nmVURO_ImportSignCert(cJSON** ppResponseJSON, cJSON* pJSONArgs, ICryptoAgent* pobjCryptoAgent) {
    constexpr const WCHAR* kOp = TEXT("nmVURO_ImportSignCert");
    constexpr const char* kMethod = "VURO_ImportSignCert";
    TraceHelper trace(kOp);
    return RunHandler(ppResponseJSON, kMethod, int(E_OUTOFMEMORY), [&] {
        int nResult = CheckArguments(kOp, pJSONArgs, pobjCryptoAgent, 3);
        int nCertType = 0;
        std::unique_ptr<WCHAR[]> pwszSignCert;
        std::unique_ptr<WCHAR[]> pwszContainerName;
        if (VURO_OK == nResult)
            nResult = TakeInt(kOp, pJSONArgs, 0, &nCertType);
        if (VURO_OK == nResult)
            nResult = TakeText(kOp, pJSONArgs, 1, &pwszSignCert);
        if (VURO_OK == nResult)
            nResult = TakeText(kOp, pJSONArgs, 2, &pwszContainerName);
        VARIANT_BOOL vbResult = VARIANT_FALSE;
        if (VURO_OK == nResult) {
            TraceValueNumber("nCertType", long(nCertType));
            TraceValueW("SignCert", pwszSignCert.get());
            TraceValueW("ContainerName", pwszContainerName.get());
            nResult = ErrorCodeOf(
                kOp, TEXT("VURO_ImportSignCert"),
                pobjCryptoAgent->VURO_ImportSignCert(LONG(nCertType), pwszSignCert.get(),
                                                     pwszContainerName.get(), &vbResult));
        }
        RespondBoolean(ppResponseJSON, kMethod, nResult, vbResult);
    });
}

int nmVURO_PKCS10CertRequisition(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                                 ICryptoAgent* pobjCryptoAgent) {
    constexpr const WCHAR* kOp = TEXT("nmVURO_PKCS10CertRequisition");
    constexpr const char* kMethod = "VURO_PKCS10CertRequisition";
    TraceHelper trace(kOp);
    return RunHandler(ppResponseJSON, kMethod, int(E_OUTOFMEMORY), [&] {
        int nResult = CheckArguments(kOp, pJSONArgs, pobjCryptoAgent, 3);
        std::unique_ptr<WCHAR[]> pwszSubjectDN;
        int nCertType = 0;
        int nGenKeyFlags = 0;
        if (VURO_OK == nResult)
            nResult = TakeText(kOp, pJSONArgs, 0, &pwszSubjectDN);
        if (VURO_OK == nResult)
            nResult = TakeInt(kOp, pJSONArgs, 1, &nCertType);
        if (VURO_OK == nResult)
            nResult = TakeInt(kOp, pJSONArgs, 2, &nGenKeyFlags);
        UniqueBstr bstrRequest;
        if (VURO_OK == nResult) {
            TraceValueW("SubjectDN", pwszSubjectDN.get());
            TraceValueNumber("nCertType", long(nCertType));
            TraceValueNumber("nSignPrivateKeyGenerateFlags", long(nGenKeyFlags));
            BSTR bstrRaw = nullptr;
            const HRESULT hResult = pobjCryptoAgent->VURO_PKCS10CertRequisition(
                pwszSubjectDN.get(), LONG(nCertType), LONG(nGenKeyFlags), &bstrRaw);
            bstrRequest.reset(bstrRaw);
            nResult = ErrorCodeOf(kOp, TEXT("VURO_PKCS10CertRequisition"), hResult);
        }
        RespondText(kOp, ppResponseJSON, kMethod, nResult, bstrRequest.get(),
                    TextConversion::Optional);
    });
}

int nmVURO_HavePermissiontoGenerateKeyPair(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                                           ICryptoAgent* pobjCryptoAgent) {
    constexpr const WCHAR* kOp = TEXT("nmVURO_HavePermissiontoGenerateKeyPair");
    constexpr const char* kMethod = "VURO_HavePermissiontoGenerateKeyPair";
    TraceHelper trace(kOp);
    return RunHandler(ppResponseJSON, kMethod, kHandlerFailed, [&] {
        int nResult = CheckArguments(kOp, pJSONArgs, pobjCryptoAgent, 0);
        VARIANT_BOOL vbResult = VARIANT_FALSE;
        if (VURO_OK == nResult && ErrorCodeOf(kOp, TEXT("VURO_HavePermissiontoGenerateKeyPair"),
                                              pobjCryptoAgent->VURO_HavePermissiontoGenerateKeyPair(
                                                  &vbResult)) != VURO_OK)
            nResult = kHandlerFailed;
        RespondBoolean(ppResponseJSON, kMethod, nResult, vbResult);
    });
}

int nmVURO_GetLastErrorDesc(cJSON** ppResponseJSON, cJSON* pJSONArgs,
                            ICryptoAgent* pobjCryptoAgent) {
    return TextWithoutArguments(TEXT("nmVURO_GetLastErrorDesc"), "VURO_GetLastErrorDesc", true,
                                ppResponseJSON, pJSONArgs, pobjCryptoAgent,
                                &ICryptoAgent::VURO_GetLastErrorDesc, TextConversion::Required);
}
