#include "foundation/Trace.h"

#include "foundation/Handles.h"

#include <evntrace.h>
#include <winreg.h>

#include <cstdio>
#include <cstring>

std::atomic<ULONG> g_ulTraceEnableFlags{0};

namespace {

// Control GUID of the provider, shared by all three deliverables.
constexpr GUID kControlGuid = {
    0x5c8f2a58, 0x369a, 0x44f0, {0x92, 0x35, 0xc0, 0x5e, 0xcb, 0x1d, 0xd7, 0x3e}};
// Message GUID of our text messages (one message number per line kind).
constexpr GUID kMessageGuid = {
    0x5c8f2a59, 0x369a, 0x44f0, {0x92, 0x35, 0xc0, 0x5e, 0xcb, 0x1d, 0xd7, 0x3e}};
constexpr const WCHAR* kGlobalLoggerKey =
    TEXT("SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger");
constexpr const WCHAR* kGlobalLoggerProviderKey = TEXT(
    "SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger\\5c8f2a58-369a-44f0-9235-c05ecb1dd73e");
constexpr TRACEHANDLE kGlobalLoggerHandle = 0xFFFF; // WMI_GLOBAL_LOGGER_ID

using PfnTraceMessage = ULONG (*)(TRACEHANDLE, ULONG, LPCGUID, USHORT, ...);
using PfnTraceEvent = ULONG(WINAPI*)(TRACEHANDLE, PEVENT_TRACE_HEADER);

template <class F> F ProcFrom(FARPROC p) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
}

enum MessageNumber : USHORT { kMsgText = 10, kMsgEntry = 11, kMsgExit = 12 };

std::atomic<TRACEHANDLE> g_logger{0};
TRACEHANDLE g_registration = 0;
PfnTraceMessage g_pfnTraceMessage = nullptr;
PfnTraceEvent g_pfnTraceEvent = nullptr;

// Keeps the thread's last error across everything a trace call does.
class LastErrorKeeper {
public:
    LastErrorKeeper() : m_dwError(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(m_dwError); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD m_dwError;
};

void Send(USHORT usNumber, const WCHAR* pwszText, size_t cchText) {
    TRACEHANDLE logger = g_logger.load(std::memory_order_acquire);
    if (logger == 0)
        return;
    const SIZE_T cbText = cchText * sizeof(WCHAR);
    if (g_pfnTraceMessage != nullptr) {
        g_pfnTraceMessage(logger, TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID, &kMessageGuid,
                          usNumber, pwszText, cbText, static_cast<void*>(nullptr));
    } else if (g_pfnTraceEvent != nullptr) {
        struct {
            EVENT_TRACE_HEADER header;
            MOF_FIELD text;
        } event{};
        event.header.Size = sizeof(event);
        event.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;
        event.header.Guid = kMessageGuid;
        event.header.Class.Type = UCHAR(usNumber);
        event.text.DataPtr = reinterpret_cast<ULONG_PTR>(pwszText);
        event.text.Length = ULONG(cbText);
        g_pfnTraceEvent(logger, &event.header);
    }
}

void SendWide(const WString& text) {
    Send(kMsgText, text.c_str(), text.size());
}

void SendNarrow(const char* pszText) {
    WCHAR wszLine[512];
    int n = MultiByteToWideChar(CP_UTF8, 0, pszText, -1, wszLine, 512);
    if (n <= 0) {
        // Longer than the line buffer: keep what fits.
        size_t i = 0;
        for (; pszText[i] != 0 && i < 511; ++i)
            wszLine[i] = WCHAR(static_cast<unsigned char>(pszText[i]));
        wszLine[i] = 0;
        n = int(i) + 1;
    }
    Send(kMsgText, wszLine, size_t(n - 1));
}

void AppendCut(WString& out, const WCHAR* pwsz) {
    for (; pwsz != nullptr && *pwsz != 0 && out.size() < 511; ++pwsz)
        out.push_back(*pwsz);
}

void AppendCutAscii(WString& out, const char* psz) {
    for (; psz != nullptr && *psz != 0 && out.size() < 511; ++psz)
        out.push_back(WCHAR(static_cast<unsigned char>(*psz)));
}

// Sends "name: value" when informational lines are wanted; appendValue
// writes the value's part of the line.
template <class AppendValue> void SendValueLine(const char* pszName, AppendValue appendValue) {
    if (!TraceIsEnabled(TRACE_FLAG_INFO))
        return;
    LastErrorKeeper keep;
    WString line;
    AppendCutAscii(line, pszName);
    AppendCut(line, TEXT(": "));
    appendValue(line);
    SendWide(line);
}

ULONG WINAPI ControlCallback(WMIDPREQUESTCODE RequestCode, PVOID, ULONG*, PVOID Buffer) {
    LastErrorKeeper keep;
    if (RequestCode == WMI_ENABLE_EVENTS) {
        TRACEHANDLE logger = GetTraceLoggerHandle(Buffer);
        ULONG flags = GetTraceEnableFlags(logger);
        g_logger.store(logger, std::memory_order_release);
        g_ulTraceEnableFlags.store(flags, std::memory_order_release);
    } else if (RequestCode == WMI_DISABLE_EVENTS) {
        g_ulTraceEnableFlags.store(0, std::memory_order_release);
        g_logger.store(0, std::memory_order_release);
    }
    return ERROR_SUCCESS;
}

bool ReadDword(HKEY hKey, const WCHAR* pwszValue, DWORD& dwOut) {
    DWORD dwType = 0, cb = sizeof(DWORD), dw = 0;
    if (RegQueryValueExW(hKey, pwszValue, nullptr, &dwType, reinterpret_cast<LPBYTE>(&dw), &cb) !=
            ERROR_SUCCESS ||
        dwType != REG_DWORD)
        return false;
    dwOut = dw;
    return true;
}

// The boot-time global logger: when it is configured to start with the system
// and its session answers, trace into it at once with the configured flags.
void EnableFromGlobalLogger() {
    DWORD dwStart = 0;
    {
        UniqueRegKey hKey;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLoggerKey, 0, KEY_READ, hKey.put()) !=
                ERROR_SUCCESS ||
            !ReadDword(hKey.get(), TEXT("Start"), dwStart) || dwStart == 0)
            return;
    }
    DWORD dwFlags = 0, dwLevel = 0;
    {
        UniqueRegKey hKey;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLoggerProviderKey, 0, KEY_READ, hKey.put()) !=
            ERROR_SUCCESS)
            return;
        ReadDword(hKey.get(), TEXT("Flags"), dwFlags);
        ReadDword(hKey.get(), TEXT("Level"), dwLevel);
    }
    if (dwStart != 1)
        return;
    struct {
        EVENT_TRACE_PROPERTIES props;
        WCHAR names[2][1024];
    } query{};
    query.props.Wnode.BufferSize = sizeof(query);
    query.props.LoggerNameOffset = offsetof(decltype(query), names);
    query.props.LogFileNameOffset = offsetof(decltype(query), names) + sizeof(query.names[0]);
    if (ControlTraceW(0, TEXT("GlobalLogger"), &query.props, EVENT_TRACE_CONTROL_QUERY) !=
        ERROR_SUCCESS)
        return;
    g_logger.store(kGlobalLoggerHandle, std::memory_order_release);
    g_ulTraceEnableFlags.store(dwFlags & 0x7FFFFFFFu, std::memory_order_release);
}

} // namespace

