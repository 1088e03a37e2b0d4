// Requests and responses of the host as JSON (cJSON). Every string handed out
// is a new[] character array that the caller frees with delete[]; argument
// lists and response objects are cJSON trees the caller deletes with cJSON_Delete.
#pragma once
#include "foundation/Types.h"
#include "foundation/ResultCodes.h"

#include <cJSON.h>

// Value kinds of ConstructResponseJSON (our own codes, not the library's).
enum ResponseValueType : int {
    RESPONSE_VALUE_BOOLEAN0 = 0, // 0 and 1 both read one byte: non-zero is true
    RESPONSE_VALUE_BOOLEAN = 1,
    RESPONSE_VALUE_DOUBLE = 3,
    RESPONSE_VALUE_STRING = 4,
    RESPONSE_VALUE_INT32 = 7,
};

// The code of every fixed-text response (NTE_INTERNAL_ERROR).
constexpr int kFixedResponseCode = int(0x8009002D);

// ParseRequestMsgToJSON: splits a request body into the method name
// (*ppszUTF8FuncName), a deep copy of "params" (*ppParamsArray) and the
// optional "randomId" (*ppszUTF8RandomId, untouched when absent). Keys match
// without regard to case. Returns 0; 87 for a null or empty text; -1 for text
// that is not JSON, a missing or non-string "function", a missing "params", a
// non-string "randomId" or exhausted memory, in which case nothing is handed out.
int ParseRequestMsgToJSON(char** ppszUTF8FuncName, cJSON** ppParamsArray, const char* pszRequestMsg,
                          char** ppszUTF8RandomId);

// ConverJSONArrayItemtoNULLEndString: argument nIndex as a new NUL-terminated
// copy of its text; the argument is a string or an object whose "param" is a
// string. Returns 0; 87 for a bad index; 0x8009002D for a missing element;
// 0xA0073204 for any other type (an object without "param" included); -1
// when memory runs out.
int ConverJSONArrayItemtoNULLEndString(cJSON* pJSONArray, int nIndex, char** ppszNULLEndString);

// ConverJSONArrayItemtoint: argument nIndex (a number, or an object whose
// "param" is a number) truncated to a signed 32-bit integer, stored in *pnValue
// only when it is not 0. Errors as above.
int ConverJSONArrayItemtoint(cJSON* pJSONArray, int nIndex, int* pnValue);

// ConverJSONArrayItemtobool: argument nIndex (true or false, or an object
// whose "param" is one) as VARIANT_TRUE or VARIANT_FALSE in *pvbValue. Errors
// as above; a number is not a boolean.
int ConverJSONArrayItemtobool(cJSON* pJSONArray, int nIndex, VARIANT_BOOL* pvbValue);

// ConstructResponseJSON: {"function", "errorcode"[, "result"]}. A non-zero
// code gives "result": false; code 0 with a value gives "result" of the kind
// nValueType says. Returns 0; 87 for a missing name; 0xA0073202 when the object
// cannot be made; -1 for an unknown kind or exhausted memory.
int ConstructResponseJSON(cJSON** ppResponseJSON, const char* pszFuncName, int nErrorCode,
                          int nValueType, const void* pValue);

// ConvertJSONToResponseMsg: prints the response object (with "randomId" added
// when the token is non-empty) without whitespace, or, without an object, the
// fixed-text response carrying kFixedResponseCode. The name and token of the
// fixed text are escaped as JSON strings. Hands the text to *ppszResponseMsg
// (null when memory ran out). Returns 0.
int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             char** ppszResponseMsg);
