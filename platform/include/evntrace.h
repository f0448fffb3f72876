// Event tracing: the trace levels, and the controller side that starts a trace session with
// a log file, enables providers in it by control GUID, level and keywords, and stops it.
//
// The stand-in's sessions write their log file as text, one record a line: machine time in
// seconds, process, thread, provider (the registering module's name), level, then the event's
// string (the package's trace macros write "Function: text"). Lines starting with '#' note the
// session's start and the providers it enables as they register and unregister. A session
// takes a log file only (EVENT_TRACE_FILE_MODE_NONE or _SEQUENTIAL; the file is the host's);
// real-time delivery, buffering options and the binary log format are not there.
#pragma once
#include <ntdef.h>
#include <evntprov.h>
#include <wmistr.h>

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

typedef ULONG64 TRACEHANDLE, *PTRACEHANDLE;

#define EVENT_TRACE_FILE_MODE_NONE 0x00000000
#define EVENT_TRACE_FILE_MODE_SEQUENTIAL 0x00000001
#define EVENT_TRACE_FILE_MODE_CIRCULAR 0x00000002
#define EVENT_TRACE_FILE_MODE_APPEND 0x00000004
#define EVENT_TRACE_REAL_TIME_MODE 0x00000100

#define EVENT_TRACE_CONTROL_QUERY 0
#define EVENT_TRACE_CONTROL_STOP 1
#define EVENT_TRACE_CONTROL_UPDATE 2
#define EVENT_TRACE_CONTROL_FLUSH 3

// The properties of a session. The session and log file names follow the structure in the
// same buffer, at LoggerNameOffset and LogFileNameOffset; Wnode.BufferSize is the whole size.
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

typedef struct _ENABLE_TRACE_PARAMETERS {
    ULONG Version;
    ULONG EnableProperty;
    ULONG ControlFlags;
    GUID SourceId;
    PEVENT_FILTER_DESCRIPTOR EnableFilterDesc;
    ULONG FilterDescCount;
} ENABLE_TRACE_PARAMETERS, *PENABLE_TRACE_PARAMETERS;

#ifndef _ETW_KM_

#define WMIAPI

extern "C" {

// ERROR_SUCCESS with the session's handle in *TraceHandle and in Wnode.HistoricalContext;
// ERROR_INVALID_PARAMETER for a null argument, a name or log file outside the buffer or no
// log file; ERROR_BAD_LENGTH when Wnode.BufferSize is below the structure; ERROR_NOT_SUPPORTED
// for a log file mode other than none or sequential; ERROR_ALREADY_EXISTS for a session of
// that name that runs; ERROR_BAD_PATHNAME when the log file cannot be created.
ULONG WMIAPI StartTraceW(PTRACEHANDLE TraceHandle, LPCWSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties);
// The session by its handle, or by its name when the handle is 0. EVENT_TRACE_CONTROL_STOP
// disables its providers and closes its log file; EVENT_TRACE_CONTROL_FLUSH writes what is
// buffered; other codes ERROR_NOT_SUPPORTED. ERROR_WMI_INSTANCE_NOT_FOUND for no such
// session, ERROR_INVALID_PARAMETER for null properties, ERROR_BAD_LENGTH for short ones.
ULONG WMIAPI ControlTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties,
                           ULONG ControlCode);
ULONG WMIAPI StopTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties);
// Enables (EVENT_CONTROL_CODE_ENABLE_PROVIDER, also again with a new level or keywords) or
// disables a provider in a session, whether or not it has registered yet; the provider's
// callbacks run before it returns. A level of 0 takes every level and MatchAnyKeyword 0 every
// keyword. EVENT_CONTROL_CODE_CAPTURE_STATE asks the provider's callback to capture state.
// Timeout and EnableParameters are not used. ERROR_INVALID_PARAMETER for a session that does
// not run, a null GUID or another control code.
ULONG WMIAPI EnableTraceEx2(TRACEHANDLE TraceHandle, LPCGUID ProviderId, ULONG ControlCode, UCHAR Level,
                            ULONGLONG MatchAnyKeyword, ULONGLONG MatchAllKeyword, ULONG Timeout,
                            PENABLE_TRACE_PARAMETERS EnableParameters);

} // extern "C"

#endif // _ETW_KM_
