#include "host/JSONUtility.h"

#include "foundation/Trace.h"
#include "host/JsonHandles.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#define TRACE_MODULE "JSONUtility"

namespace {

char* CopyString(const char* psz, size_t cch) {
    char* p = new (std::nothrow) char[cch + 1];
    if (p != nullptr) {
        std::memcpy(p, psz, cch);
        p[cch] = 0;
    }
    return p;
}

char* CopyString(const char* psz) {
    return CopyString(psz, std::strlen(psz));
}

// The text between the quotes of a JSON string holding psz, so that no name or
// token can end the string early or break the frame's JSON.
bool AppendEscaped(std::string& out, const char* psz) {
    UniqueJson item(cJSON_CreateString(psz));
    if (!item)
        return false;
    UniqueJsonText printed(cJSON_PrintUnformatted(item.get()));
    if (!printed)
        return false;
    size_t n = std::strlen(printed.get());
    if (n >= 2)
        out.append(printed.get() + 1, n - 2);
    return true;
}

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

int ParseRequestMsgToJSON(char** ppszUTF8FuncName, cJSON** ppParamsArray, const char* pszRequestMsg,
                          char** ppszUTF8RandomId) {
    TraceHelper trace(TEXT("ParseRequestMsgToJSON"));
    const char* op = "ParseRequestMsgToJSON";
    if (nullptr == pszRequestMsg || 0 == std::strlen(pszRequestMsg)) {
        TRACE_FAILED(op, "Check parameter", 87,
                     "(NULL == pszRequestMsg || 0 == strlen(pszRequestMsg))");
        return 87;
    }
    UniqueJson pJsonRoot(cJSON_Parse(pszRequestMsg));
    if (!pJsonRoot) {
        TRACE_FAILED(op, "cJSON_Parse", -1, "NULL == pJsonRoot");
        return -1;
    }
    cJSON* pFunction = cJSON_GetObjectItem(pJsonRoot.get(), "function");
    if (nullptr == pFunction) {
        TRACE_FAILED(op, "cJSON_GetObjectItem(function)", -1, "NULL == pFunction");
        return -1;
    }
    const char* pszUTF8FuncName = cJSON_GetStringValue(pFunction);
    if (nullptr == pszUTF8FuncName) {
        TRACE_FAILED(op, "cJSON_GetStringValue(function)", -1, "NULL == pszUTF8FuncName");
        return -1;
    }
    TraceValueA("function", pszUTF8FuncName);
    cJSON* pParamsArray = cJSON_GetObjectItem(pJsonRoot.get(), "params");
    if (nullptr == pParamsArray) {
        TRACE_FAILED(op, "cJSON_GetObjectItem(params)", -1, "NULL == pParamsArray");
        return -1;
    }
    std::unique_ptr<char[]> pszRandomIdCopy;
    if (cJSON* pRandomId = cJSON_GetObjectItem(pJsonRoot.get(), "randomId")) {
        const char* pszUTF8RandomId = cJSON_GetStringValue(pRandomId);
        if (nullptr == pszUTF8RandomId) {
            TRACE_FAILED(op, "cJSON_GetStringValue(randomId)", -1, "NULL == pszUTF8RandomId");
            return -1;
        }
        TraceValueA("randomId", pszUTF8RandomId);
        pszRandomIdCopy.reset(CopyString(pszUTF8RandomId));
        if (!pszRandomIdCopy) {
            TRACE_FAILED(op, "New memory", -1, "!*ppszUTF8RandomId");
            return -1;
        }
    }
    std::unique_ptr<char[]> pszFuncNameCopy(CopyString(pszUTF8FuncName));
    if (!pszFuncNameCopy) {
        TRACE_FAILED(op, "New memory", -1, "!*ppszUTF8FuncName");
        return -1;
    }
    UniqueJson pParamsCopy(cJSON_Duplicate(pParamsArray, 1));
    if (!pParamsCopy) {
        TRACE_FAILED(op, "cJSON_Duplicate", -1, "NULL == *ppParamsArray");
        return -1;
    }
    TRACE_OK(op, "Parse request");
    if (ppszUTF8RandomId != nullptr && pszRandomIdCopy)
        *ppszUTF8RandomId = pszRandomIdCopy.release();
    if (ppszUTF8FuncName != nullptr)
        *ppszUTF8FuncName = pszFuncNameCopy.release();
    if (ppParamsArray != nullptr)
        *ppParamsArray = pParamsCopy.release();
    return 0;
}

int ConverJSONArrayItemtoNULLEndString(cJSON* pJSONArray, int nIndex, char** ppszNULLEndString) {
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
    char* pszNULLEndString = CopyString(pszJSONItem);
    if (nullptr == pszNULLEndString) {
        TRACE_FAILED(op, "New memory", -1, "!pszNULLEndString");
        return -1;
    }
    if (ppszNULLEndString != nullptr)
        *ppszNULLEndString = pszNULLEndString;
    else
        delete[] pszNULLEndString;
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

int ConstructResponseJSON(cJSON** ppResponseJSON, const char* pszFuncName, int nErrorCode,
                          int nValueType, const void* pValue) {
    TraceHelper trace(TEXT("ConstructResponseJSON"));
    const char* op = "ConstructResponseJSON";
    if (nullptr == pszFuncName || 0 == std::strlen(pszFuncName)) {
        TRACE_FAILED(op, "Check parameter", 87,
                     "(NULL == pszFuncName || 0 == strlen(pszFuncName))");
        return 87;
    }
    UniqueJson pResponseJSON(cJSON_CreateObject());
    if (!pResponseJSON) {
        TRACE_FAILED(op, "cJSON_CreateObject", int(VURO_E_JSON_RESPONSE), "NULL == pResponseJSON");
        return VURO_E_JSON_RESPONSE;
    }
    if (cJSON_AddItemToObject(pResponseJSON.get(), "function", cJSON_CreateString(pszFuncName)) ==
            0 ||
        cJSON_AddItemToObject(pResponseJSON.get(), "errorcode", cJSON_CreateNumber(nErrorCode)) ==
            0) {
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
        (pResult == nullptr ||
         cJSON_AddItemToObject(pResponseJSON.get(), "result", pResult) == 0)) {
        cJSON_Delete(pResult);
        TRACE_FAILED(op, "cJSON_AddItemToObject(result)", -1, "NULL == pResult");
        return -1;
    }
    TRACE_OK(op, "Construct response");
    if (ppResponseJSON != nullptr)
        *ppResponseJSON = pResponseJSON.release();
    return 0;
}

int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             char** ppszResponseMsg) {
    TraceHelper trace(TEXT("ConvertJSONToResponseMsg"));
    const char* op = "ConvertJSONToResponseMsg";
    const bool bHaveToken = pszRandomId != nullptr && pszRandomId[0] != 0;
    char* pszResponseMsg = nullptr;
    if (pResponseJSON != nullptr) {
        if (bHaveToken)
            cJSON_AddItemToObject(pResponseJSON, "randomId", cJSON_CreateString(pszRandomId));
        if (UniqueJsonText pszPrinted(cJSON_PrintUnformatted(pResponseJSON)); pszPrinted)
            pszResponseMsg = CopyString(pszPrinted.get());
    } else {
        // The fixed texts keep their historical shape (a blank after each comma).
        std::string text = "{\"function\":\"";
        bool bOk = AppendEscaped(text, pszFuncName != nullptr ? pszFuncName : "");
        char szCode[64];
        std::snprintf(szCode, sizeof(szCode), "\", \"errorcode\":%d, \"result\":false",
                      kFixedResponseCode);
        text += szCode;
        if (bHaveToken) {
            text += ", \"randomId\":\"";
            bOk = bOk && AppendEscaped(text, pszRandomId);
            text += "\"";
        }
        text += "}";
        if (bOk)
            pszResponseMsg = CopyString(text.data(), text.size());
    }
    if (pszResponseMsg == nullptr)
        TRACE_FAILED(op, "Print response", -1, "NULL == pszResponseMsg");
    if (ppszResponseMsg != nullptr)
        *ppszResponseMsg = pszResponseMsg;
    else
        delete[] pszResponseMsg;
    return 0;
}
