// Tracing: one provider per process (the same control GUID in every
// deliverable), four enable flags, a scope object per public operation and the
// step lines every operation writes. Disabled tracing costs one test, and no
// trace call ever changes the thread's last error.
#pragma once
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

// Convenience macros: the flag test happens before any argument is formatted.
// A file defines TRACE_MODULE (its module name, e.g. "IOStream") before use.
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
#define TRACE_FAILED_W(op, step, reason, hr)                                                       \
    do {                                                                                           \
        if (TraceIsEnabled(TRACE_FLAG_WARNING | TRACE_FLAG_INFO))                                  \
            TraceStepFailedW(TEXT(TRACE_MODULE), __LINE__, op, step, reason, hr);                  \
    } while (0)
