#include "host/JSONUtility.h"

#include "foundation/Trace.h"
#include "host/JsonHandles.h"
#include "host/JsonText.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#define TRACE_MODULE "JSONUtility"

namespace {

// Takes element nIndex: steps 1 to 3 shared by both argument readers.
int TakeArgument(const char* pszOperation, cJSON* pJSONArray, int nIndex, cJSON** ppItem) {
    if (nullptr == pJSONArray || nIndex < 0) {
        TRACE_FAILED(pszOperation, "Check parameter", 87, "(NULL == pJSONArray || nIndex < 0)");
        return 87;
    }
    int nCount = cJSON_GetArraySize(pJSONArray);
    if (0 == nCount || nCount <= nIndex) {
        TRACE_FAILED(pszOperation, "cJSON_GetArraySize", 87, "(0 == nCount || nCount <= nIndex)");
        return 87;
    }
    cJSON* pJSONItem = cJSON_GetArrayItem(pJSONArray, nIndex);
    if (nullptr == pJSONItem) {
        TRACE_FAILED(pszOperation, "cJSON_GetArrayItem", kFixedResponseCode, "NULL == pJSONItem");
        return kFixedResponseCode;
    }
    *ppItem = pJSONItem;
    return 0;
}

// An argument given as {"param": value} is read through its "param" member; one
// without it is refused rather than read.
int Unwrap(const char* pszOperation, cJSON* pJSONItem, cJSON** ppValue) {
    if (cJSON_IsObject(pJSONItem)) {
        cJSON* pParam = cJSON_GetObjectItem(pJSONItem, "param");
        if (nullptr == pParam) {
            TRACE_FAILED(pszOperation, "cJSON_GetObjectItem(param)", int(VURO_E_JSON_ARG_TYPE),
                         "NULL == pParam");
            return VURO_E_JSON_ARG_TYPE;
        }
        *ppValue = pParam;
    } else {
        *ppValue = pJSONItem;
    }
    return 0;
}

// The value of element nIndex for a reader (through "param" when the element
// is an object), which must pass isType: otherwise the type check fails with
// the reason for an object or for a plain element.
int TakeValueOfType(const char* pszOperation, cJSON* pJSONArray, int nIndex,
                    cJSON_bool (*isType)(const cJSON*), const char* pszReasonObject,
                    const char* pszReasonPlain, cJSON** ppValue) {
    cJSON* pJSONItem = nullptr;
    if (int nResult = TakeArgument(pszOperation, pJSONArray, nIndex, &pJSONItem); nResult != 0)
        return nResult;
    const bool bObject = cJSON_IsObject(pJSONItem);
    cJSON* pValue = nullptr;
    if (int nResult = Unwrap(pszOperation, pJSONItem, &pValue); nResult != 0)
        return nResult;
    if (!isType(pValue)) {
        TRACE_FAILED(pszOperation, "Check type", int(VURO_E_JSON_ARG_TYPE),
                     bObject ? pszReasonObject : pszReasonPlain);
        return VURO_E_JSON_ARG_TYPE;
    }
    *ppValue = pValue;
    return 0;
}

} // namespace

