// POSIX stand-in for <evntrace.h>: the classic (WPP-era) event tracing calls.
// The stand-in writes every message as one text line to ORVANE_TRACE_FILE or to
// standard error; each message argument is taken as UTF-16 text of the given
// byte length.
#pragma once
#include "windows.h"
#include "wmistr.h"

typedef ULONG64 TRACEHANDLE, *PTRACEHANDLE;

typedef ULONG(WINAPI* WMIDPREQUEST)(WMIDPREQUESTCODE RequestCode, PVOID RequestContext,
                                    ULONG* BufferSize, PVOID Buffer);

typedef struct _TRACE_GUID_REGISTRATION {
    LPCGUID Guid;
    HANDLE RegHandle;
} TRACE_GUID_REGISTRATION, *PTRACE_GUID_REGISTRATION;

typedef struct _EVENT_TRACE_HEADER {
    USHORT Size;
    union {
        USHORT FieldTypeFlags;
        struct {
            UCHAR HeaderType;
            UCHAR MarkerFlags;
        };
    };
    union {
        ULONG Version;
        struct {
            UCHAR Type;
            UCHAR Level;
            USHORT Version;
        } Class;
    };
    ULONG ThreadId;
    ULONG ProcessId;
    LARGE_INTEGER TimeStamp;
    union {
        GUID Guid;
        ULONGLONG GuidPtr;
    };
    union {
        struct {
            ULONG ClientContext;
            ULONG Flags;
        };
        ULONG64 ProcessorTime;
    };
} EVENT_TRACE_HEADER, *PEVENT_TRACE_HEADER;

typedef struct _MOF_FIELD {
    ULONG64 DataPtr;
    ULONG Length;
    ULONG DataType;
} MOF_FIELD, *PMOF_FIELD;

typedef struct _EVENT_TRACE_PROPERTIES {
    WNODE_HEADER Wnode;
    ULONG BufferSize;
    ULONG MinimumBuffers;
    ULONG MaximumBuffers;
    ULONG MaximumFileSize;
    ULONG LogFileMode;
    ULONG FlushTimer;
    ULONG EnableFlags;
    LONG AgeLimit;
    ULONG NumberOfBuffers;
    ULONG FreeBuffers;
    ULONG EventsLost;
    ULONG BuffersWritten;
    ULONG LogBuffersLost;
    ULONG RealTimeBuffersLost;
    HANDLE LoggerThreadId;
    ULONG LogFileNameOffset;
    ULONG LoggerNameOffset;
} EVENT_TRACE_PROPERTIES, *PEVENT_TRACE_PROPERTIES;

#define EVENT_TRACE_CONTROL_QUERY 0
#define EVENT_TRACE_CONTROL_STOP 1
#define EVENT_TRACE_CONTROL_UPDATE 2

#define TRACE_MESSAGE_SEQUENCE 1
#define TRACE_MESSAGE_GUID 2
#define TRACE_MESSAGE_COMPONENTID 4
#define TRACE_MESSAGE_TIMESTAMP 8
#define TRACE_MESSAGE_SYSTEMINFO 32

#define INVALID_PROCESSTRACE_HANDLE ((TRACEHANDLE)INVALID_HANDLE_VALUE)

#ifdef __cplusplus
extern "C" {
#endif
ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid,
                          ULONG GuidCount, PTRACE_GUID_REGISTRATION TraceGuidReg,
                          LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                          PTRACEHANDLE RegistrationHandle);
ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);
TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer);
ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle);
UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle);
ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                   USHORT MessageNumber, ...);
ULONG TraceEvent(TRACEHANDLE TraceHandle, PEVENT_TRACE_HEADER EventTrace);
ULONG ControlTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName,
                    PEVENT_TRACE_PROPERTIES Properties, ULONG ControlCode);
#ifdef __cplusplus
}
#endif
