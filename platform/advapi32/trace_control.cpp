// The trace controller: sessions started with a log file, providers enabled in them by
// control GUID, level and keywords, and sessions stopped, over the tracing core.
#include <windows.h>
#include <evntrace.h>
#include <platform/trace.h>
#include <cwchar>

using namespace platform;

namespace {

// The text at offset inside the properties' buffer, or false when it does not end there.
bool text_in_buffer(const EVENT_TRACE_PROPERTIES *properties, ULONG offset, std::wstring *text)
{
    const ULONG size = properties->Wnode.BufferSize;
    if (offset < sizeof(EVENT_TRACE_PROPERTIES) || offset >= size || offset % sizeof(WCHAR) != 0) {
        return false;
    }
    const auto *begin = reinterpret_cast<const WCHAR *>(reinterpret_cast<const BYTE *>(properties) + offset);
    const size_t room = (size - offset) / sizeof(WCHAR);
    const size_t length = wcsnlen(begin, room);
    if (length == room) {
        return false;
    }
    text->assign(begin, length);
    return true;
}

std::wstring name_or_empty(LPCWSTR name)
{
    return name != nullptr ? std::wstring(name) : std::wstring();
}

} // namespace

extern "C" {

ULONG WMIAPI StartTraceW(PTRACEHANDLE TraceHandle, LPCWSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties)
{
    if (TraceHandle == nullptr || InstanceName == nullptr || *InstanceName == L'\0' || Properties == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (Properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) {
        return ERROR_BAD_LENGTH;
    }
    if (Properties->LogFileMode != EVENT_TRACE_FILE_MODE_NONE &&
        Properties->LogFileMode != EVENT_TRACE_FILE_MODE_SEQUENTIAL) {
        return ERROR_NOT_SUPPORTED;
    }
    std::wstring log_file;
    if (!text_in_buffer(Properties, Properties->LogFileNameOffset, &log_file) || log_file.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    ULONGLONG handle = 0;
    const DWORD result = trace_session_start(InstanceName, log_file, &handle);
    if (result == ERROR_SUCCESS) {
        *TraceHandle = handle;
        Properties->Wnode.HistoricalContext = handle;
    }
    return result;
}

ULONG WMIAPI ControlTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties,
                           ULONG ControlCode)
{
    if (Properties == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (Properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) {
        return ERROR_BAD_LENGTH;
    }
    switch (ControlCode) {
    case EVENT_TRACE_CONTROL_STOP: return trace_session_stop(TraceHandle, name_or_empty(InstanceName));
    case EVENT_TRACE_CONTROL_FLUSH: return trace_session_flush(TraceHandle, name_or_empty(InstanceName));
    default: return ERROR_NOT_SUPPORTED;
    }
}

ULONG WMIAPI StopTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties)
{
    return ControlTraceW(TraceHandle, InstanceName, Properties, EVENT_TRACE_CONTROL_STOP);
}

ULONG WMIAPI EnableTraceEx2(TRACEHANDLE TraceHandle, LPCGUID ProviderId, ULONG ControlCode, UCHAR Level,
                            ULONGLONG MatchAnyKeyword, ULONGLONG MatchAllKeyword, ULONG Timeout,
                            PENABLE_TRACE_PARAMETERS EnableParameters)
{
    UNREFERENCED_PARAMETER(Timeout);
    UNREFERENCED_PARAMETER(EnableParameters);
    if (TraceHandle == 0 || ProviderId == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return trace_session_enable(TraceHandle, *ProviderId, ControlCode, Level, MatchAnyKeyword, MatchAllKeyword);
}

} // extern "C"