namespace {

// MarkBody: rewrites the cb bytes at pb in place (the result is never
// longer): a NUL character, raw or as the escape \u0000, becomes kMarkNul and
// every byte that is not part of well-formed UTF-8 kMarkIllFormed; the rest
// is copied. Escapes are read in pairs, so an escaped backslash followed by
// "u0000" stays text. Counts in *pnValues an upper bound of the JSON values
// (one, plus a comma or an opening bracket outside strings each). Returns
// the new length; a zero byte follows it.
size_t MarkBody(char* pb, size_t cb, size_t* pnValues) {
    auto* const pu = reinterpret_cast<unsigned char*>(pb);
    size_t in = 0, out = 0, nValues = 1;
    bool fInString = false;
    while (in < cb) {
        const unsigned char c = pu[in];
        if (c == 0) {
            pb[out++] = kMarkNul;
            ++in;
            continue;
        }
        if (c >= 0x80) {
            const size_t n = Utf8SequenceLength(pu + in, cb - in);
            if (n == 0) {
                pb[out++] = kMarkIllFormed;
                ++in;
                continue;
            }
            for (size_t i = 0; i < n; ++i)
                pb[out++] = pb[in++];
            continue;
        }
        if (fInString) {
            if (c == '\\' && in + 1 < cb) {
                if (pb[in + 1] == 'u' && in + 5 < cb && pb[in + 2] == '0' && pb[in + 3] == '0' &&
                    pb[in + 4] == '0' && pb[in + 5] == '0') {
                    pb[out++] = kMarkNul;
                    in += 6;
                    continue;
                }
                pb[out++] = pb[in++]; // the backslash
                if (pu[in] != 0 && pu[in] < 0x80)
                    pb[out++] = pb[in++]; // what it escapes, never a string's end
                continue;
            }
            if (c == '"')
                fInString = false;
        } else if (c == '"') {
            fInString = true;
        } else if (c == ',' || c == '[' || c == '{') {
            ++nValues;
        }
        pb[out++] = pb[in++];
    }
    pb[out] = 0;
    *pnValues = nValues;
    return out;
}

// CopyIfString: a copy of item's string value in *pstrCopy, with *pfString
// saying whether it is one. False when memory runs out.
bool CopyIfString(const cJSON* pItem, std::string* pstrCopy, bool* pfString) noexcept {
    const char* psz = cJSON_GetStringValue(pItem);
    *pfString = psz != nullptr;
    if (psz == nullptr)
        return true;
    try {
        pstrCopy->assign(psz);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace

int ParseRequestBody(char* pBody, size_t cbBody, RequestParts* pParts) {
    TraceHelper trace(TEXT("ParseRequestMsgToJSON"));
    const char* op = "ParseRequestMsgToJSON";
    if (nullptr == pBody || 0 == cbBody || nullptr == pParts) {
        TRACE_FAILED(op, "Check parameter", 87,
                     "(NULL == pszRequestMsg || 0 == strlen(pszRequestMsg))");
        return 87;
    }
    size_t nValues = 0;
    const size_t cbMarked = MarkBody(pBody, cbBody, &nValues);
    if (nValues > kMaxRequestValues) {
        TRACE_FAILED(op, "Count values", int(VURO_E_DATA_LENGTH_LIMIT),
                     "nValues > kMaxRequestValues");
        return VURO_E_DATA_LENGTH_LIMIT;
    }
    const char* pszEnd = nullptr;
    // The length counts the zero byte after the text, as cJSON_Parse's does.
    UniqueJson pJsonRoot(cJSON_ParseWithLengthOpts(pBody, cbMarked + 1, &pszEnd, 0));
    if (!pJsonRoot || !cJSON_IsObject(pJsonRoot.get())) {
        TRACE_FAILED(op, "cJSON_Parse", -1, "NULL == pJsonRoot");
        return -1;
    }
    // Blanks after the object (the parser takes every control byte for one),
    // and nothing else: a page that sends more meant something else.
    for (const char* p = pszEnd; p < pBody + cbMarked; ++p) {
        if (static_cast<unsigned char>(*p) > 0x20) {
            TRACE_FAILED(op, "cJSON_Parse", -1, "text after the JSON value");
            return -1;
        }
    }
    RequestParts parts;
    bool fString = false;
    cJSON* pFunction = cJSON_GetObjectItem(pJsonRoot.get(), "function");
    if (nullptr == pFunction) {
        TRACE_FAILED(op, "cJSON_GetObjectItem(function)", -1, "NULL == pFunction");
        return -1;
    }
    const bool fCopied = CopyIfString(pFunction, &parts.strFuncName, &fString);
    if (!fString) {
        TRACE_FAILED(op, "cJSON_GetStringValue(function)", -1, "NULL == pszUTF8FuncName");
        return -1;
    }
    if (TRACE_IF(!fCopied, op, "New memory", -1))
        return -1;
    TraceValueA("function", parts.strFuncName.c_str());
    // "params" is the argument list: anything else is no list at all.
    cJSON* pParamsArray = cJSON_GetObjectItem(pJsonRoot.get(), "params");
    if (nullptr == pParamsArray || !cJSON_IsArray(pParamsArray)) {
        TRACE_FAILED(op, "cJSON_GetObjectItem(params)", -1, "!cJSON_IsArray(pParamsArray)");
        return -1;
    }
    if (cJSON* pRandomId = cJSON_GetObjectItem(pJsonRoot.get(), "randomId")) {
        std::string strRandomId;
        const bool fTokenCopied = CopyIfString(pRandomId, &strRandomId, &fString);
        if (!fString) {
            TRACE_FAILED(op, "cJSON_GetStringValue(randomId)", -1, "NULL == pszUTF8RandomId");
            return -1;
        }
        if (TRACE_IF(!fTokenCopied, op, "New memory", -1))
            return -1;
        parts.fHasRandomId = true;
        parts.strRandomId = std::move(strRandomId);
        TraceValueA("randomId", parts.strRandomId.c_str());
    }
    // A name or token that cannot be echoed as it was sent: the request is not
    // run, and both go back (escaped) in the fixed-text answer.
    if (!IsWellFormedUtf8(parts.strFuncName.c_str(), parts.strFuncName.size()) ||
        (parts.fHasRandomId &&
         !IsWellFormedUtf8(parts.strRandomId.c_str(), parts.strRandomId.size()))) {
        TRACE_FAILED(op, "Check text", -1, "NUL or ill-formed UTF-8 in function or randomId");
        pParts->strFuncName = std::move(parts.strFuncName);
        pParts->fHasRandomId = parts.fHasRandomId;
        pParts->strRandomId = std::move(parts.strRandomId);
        return -1;
    }
    // Taken out of the tree rather than copied: the tree goes anyway.
    parts.pParams.reset(cJSON_DetachItemViaPointer(pJsonRoot.get(), pParamsArray));
    TRACE_OK(op, "Parse request");
    *pParts = std::move(parts);
    return 0;
}

int ParseRequestMsgToJSON(std::string* pstrUTF8FuncName, UniqueJson* pParamsArray,
                          const char* pszRequestMsg, std::string* pstrUTF8RandomId) {
    if (TRACE_IF(nullptr == pszRequestMsg || 0 == std::strlen(pszRequestMsg),
                 "ParseRequestMsgToJSON", "Check parameter", 87))
        return 87;
    try {
        std::string strCopy(pszRequestMsg);
        RequestParts parts;
        const int nResult = ParseRequestBody(strCopy.data(), strCopy.size(), &parts);
        if (nResult != 0)
            return nResult;
        if (pstrUTF8RandomId != nullptr && parts.fHasRandomId)
            pstrUTF8RandomId->swap(parts.strRandomId);
        if (pstrUTF8FuncName != nullptr)
            pstrUTF8FuncName->swap(parts.strFuncName);
        if (pParamsArray != nullptr)
            *pParamsArray = std::move(parts.pParams);
        return 0;
    } catch (const std::bad_alloc&) {
        TRACE_FAILED("ParseRequestMsgToJSON", "New memory", -1, "std::bad_alloc");
        return -1;
    }
}

int ConverJSONArrayItemtoNULLEndString(cJSON* pJSONArray, int nIndex,
                                       std::string* pstrNULLEndString) {
    TraceHelper trace(TEXT("ConverJSONArrayItemtoNULLEndString"));
    const char* op = "ConverJSONArrayItemtoNULLEndString";
    cJSON* pValue = nullptr;
    if (int nResult =
            TakeValueOfType(op, pJSONArray, nIndex, cJSON_IsString, "cJSON_String != nItemType",
                            "cJSON_String != pJSONItem->type", &pValue);
        nResult != 0)
        return nResult;
    const char* pszJSONItem = cJSON_GetStringValue(pValue);
    if (nullptr == pszJSONItem) {
        TRACE_FAILED(op, "cJSON_GetStringValue", int(VURO_E_JSON_ARG_TYPE), "NULL == pszJSONItem");
        return VURO_E_JSON_ARG_TYPE;
    }
    // A NUL would cut the text short on its way to the agent ("CN=a\u0000,O=x"
    // would sign a request for CN=a), and bytes that are no UTF-8 would change.
    if (!IsWellFormedUtf8(pszJSONItem)) {
        TRACE_FAILED(op, "Check text", int(E_INVALIDARG), "NUL or ill-formed UTF-8");
        return E_INVALIDARG;
    }
    if (pstrNULLEndString == nullptr)
        return 0;
    try {
        pstrNULLEndString->assign(pszJSONItem);
    } catch (const std::bad_alloc&) {
        TRACE_FAILED(op, "New memory", -1, "std::bad_alloc");
        return -1;
    }
    return 0;
}

int ConverJSONArrayItemtoint(cJSON* pJSONArray, int nIndex, int* pnValue) {
    TraceHelper trace(TEXT("ConverJSONArrayItemtoint"));
    const char* pszReason = "(cJSON_Number != nItemType)";
    cJSON* pValue = nullptr;
    if (int nResult = TakeValueOfType("ConverJSONArrayItemtoint", pJSONArray, nIndex,
                                      cJSON_IsNumber, pszReason, pszReason, &pValue);
        nResult != 0)
        return nResult;
    // The library keeps the number truncated (and saturated) to int beside the double.
    if (pValue->valueint != 0 && pnValue != nullptr)
        *pnValue = pValue->valueint;
    return 0;
}

int ConverJSONArrayItemtobool(cJSON* pJSONArray, int nIndex, VARIANT_BOOL* pvbValue) {
    TraceHelper trace(TEXT("ConverJSONArrayItemtobool"));
    const char* pszReason = "!cJSON_IsBool(pValue)";
    cJSON* pValue = nullptr;
    if (int nResult = TakeValueOfType("ConverJSONArrayItemtobool", pJSONArray, nIndex, cJSON_IsBool,
                                      pszReason, pszReason, &pValue);
        nResult != 0)
        return nResult;
    if (pvbValue != nullptr)
        *pvbValue = cJSON_IsTrue(pValue) ? VARIANT_TRUE : VARIANT_FALSE;
    return 0;
}

int ConstructResponseJSON(UniqueJson* pResponseJSON, const char* pszFuncName, int nErrorCode,
                          int nValueType, const void* pValue) {
    TraceHelper trace(TEXT("ConstructResponseJSON"));
    const char* op = "ConstructResponseJSON";
    if (nullptr == pszFuncName || 0 == std::strlen(pszFuncName)) {
        TRACE_FAILED(op, "Check parameter", 87,
                     "(NULL == pszFuncName || 0 == strlen(pszFuncName))");
        return 87;
    }
    UniqueJson response(cJSON_CreateObject());
    if (TRACE_IF(!response, op, "cJSON_CreateObject", int(VURO_E_JSON_RESPONSE)))
        return VURO_E_JSON_RESPONSE;
    if (cJSON_AddItemToObject(response.get(), "function", cJSON_CreateString(pszFuncName)) == 0 ||
        cJSON_AddItemToObject(response.get(), "errorcode", cJSON_CreateNumber(nErrorCode)) == 0) {
        TRACE_FAILED(op, "cJSON_AddItemToObject", -1, "NULL == pItem");
        return -1;
    }
    cJSON* pResult = nullptr;
    if (nErrorCode != 0) {
        pResult = cJSON_CreateBool(0);
    } else if (pValue != nullptr) {
        switch (nValueType) {
        case RESPONSE_VALUE_BOOLEAN0:
        case RESPONSE_VALUE_BOOLEAN:
            pResult = cJSON_CreateBool(*static_cast<const unsigned char*>(pValue) != 0);
            break;
        case RESPONSE_VALUE_DOUBLE:
            pResult = cJSON_CreateNumber(*static_cast<const double*>(pValue));
            break;
        case RESPONSE_VALUE_STRING:
            pResult = cJSON_CreateString(static_cast<const char*>(pValue));
            break;
        case RESPONSE_VALUE_INT32:
            pResult = cJSON_CreateNumber(*static_cast<const int32_t*>(pValue));
            break;
        default:
            TRACE_FAILED(op, "Check value type", -1, "Unknown nValueType");
            return -1;
        }
    }
    if ((nErrorCode != 0 || pValue != nullptr) &&
        (pResult == nullptr || cJSON_AddItemToObject(response.get(), "result", pResult) == 0)) {
        cJSON_Delete(pResult);
        TRACE_FAILED(op, "cJSON_AddItemToObject(result)", -1, "NULL == pResult");
        return -1;
    }
    TRACE_OK(op, "Construct response");
    if (pResponseJSON != nullptr)
        *pResponseJSON = std::move(response);
    return 0;
}

namespace {
std::string ResponseText(const char* pszFuncName, const char* pszRandomId, bool bHaveToken,
                         cJSON* pResponseJSON);
} // namespace

int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             std::string* pstrResponseMsg) {
    TraceHelper trace(TEXT("ConvertJSONToResponseMsg"));
    const char* op = "ConvertJSONToResponseMsg";
    const bool bHaveToken = pszRandomId != nullptr && pszRandomId[0] != 0;
    std::string strResponseMsg;
    try {
        strResponseMsg = ResponseText(pszFuncName, pszRandomId, bHaveToken, pResponseJSON);
    } catch (const std::bad_alloc&) {
        strResponseMsg.clear();
    }
    if (strResponseMsg.empty())
        TRACE_FAILED(op, "Print response", -1, "response.empty()");
    if (pstrResponseMsg != nullptr)
        *pstrResponseMsg = std::move(strResponseMsg);
    return 0;
}

namespace {

// The response text of ConvertJSONToResponseMsg; empty when it cannot be
// printed. May throw std::bad_alloc.
std::string ResponseText(const char* pszFuncName, const char* pszRandomId, bool bHaveToken,
                         cJSON* pResponseJSON) {
    if (pResponseJSON != nullptr) {
        // The answer is printed without the token when it cannot be added.
        if (bHaveToken)
            static_cast<void>(
                cJSON_AddItemToObject(pResponseJSON, "randomId", cJSON_CreateString(pszRandomId)));
        UniqueJsonText pszPrinted(cJSON_PrintUnformatted(pResponseJSON));
        return pszPrinted ? std::string(pszPrinted.get()) : std::string();
    } else {
        // The fixed texts keep their historical shape (a blank after each comma).
        std::string text = "{\"function\":";
        bool bOk = AppendJsonString(text, pszFuncName != nullptr ? pszFuncName : "");
        char szCode[64];
        std::snprintf(szCode, sizeof(szCode), ", \"errorcode\":%d, \"result\":false",
                      kFixedResponseCode);
        text += szCode;
        if (bHaveToken) {
            text += ", \"randomId\":";
            bOk = bOk && AppendJsonString(text, pszRandomId);
        }
        text += "}";
        return bOk ? text : std::string();
    }
}

} // namespace

std::string ErrorResponseText(const char* pszFuncName, const char* pszRandomId, int nErrorCode,
                              size_t cbMax) noexcept {
    const auto print = [nErrorCode](const char* pszName, const char* pszToken) {
        // A string that could not be appended would leave the text cut short:
        // the whole answer is given up instead (see the catch below).
        std::string text = "{\"function\":";
        if (!AppendJsonString(text, pszName))
            throw std::bad_alloc();
        text += ",\"errorcode\":" + std::to_string(nErrorCode) + ",\"result\":false";
        if (pszToken != nullptr && pszToken[0] != 0) {
            text += ",\"randomId\":";
            if (!AppendJsonString(text, pszToken))
                throw std::bad_alloc();
        }
        return text + "}";
    };
    try {
        const char* pszName = IsWellFormedUtf8(pszFuncName) ? pszFuncName : "";
        const char* pszToken = IsWellFormedUtf8(pszRandomId) ? pszRandomId : nullptr;
        std::string text = print(pszName, pszToken);
        if (text.size() > cbMax)
            text = print(pszName, nullptr);
        if (text.size() > cbMax)
            text = print("", nullptr);
        return text;
    } catch (...) {
        return std::string();
    }
}
