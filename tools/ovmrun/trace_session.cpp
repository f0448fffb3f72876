// The main job's trace session over the stand-in's trace controller.
#define TRACE_GUIDS_ONLY
// The controller's functions are user mode's: evntrace.h comes before any kernel header.
#include <windows.h>
#include <evntrace.h>
#include "trace_session.h"
#include <platform/trace.h>
#include <AsioDriverTrace.h>
#include <CoInstallerTrace.h>
#include <ControlPanelTrace.h>
#include <OVASIOTrace.h>
#include <StdTrace.h>
#include <UsbAudioTrace.h>
#include <cstring>
#include "job_log.h"

namespace ovmrun {

namespace {

constexpr package_provider providers[] = {
    {"ovmlsaau", &OVMLSAAU_TRACE_GUID},
    {"ovmlsaaso", &OVMLSAASO_TRACE_GUID},
    {"ovmlsaaudcp", &OVMLSAACPL_TRACE_GUID},
    {"ovmlsacoinstaller", &OVMLSACOINSTALLER_TRACE_GUID},
    {"ovmlsau", &OVMLSAU_TRACE_GUID},
    {"ovmlsaso", &OVMLSASO_TRACE_GUID},
};

constexpr const wchar_t *session_name = L"ovmrun";

// Properties with the log file's name behind them.
struct session_properties {
    EVENT_TRACE_PROPERTIES properties;
    WCHAR names[1024];
};

const char *level_name(uint8_t level)
{
    switch (level) {
    case TRACE_LEVEL_ERROR: return "error";
    case TRACE_LEVEL_WARNING: return "warning";
    case TRACE_LEVEL_INFORMATION: return "information";
    default: return "verbose";
    }
}

} // namespace

std::span<const package_provider> package_providers()
{
    return providers;
}

trace_session::trace_session(const run_options &options)
    : m_errors(std::make_unique<platform::trace_capture>(nullptr, TRACE_LEVEL_ERROR))
{
    if (options.trace_path.empty()) {
        return;
    }
    session_properties p{};
    if (options.trace_path.size() >= std::size(p.names)) {
        m_error = "--trace: the file name is too long";
        return;
    }
    p.properties.Wnode.BufferSize = sizeof(p);
    p.properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    p.properties.LogFileMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL;
    p.properties.LogFileNameOffset = offsetof(session_properties, names);
    for (size_t i = 0; i < options.trace_path.size(); ++i) {
        p.names[i] = (WCHAR)(unsigned char)options.trace_path[i];
    }
    TRACEHANDLE handle = 0;
    const ULONG started = StartTraceW(&handle, session_name, &p.properties);
    if (started != ERROR_SUCCESS) {
        m_error = "--trace: " + options.trace_path + " cannot be written (error " + std::to_string(started) + ")";
        return;
    }
    m_handle = handle;
    for (const package_provider &provider : providers) {
        EnableTraceEx2(handle, provider.control_guid, EVENT_CONTROL_CODE_ENABLE_PROVIDER, options.trace_level, 0, 0, 0,
                       nullptr);
    }
}

trace_session::~trace_session()
{
    stop();
}

void trace_session::stop()
{
    if (m_handle != 0) {
        session_properties p{};
        p.properties.Wnode.BufferSize = sizeof(p);
        StopTraceW(m_handle, nullptr, &p.properties);
        m_handle = 0;
    }
    if (m_errors != nullptr) {
        m_first_error = first_error();
        m_errors.reset();
    }
}

std::string trace_session::first_error() const
{
    if (m_errors == nullptr) {
        return m_first_error;
    }
    for (const platform::trace_record &record : m_errors->records()) {
        if (record.level <= TRACE_LEVEL_ERROR) {
            return record.provider_name + ": " + (record.function.empty() ? "" : record.function + ": ") + record.text;
        }
    }
    return {};
}

job_outcome run_traced_job(const run_options &options, std::FILE *log, job_function job)
{
    trace_session trace(options);
    if (!trace.error().empty()) {
        job_outcome outcome;
        outcome.exit_code = exit_usage;
        outcome.problems.push_back(trace.error());
        return outcome;
    }
    if (!options.trace_path.empty()) {
        say(log, "tracing every provider of the package at level %s to %s\n", level_name(options.trace_level),
            options.trace_path.c_str());
    }
    job_outcome outcome = job(options, log);
    trace.stop();
    const std::string first = trace.first_error();
    if (outcome.exit_code == exit_not_clean && !first.empty()) {
        outcome.problems.push_back("first error traced: " + first);
    }
    return outcome;
}

} // namespace ovmrun
