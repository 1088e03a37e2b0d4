// Tracing: one provider per process (the same control GUID in every
// deliverable), four enable flags, a scope object per public operation and the
// step lines every operation writes. Disabled tracing costs one test, and no
// trace call ever changes the thread's last error.
#pragma once
#include "foundation/ResultCodes.h"
#include "foundation/Types.h"

#include <atomic>

#define TRACE_FLAG_ERROR 0x1u      // failed steps
#define TRACE_FLAG_WARNING 0x2u    // negative result codes, tolerated surprises
#define TRACE_FLAG_INFO 0x4u       // successful steps, values, request and response texts
#define TRACE_FLAG_ENTRY_EXIT 0x8u // entry and exit of every operation

extern std::atomic<ULONG> g_ulTraceEnableFlags;

inline bool TraceIsEnabled(ULONG ulFlag) {
    return (g_ulTraceEnableFlags.load(std::memory_order_relaxed) & ulFlag) != 0;
}

// RegisterTraceProvider: registers the provider and honours the boot-time global
// logger settings. Call once per process before the first traced operation;
// failures only mean that nothing is recorded.
void RegisterTraceProvider();
// UnregisterTraceProvider: stops tracing and releases the registration.
void UnregisterTraceProvider();

// TraceHelper: traces the entry of the operation it is named for on
// construction and its exit on destruction (entry/exit flag).
class TraceHelper {
public:
    explicit TraceHelper(const WCHAR* pwszName);
    virtual ~TraceHelper();
    TraceHelper(const TraceHelper&) = delete;
    TraceHelper& operator=(const TraceHelper&) = delete;

private:
    const WCHAR* m_pwszName;
};

// Step lines. Narrow: "[%s(%d)]:(%s -- %s)\t\t--OK\n" (information) and
// "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n" (error). Wide:
// "%ws - %ws" (information) and "[%ws(%d):] %ws - %ws [Reason:%ws]" traced with
// its code (warning when negative, information otherwise). Lines longer than
// their 512-unit buffers are cut.
void TraceStepOkA(const char* pszModule, int nLine, const char* pszOperation, const char* pszStep);
void TraceStepFailedA(const char* pszModule, int nLine, const char* pszOperation,
                      const char* pszStep, HRESULT hResult, const char* pszReason);
void TraceStepOkW(const WCHAR* pwszOperation, const WCHAR* pwszStep);
void TraceStepFailedW(const WCHAR* pwszModule, int nLine, const WCHAR* pwszOperation,
                      const WCHAR* pwszStep, const WCHAR* pwszReason, HRESULT hResult);

// Value traces (information): a null text prints "NULL", an empty wide text "<NULL>".
void TraceValueA(const char* pszName, const char* pszValue);
void TraceValueW(const char* pszName, const WCHAR* pwszValue);
void TraceValueNumber(const char* pszName, long lValue);

// The formatting behind the step lines, exposed so that their exact form can be
// checked without a trace session.
int FormatStepOkA(char (&szLine)[512], const char* pszModule, int nLine, const char* pszOperation,
                  const char* pszStep);
int FormatStepFailedA(char (&szLine)[512], const char* pszModule, int nLine,
                      const char* pszOperation, const char* pszStep, HRESULT hResult,
                      const char* pszReason);
WString FormatStepOkW(const WCHAR* pwszOperation, const WCHAR* pwszStep);
WString FormatStepFailedW(const WCHAR* pwszModule, int nLine, const WCHAR* pwszOperation,
                          const WCHAR* pwszStep, const WCHAR* pwszReason);

// The step macros, one family with one argument order (operation, step, then
// code and reason for failures); the flag test happens before any argument is
// formatted. A file defines TRACE_MODULE (its module name, e.g. "IOStream")
// before use. Narrow forms take char texts, _W forms WCHAR texts.
//   TRACE_OK(op, step)                    a passed step
//   TRACE_FAILED(op, step, hr, reason)    a failed step, as a statement
//   return TRACE_FAIL(op, step, hr, reason);         ... that also gives hr back
//   return FAIL_LAST_ERROR(op, step, reason);        the failed system call's
//                                                    last error as a result code
#define TRACE_OK(op, step)                                                                         \
    do {                                                                                           \
        if (TraceIsEnabled(TRACE_FLAG_INFO))                                                       \
            TraceStepOkA(TRACE_MODULE, __LINE__, op, step);                                        \
    } while (0)
#define TRACE_FAILED(op, step, hr, reason)                                                         \
    do {                                                                                           \
        if (TraceIsEnabled(TRACE_FLAG_ERROR))                                                      \
            TraceStepFailedA(TRACE_MODULE, __LINE__, op, step, hr, reason);                        \
    } while (0)
#define TRACE_OK_W(op, step)                                                                       \
    do {                                                                                           \
        if (TraceIsEnabled(TRACE_FLAG_INFO))                                                       \
            TraceStepOkW(op, step);                                                                \
    } while (0)
#define TRACE_FAILED_W(op, step, hr, reason)                                                       \
    do {                                                                                           \
        if (TraceIsEnabled(TRACE_FLAG_WARNING | TRACE_FLAG_INFO))                                  \
            TraceStepFailedW(TEXT(TRACE_MODULE), __LINE__, op, step, reason, hr);                  \
    } while (0)
#define TRACE_FAIL(op, step, hr, reason) TraceFail(TRACE_MODULE, __LINE__, op, step, hr, reason)
#define TRACE_FAIL_W(op, step, hr, reason)                                                         \
    TraceFailW(TEXT(TRACE_MODULE), __LINE__, op, step, hr, reason)
// The checked-condition forms: when cond holds, the failed step is traced
// with the condition's own text as its reason (so the reason can never name a
// variable the code no longer has), and the macro yields true; cond is
// evaluated once, hr only when cond holds.
//   if (TRACE_IF(FAILED(hResult), op, step, hResult)) goto done;
#define TRACE_IF(cond, op, step, hr)                                                               \
    ((cond) ? (static_cast<void>(TraceFail(TRACE_MODULE, __LINE__, op, step, hr, #cond)), true)    \
            : false)
#define TRACE_IF_W(cond, op, step, hr)                                                             \
    ((cond) ? (static_cast<void>(                                                                  \
                   TraceFailW(TEXT(TRACE_MODULE), __LINE__, op, step, hr, TEXT(#cond))),           \
               true)                                                                               \
            : false)
#define FAIL_LAST_ERROR(op, step, reason) TRACE_FAIL(op, step, FailureFromLastError(), reason)
#define FAIL_LAST_ERROR_W(op, step, reason) TRACE_FAIL_W(op, step, FailureFromLastError(), reason)

// TraceFail, TraceFailW: trace a failed step (as TRACE_FAILED and
// TRACE_FAILED_W) and return its code; behind TRACE_FAIL and FAIL_LAST_ERROR.
inline HRESULT TraceFail(const char* pszModule, int nLine, const char* pszOperation,
                         const char* pszStep, HRESULT hResult, const char* pszReason) {
    if (TraceIsEnabled(TRACE_FLAG_ERROR))
        TraceStepFailedA(pszModule, nLine, pszOperation, pszStep, hResult, pszReason);
    return hResult;
}
inline HRESULT TraceFailW(const WCHAR* pwszModule, int nLine, const WCHAR* pwszOperation,
                          const WCHAR* pwszStep, HRESULT hResult, const WCHAR* pwszReason) {
    if (TraceIsEnabled(TRACE_FLAG_WARNING | TRACE_FLAG_INFO))
        TraceStepFailedW(pwszModule, nLine, pwszOperation, pwszStep, pwszReason, hResult);
    return hResult;
}
