// The event tracing core behind the kernel's Etw and user mode's Event provider functions and
// the trace controller: provider registrations by control GUID, trace sessions that enable
// them by level and keywords and write their records to a log file, and captures that keep a
// session's records in memory for tests and tools. Trace text carries no behaviour.
#pragma once
#include <functional>
#include <string>
#include <vector>
#include <ntdef.h>
#include <evntrace.h>

namespace platform {

// One event as a session received it.
struct trace_record {
    LONGLONG time = 0;        // machine time, 100 ns units
    ULONG process_id = 0;
    ULONG thread_id = 0;
    GUID provider{};
    std::string provider_name; // the registering module's file name without extension
    UCHAR level = 0;
    ULONGLONG keyword = 0;
    std::string function;     // the event string up to its first ": ", when it has one
    std::string text;         // the rest, without trailing line ends
};

// ---- Providers: the glue of EtwRegister / EventRegister and their kin.

// Runs with the control code and the level and keywords of every session that enables the
// provider together (EVENT_CONTROL_CODE_*).
using trace_enable_routine = std::function<void(ULONG control_code, UCHAR level, ULONGLONG match_any, ULONGLONG match_all)>;

// The enable routine of a provider's enable callback (the kernel's and user mode's callbacks
// take the same arguments); empty without a callback.
template <class Callback>
trace_enable_routine trace_enable_routine_of(Callback callback, void *context, const GUID &provider)
{
    if (callback == nullptr) {
        return {};
    }
    return [callback, context, provider](ULONG code, UCHAR level, ULONGLONG match_any, ULONGLONG match_all) {
        callback(&provider, code, level, match_any, match_all, nullptr, context);
    };
}

// Registers a provider; caller is a code address in the registering module. The enable routine
// (may be empty) runs before this returns when a session enables the provider already. Never 0.
ULONGLONG trace_register(const GUID &provider, trace_enable_routine enable, const void *caller, bool kernel);
// False for a handle that is not registered. No enable routine of it runs after this returns.
bool trace_unregister(ULONGLONG handle);
bool trace_provider_enabled(ULONGLONG handle, UCHAR level, ULONGLONG keyword);
// Hands the event to every session that takes it; false for a handle that is not registered.
bool trace_write(ULONGLONG handle, UCHAR level, ULONGLONG keyword, const WCHAR *text);

// ---- Sessions: the glue of the trace controller. Results are Win32 errors.

DWORD trace_session_start(const std::wstring &name, const std::wstring &log_file, ULONGLONG *handle);
// The session by handle, or by name when handle is 0.
DWORD trace_session_stop(ULONGLONG handle, const std::wstring &name);
DWORD trace_session_flush(ULONGLONG handle, const std::wstring &name);
DWORD trace_session_enable(ULONGLONG handle, const GUID &provider, ULONG control_code, UCHAR level,
                           ULONGLONG match_any, ULONGLONG match_all);

// ---- For tests and tools.

// A session without a log file that keeps its records. It enables one provider, or every
// provider (also those that register later) when provider is null. match_any 0 takes every
// keyword. Ends (disabling what it enabled) when destroyed.
class trace_capture {
public:
    explicit trace_capture(const GUID *provider, UCHAR level = TRACE_LEVEL_VERBOSE, ULONGLONG match_any = 0);
    ~trace_capture();
    trace_capture(const trace_capture &) = delete;
    trace_capture &operator=(const trace_capture &) = delete;

    std::vector<trace_record> records() const;

private:
    ULONGLONG m_handle;
};

// What the process has seen of a provider: registrations made since the process started,
// those that are live, and the module of the latest.
struct trace_provider_state {
    ULONG registrations = 0;
    ULONG live = 0;
    std::string module;
};
trace_provider_state trace_provider(const GUID &provider);

// Live registrations made by the module at module_path (as module_of_address names it).
ULONG trace_live_registrations(const std::string &module_path);
// Drops the module's registrations without calling it again: the module is about to go.
void trace_forget_module(const std::string &module_path);

// "ERROR", "WARNING" ... for a trace level; the number for others.
std::string trace_level_name(UCHAR level);

} // namespace platform
