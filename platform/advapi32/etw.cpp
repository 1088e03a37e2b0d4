// Classic event tracing. On POSIX there is no trace service: a provider is
// enabled at registration when ORVANE_TRACE holds hex enable flags (level in
// ORVANE_TRACE_LEVEL, default 0xFF); the boot-time "global logger" session is
// always present and is enabled by the provider itself from its registry
// settings. Both sessions write text lines to ORVANE_TRACE_FILE (appended) or to
// standard error, never to standard output, which belongs to the host protocol.
#include <windows.h>
#include <evntrace.h>

#include "internal/util.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

constexpr TRACEHANDLE kEnvSession = 1;
constexpr TRACEHANDLE kGlobalLoggerSession = 0xFFFF; // WMI_GLOBAL_LOGGER_ID

std::once_flag g_sinkOnce;
int g_sinkFd = 2;

int Sink() {
    std::call_once(g_sinkOnce, [] {
        const char* path = std::getenv("ORVANE_TRACE_FILE");
        if (path != nullptr && path[0] != 0) {
            int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0)
                g_sinkFd = fd;
        }
    });
    return g_sinkFd;
}

bool EnvFlags(ULONG& flags, UCHAR& level) {
    const char* f = std::getenv("ORVANE_TRACE");
    if (f == nullptr || f[0] == 0)
        return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(f, &end, 16);
    if (end == f || v == 0)
        return false;
    flags = ULONG(v);
    level = 0xFF;
    if (const char* l = std::getenv("ORVANE_TRACE_LEVEL"); l != nullptr && l[0] != 0)
        level = UCHAR(std::strtoul(l, nullptr, 0));
    return true;
}

void AppendUtf16(std::string& line, const void* data, size_t bytes) {
    size_t units = bytes / sizeof(WCHAR);
    const auto* w = static_cast<const WCHAR*>(data);
    while (units > 0 && w[units - 1] == 0)
        --units;
    if (units == 0)
        return;
    std::u16string copy(w, units);
    line += orvane::platform::ToUtf8(copy.c_str());
}

ULONG Emit(TRACEHANDLE h, std::string& text) {
    if (h != kEnvSession && h != kGlobalLoggerSession)
        return ERROR_INVALID_HANDLE;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    std::string line = "orvane[" + std::to_string(getpid()) + ":" +
                       std::to_string(GetCurrentThreadId()) + "] " + text + "\n";
    // One write per line, so lines from several processes never interleave.
    ssize_t n = ::write(Sink(), line.data(), line.size());
    return n == ssize_t(line.size()) ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

struct EnableSettings {
    ULONG flags = 0;
    UCHAR level = 0;
};

// SessionEnable: the flags and level tracing was enabled with for the session
// behind `handle`. When there are none, both are 0 and the last error tells a
// session that is off (ERROR_SUCCESS) from an unknown handle.
EnableSettings SessionEnable(TRACEHANDLE handle) {
    EnableSettings e;
    if (handle == kEnvSession && EnvFlags(e.flags, e.level))
        return e;
    SetLastError(handle == kEnvSession ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    return {};
}

} // namespace

extern "C" ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext,
                                     LPCGUID ControlGuid, ULONG, PTRACE_GUID_REGISTRATION, LPCWSTR,
                                     LPCWSTR, PTRACEHANDLE RegistrationHandle) {
    if (RequestAddress == nullptr || ControlGuid == nullptr || RegistrationHandle == nullptr)
        return ERROR_INVALID_PARAMETER;
    *RegistrationHandle = 1;
    ULONG flags;
    UCHAR level;
    if (EnvFlags(flags, level)) {
        WNODE_HEADER node{};
        node.BufferSize = sizeof(node);
        node.HistoricalContext = kEnvSession;
        node.Guid = *ControlGuid;
        ULONG size = sizeof(node);
        RequestAddress(WMI_ENABLE_EVENTS, RequestContext, &size, &node);
    }
    return ERROR_SUCCESS;
}

extern "C" ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle) {
    return RegistrationHandle == 1 ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

extern "C" TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer) {
    if (Buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_PROCESSTRACE_HANDLE;
    }
    return static_cast<WNODE_HEADER*>(Buffer)->HistoricalContext;
}

extern "C" ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle) {
    return SessionEnable(TraceHandle).flags;
}

extern "C" UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle) {
    return SessionEnable(TraceHandle).level;
}

extern "C" ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG, LPCGUID, USHORT MessageNumber, ...) {
    std::string text;
    va_list args;
    // The declared signature ends in a USHORT before "...", which the language
    // leaves undefined for va_start; the compilers we build with locate the
    // variable arguments without the last named parameter's address.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
    va_start(args, MessageNumber);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
    for (;;) {
        const void* data = va_arg(args, const void*);
        if (data == nullptr)
            break;
        size_t bytes = va_arg(args, size_t);
        AppendUtf16(text, data, bytes);
    }
    va_end(args);
    return Emit(LoggerHandle, text);
}

extern "C" ULONG TraceEvent(TRACEHANDLE TraceHandle, PEVENT_TRACE_HEADER EventTrace) {
    if (EventTrace == nullptr || EventTrace->Size < sizeof(EVENT_TRACE_HEADER))
        return ERROR_INVALID_PARAMETER;
    std::string text;
    if (EventTrace->Flags & WNODE_FLAG_USE_MOF_PTR) {
        size_t fields = (EventTrace->Size - sizeof(EVENT_TRACE_HEADER)) / sizeof(MOF_FIELD);
        auto* mof = reinterpret_cast<const MOF_FIELD*>(EventTrace + 1);
        for (size_t i = 0; i < fields; ++i)
            AppendUtf16(text, reinterpret_cast<const void*>(uintptr_t(mof[i].DataPtr)),
                        mof[i].Length);
    }
    return Emit(TraceHandle, text);
}

extern "C" ULONG ControlTraceW(TRACEHANDLE, LPCWSTR InstanceName,
                               PEVENT_TRACE_PROPERTIES Properties, ULONG ControlCode) {
    if (Properties == nullptr || InstanceName == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (ControlCode != EVENT_TRACE_CONTROL_QUERY)
        return ERROR_ACCESS_DENIED;
    return lstrcmpiW(InstanceName, u"GlobalLogger") == 0 ? ERROR_SUCCESS
                                                         : ERROR_WMI_INSTANCE_NOT_FOUND;
}