void RegisterTraceProvider() {
    LastErrorKeeper keep;
    if (HMODULE hAdvapi = GetModuleHandleW(TEXT("advapi32.dll"))) {
        g_pfnTraceMessage = ProcFrom<PfnTraceMessage>(GetProcAddress(hAdvapi, "TraceMessage"));
        g_pfnTraceEvent = ProcFrom<PfnTraceEvent>(GetProcAddress(hAdvapi, "TraceEvent"));
    }
    TRACE_GUID_REGISTRATION reg = {&kMessageGuid, nullptr};
    if (RegisterTraceGuidsW(ControlCallback, nullptr, &kControlGuid, 1, &reg, nullptr, nullptr,
                            &g_registration) != ERROR_SUCCESS)
        g_registration = 0;
    if (g_logger.load(std::memory_order_acquire) == 0)
        EnableFromGlobalLogger();
}

void UnregisterTraceProvider() {
    LastErrorKeeper keep;
    g_ulTraceEnableFlags.store(0, std::memory_order_release);
    g_logger.store(0, std::memory_order_release);
    if (g_registration != 0)
        UnregisterTraceGuids(g_registration);
    g_registration = 0;
}

TraceHelper::TraceHelper(const WCHAR* pwszName) : m_pwszName(pwszName) {
    if (TraceIsEnabled(TRACE_FLAG_ENTRY_EXIT)) {
        LastErrorKeeper keep;
        WString line = TEXT("Enter ");
        AppendCut(line, m_pwszName);
        Send(kMsgEntry, line.c_str(), line.size());
    }
}

TraceHelper::~TraceHelper() {
    if (TraceIsEnabled(TRACE_FLAG_ENTRY_EXIT)) {
        LastErrorKeeper keep;
        WString line = TEXT("Leave ");
        AppendCut(line, m_pwszName);
        Send(kMsgExit, line.c_str(), line.size());
    }
}

int FormatStepOkA(char (&szLine)[512], const char* pszModule, int nLine, const char* pszOperation,
                  const char* pszStep) {
    int n = std::snprintf(szLine, sizeof(szLine), "[%s(%d)]:(%s -- %s)\t\t--OK\n", pszModule, nLine,
                          pszOperation, pszStep);
    return n < 0 ? 0 : (n < int(sizeof(szLine)) ? n : int(sizeof(szLine)) - 1);
}

