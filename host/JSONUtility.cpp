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

// Utf8SequenceLength: the length of the well-formed UTF-8 sequence at pb (of
// cb bytes at most), or 0 when none starts there.
size_t Utf8SequenceLength(const unsigned char* pb, size_t cb) {
    const unsigned char b0 = pb[0];
    if (b0 < 0x80)
        return 1;
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF; // the second byte's range
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        if (b0 == 0xE0)
            lo = 0xA0; // no overlong forms
        else if (b0 == 0xED)
            hi = 0x9F; // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F; // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (cb < n || pb[1] < lo || pb[1] > hi)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if (pb[i] < 0x80 || pb[i] > 0xBF)
            return 0;
    return n;
}

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

// CopyIfString: a copy of item's string value, or null (with *pfString false)
// when it is none.
std::unique_ptr<char[]> CopyIfString(const cJSON* pItem, bool* pfString) {
    const char* psz = cJSON_GetStringValue(pItem);
    *pfString = psz != nullptr;
    return std::unique_ptr<char[]>(psz != nullptr ? CopyString(psz) : nullptr);
}

} // namespace

bool IsWellFormedUtf8(const char* psz, size_t cb) {
    const auto* pu = reinterpret_cast<const unsigned char*>(psz);
    for (size_t i = 0; i < cb;) {
        if (pu[i] == 0)
            return false;
        const size_t n = Utf8SequenceLength(pu + i, cb - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

bool IsWellFormedUtf8(const char* psz) {
    return psz != nullptr && IsWellFormedUtf8(psz, std::strlen(psz));
}

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
    parts.pszFuncName = CopyIfString(pFunction, &fString);
    if (!fString) {
        TRACE_FAILED(op, "cJSON_GetStringValue(function)", -1, "NULL == pszUTF8FuncName");
        return -1;
    }
    if (!parts.pszFuncName) {
        TRACE_FAILED(op, "New memory", -1, "!*ppszUTF8FuncName");
        return -1;
    }
    TraceValueA("function", parts.pszFuncName.get());
    // "params" is the argument list: anything else is no list at all.
    cJSON* pParamsArray = cJSON_GetObjectItem(pJsonRoot.get(), "params");
    if (nullptr == pParamsArray || !cJSON_IsArray(pParamsArray)) {
        TRACE_FAILED(op, "cJSON_GetObjectItem(params)", -1, "!cJSON_IsArray(pParamsArray)");
        return -1;
    }
    if (cJSON* pRandomId = cJSON_GetObjectItem(pJsonRoot.get(), "randomId")) {
        parts.pszRandomId = CopyIfString(pRandomId, &fString);
        if (!fString) {
            TRACE_FAILED(op, "cJSON_GetStringValue(randomId)", -1, "NULL == pszUTF8RandomId");
            return -1;
        }
        if (!parts.pszRandomId) {
            TRACE_FAILED(op, "New memory", -1, "!*ppszUTF8RandomId");
            return -1;
        }
        TraceValueA("randomId", parts.pszRandomId.get());
    }
    // A name or token that cannot be echoed as it was sent: the request is not
    // run, and both go back (escaped) in the fixed-text answer.
    if (!IsWellFormedUtf8(parts.pszFuncName.get()) ||
        (parts.pszRandomId && !IsWellFormedUtf8(parts.pszRandomId.get()))) {
        TRACE_FAILED(op, "Check text", -1, "NUL or ill-formed UTF-8 in function or randomId");
        pParts->pszFuncName = std::move(parts.pszFuncName);
        pParts->pszRandomId = std::move(parts.pszRandomId);
        return -1;
    }
    // Taken out of the tree rather than copied: the tree goes anyway.
    parts.pParams.reset(cJSON_DetachItemViaPointer(pJsonRoot.get(), pParamsArray));
    TRACE_OK(op, "Parse request");
    *pParts = std::move(parts);
    return 0;
}

int ParseRequestMsgToJSON(char** ppszUTF8FuncName, cJSON** ppParamsArray, const char* pszRequestMsg,
                          char** ppszUTF8RandomId) {
    if (nullptr == pszRequestMsg || 0 == std::strlen(pszRequestMsg)) {
        TRACE_FAILED("ParseRequestMsgToJSON", "Check parameter", 87,
                     "(NULL == pszRequestMsg || 0 == strlen(pszRequestMsg))");
        return 87;
    }
    std::unique_ptr<char[]> pszCopy(CopyString(pszRequestMsg));
    if (!pszCopy) {
        TRACE_FAILED("ParseRequestMsgToJSON", "New memory", -1, "!pszCopy");
        return -1;
    }
    RequestParts parts;
    const int nResult = ParseRequestBody(pszCopy.get(), std::strlen(pszCopy.get()), &parts);
    if (nResult != 0)
        return nResult;
    if (ppszUTF8RandomId != nullptr && parts.pszRandomId)
        *ppszUTF8RandomId = parts.pszRandomId.release();
    if (ppszUTF8FuncName != nullptr)
        *ppszUTF8FuncName = parts.pszFuncName.release();
    if (ppParamsArray != nullptr)
        *ppParamsArray = parts.pParams.release();
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
    // A NUL would cut the text short on its way to the agent ("CN=a\u0000,O=x"
    // would sign a request for CN=a), and bytes that are no UTF-8 would change.
    if (!IsWellFormedUtf8(pszJSONItem)) {
        TRACE_FAILED(op, "Check text", int(E_INVALIDARG), "NUL or ill-formed UTF-8");
        return E_INVALIDARG;
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

bool AppendJsonString(std::string& out, const char* psz) noexcept {
    static const char kHex[] = "0123456789abcdef";
    try {
        const auto* pu = reinterpret_cast<const unsigned char*>(psz);
        const size_t cb = std::strlen(psz);
        out += '"';
        for (size_t i = 0; i < cb;) {
            const unsigned char c = pu[i];
            if (c >= 0x80) {
                const size_t n = Utf8SequenceLength(pu + i, cb - i);
                if (n == 0) {
                    out += char(c) == kMarkNul ? "\\u0000" : "\\ufffd";
                    ++i;
                } else {
                    out.append(psz + i, n);
                    i += n;
                }
                continue;
            }
            switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                } else {
                    out += char(c);
                }
            }
            ++i;
        }
        out += '"';
        return true;
    } catch (...) {
        return false;
    }
}

std::string ErrorResponseText(const char* pszFuncName, const char* pszRandomId, int nErrorCode,
                              size_t cbMax) noexcept {
    const auto print = [nErrorCode](const char* pszName, const char* pszToken) {
        std::string text = "{\"function\":";
        AppendJsonString(text, pszName);
        text += ",\"errorcode\":" + std::to_string(nErrorCode) + ",\"result\":false";
        if (pszToken != nullptr && pszToken[0] != 0) {
            text += ",\"randomId\":";
            AppendJsonString(text, pszToken);
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
