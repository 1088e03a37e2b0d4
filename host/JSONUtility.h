// Requests and responses of the host as JSON (cJSON). Texts are handed out as
// std::string; argument lists and response objects as cJSON trees in their
// guard (UniqueJson), which deletes them.
#pragma once
#include "foundation/Types.h"
#include "foundation/ResultCodes.h"

#include "host/JsonHandles.h"
#include "host/JsonText.h"

#include <cJSON.h>

#include <cstddef>
#include <memory>
#include <string>

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

// The most JSON values a request may hold (the object, its members, the
// arguments and what they hold). A method takes at most five arguments, so a
// page never needs more than a few dozen; the cap keeps what a request costs
// in parsed form a small multiple of its size.
constexpr size_t kMaxRequestValues = 256;

// The longest "randomId" a request may carry, in bytes of its UTF-8 text (as
// read, after the JSON escapes). Pages send a counter; the bound keeps every
// answer, which echoes the token, far below the browser's limit.
constexpr size_t kMaxRandomIdBytes = 256;

// RequestParts: one request taken apart (see ParseRequestBody).
struct RequestParts {
    std::string strFuncName;   // "function"
    bool fHasRandomId = false; // whether "randomId" was there
    std::string strRandomId;   // "randomId"
    UniqueJson pParams;        // "params", an array
};

// ParseRequestBody: takes apart the cbBody bytes at pBody (a zero byte after
// them), rewriting them in place as it reads: NUL characters and bytes that
// are not UTF-8 become the marks above. The body must be one JSON object and
// nothing after it but blanks; "function" a string, "params" an array,
// "randomId", when present, a string (keys without regard to case, the first
// match). Returns 0 with every part handed out; VURO_E_DATA_LENGTH_LIMIT for a
// body of more than kMaxRequestValues values (nothing handed out); 87 for an
// empty body; -1 for anything else, in which case the name and the token are
// handed out as far as they could be read (for the fixed-text response) and
// the params are not. A name or token that holds a mark is handed out with
// -1 too: a request whose name or token cannot be echoed faithfully is not run.
[[nodiscard]] int ParseRequestBody(char* pBody, size_t cbBody, RequestParts* pParts);

// ParseRequestMsgToJSON: ParseRequestBody on a copy of a NUL-terminated body:
// the method name (*pstrUTF8FuncName), "params" (*pParamsArray) and the
// optional "randomId" (*pstrUTF8RandomId, untouched when absent); any out
// pointer may be null. Returns 0;
// 87 for a null or empty text; VURO_E_DATA_LENGTH_LIMIT or -1 as above, or -1
// when memory runs out, in which case nothing is handed out.
[[nodiscard]] int ParseRequestMsgToJSON(std::string* pstrUTF8FuncName, UniqueJson* pParamsArray,
                                        const char* pszRequestMsg, std::string* pstrUTF8RandomId);

// ConverJSONArrayItemtoNULLEndString: argument nIndex as a copy of its text in
// *pstrNULLEndString (may be null: the argument is only checked); the argument is a string or an
// object whose "param" is a string. Returns 0; 87 for a bad index; 0x8009002D for a missing
// element; 0xA0073204 for any other type (an object without "param" included); E_INVALIDARG for a
// text that held a NUL character or is not well-formed UTF-8 (it would be cut short or change on
// its way); -1 when memory runs out.
[[nodiscard]] int ConverJSONArrayItemtoNULLEndString(cJSON* pJSONArray, int nIndex,
                                                     std::string* pstrNULLEndString);

// ConverJSONArrayItemtoint: argument nIndex (a number, or an object whose
// "param" is a number) truncated to a signed 32-bit integer, stored in *pnValue
// only when it is not 0. Errors as above.
[[nodiscard]] int ConverJSONArrayItemtoint(cJSON* pJSONArray, int nIndex, int* pnValue);

// ConverJSONArrayItemtobool: argument nIndex (true or false, or an object
// whose "param" is one) as VARIANT_TRUE or VARIANT_FALSE in *pvbValue. Errors
// as above; a number is not a boolean.
[[nodiscard]] int ConverJSONArrayItemtobool(cJSON* pJSONArray, int nIndex, VARIANT_BOOL* pvbValue);

// ConstructResponseJSON: {"function", "errorcode"[, "result"]}. A non-zero
// code gives "result": false; code 0 with a value gives "result" of the kind
// nValueType says. Returns 0; 87 for a missing name; 0xA0073202 when the object
// cannot be made; -1 for an unknown kind or exhausted memory. The object goes
// to *pResponseJSON (may be null: it is only built).
[[nodiscard]] int ConstructResponseJSON(UniqueJson* pResponseJSON, const char* pszFuncName,
                                        int nErrorCode, int nValueType, const void* pValue);

// ConvertJSONToResponseMsg: prints the response object (with "randomId" added
// when the token is non-empty) without whitespace, or, without an object, the
// fixed-text response carrying kFixedResponseCode. The name and token of the
// fixed text are escaped as JSON strings (a NUL mark as \u0000, any other
// byte that is not UTF-8 as \ufffd), so every response is UTF-8 JSON. Hands
// the text to *pstrResponseMsg (empty when memory ran out). Returns 0.
[[nodiscard]] int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId,
                                           cJSON* pResponseJSON, std::string* pstrResponseMsg);

// ErrorResponseText: {"function","errorcode","result":false[,"randomId"]}
// for nErrorCode, printed as the objects are. The token (then the name) is
// left out when the text would be longer than cbMax; a name or token that is
// not well-formed UTF-8 is left out too. Empty when memory runs out.
std::string ErrorResponseText(const char* pszFuncName, const char* pszRandomId, int nErrorCode,
                              size_t cbMax) noexcept;