int FormatStepFailedA(char (&szLine)[512], const char* pszModule, int nLine,
                      const char* pszOperation, const char* pszStep, HRESULT hResult,
                      const char* pszReason) {
    int n = std::snprintf(szLine, sizeof(szLine),
                          "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n", pszModule,
                          nLine, pszOperation, pszStep, static_cast<unsigned>(hResult), pszReason);
    return n < 0 ? 0 : (n < int(sizeof(szLine)) ? n : int(sizeof(szLine)) - 1);
}

WString FormatStepOkW(const WCHAR* pwszOperation, const WCHAR* pwszStep) {
    WString line;
    AppendCut(line, pwszOperation);
    AppendCut(line, TEXT(" - "));
    AppendCut(line, pwszStep);
    return line;
}

WString FormatStepFailedW(const WCHAR* pwszModule, int nLine, const WCHAR* pwszOperation,
                          const WCHAR* pwszStep, const WCHAR* pwszReason) {
    char szLine[16];
    std::snprintf(szLine, sizeof(szLine), "%d", nLine);
    WString line = TEXT("[");
    AppendCut(line, pwszModule);
    AppendCut(line, TEXT("("));
    AppendCutAscii(line, szLine);
    AppendCut(line, TEXT("):] "));
    AppendCut(line, pwszOperation);
    AppendCut(line, TEXT(" - "));
    AppendCut(line, pwszStep);
    AppendCut(line, TEXT(" [Reason:"));
    AppendCut(line, pwszReason);
    AppendCut(line, TEXT("]"));
    return line;
}

void TraceStepOkA(const char* pszModule, int nLine, const char* pszOperation, const char* pszStep) {
    if (!TraceIsEnabled(TRACE_FLAG_INFO))
        return;
    LastErrorKeeper keep;
    char szLine[512];
    FormatStepOkA(szLine, pszModule, nLine, pszOperation, pszStep);
    SendNarrow(szLine);
}

void TraceStepFailedA(const char* pszModule, int nLine, const char* pszOperation,
                      const char* pszStep, HRESULT hResult, const char* pszReason) {
    if (!TraceIsEnabled(TRACE_FLAG_ERROR))
        return;
    LastErrorKeeper keep;
    char szLine[512];
    FormatStepFailedA(szLine, pszModule, nLine, pszOperation, pszStep, hResult, pszReason);
    SendNarrow(szLine);
}

void TraceStepOkW(const WCHAR* pwszOperation, const WCHAR* pwszStep) {
    if (!TraceIsEnabled(TRACE_FLAG_INFO))
        return;
    LastErrorKeeper keep;
    SendWide(FormatStepOkW(pwszOperation, pwszStep));
}

void TraceStepFailedW(const WCHAR* pwszModule, int nLine, const WCHAR* pwszOperation,
                      const WCHAR* pwszStep, const WCHAR* pwszReason, HRESULT hResult) {
    if (!TraceIsEnabled(hResult < 0 ? TRACE_FLAG_WARNING : TRACE_FLAG_INFO))
        return;
    LastErrorKeeper keep;
    WString line = FormatStepFailedW(pwszModule, nLine, pwszOperation, pwszStep, pwszReason);
    char szCode[24];
    std::snprintf(szCode, sizeof(szCode), " (0x%08x)", static_cast<unsigned>(hResult));
    AppendCutAscii(line, szCode);
    SendWide(line);
}

void TraceValueA(const char* pszName, const char* pszValue) {
    SendValueLine(pszName, [pszValue](WString& line) {
        if (pszValue == nullptr) {
            AppendCut(line, TEXT("NULL"));
            return;
        }
        // Request and response texts are UTF-8 and may be long: send them whole.
        int n = MultiByteToWideChar(CP_UTF8, 0, pszValue, -1, nullptr, 0);
        if (n > 1) {
            size_t start = line.size();
            line.resize(start + size_t(n));
            MultiByteToWideChar(CP_UTF8, 0, pszValue, -1, line.data() + start, n);
            line.resize(start + size_t(n) - 1);
        }
    });
}

void TraceValueW(const char* pszName, const WCHAR* pwszValue) {
    SendValueLine(pszName, [pwszValue](WString& line) {
        if (pwszValue == nullptr)
            line += TEXT("NULL");
        else if (pwszValue[0] == 0)
            line += TEXT("<NULL>");
        else
            line += pwszValue;
    });
}

void TraceValueNumber(const char* pszName, long lValue) {
    if (!TraceIsEnabled(TRACE_FLAG_INFO))
        return;
    LastErrorKeeper keep;
    char szLine[512];
    std::snprintf(szLine, sizeof(szLine), "%s: %ld (0x%08lx)", pszName, lValue,
                  static_cast<unsigned long>(lValue) & 0xFFFFFFFFul);
    SendNarrow(szLine);
}
