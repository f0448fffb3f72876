// The tracing stand-in: per-module level and flags, capture for tests, and debug output.
#include <platform/trace.h>
#include <evntrace.h>
#include <wdm.h>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include "format.h"
#include "kernel_internal.h"

namespace platform {
namespace {

struct control {
    UCHAR level;
    ULONG flags;
};

struct trace_state {
    std::mutex lock;
    std::map<std::string, control> controls;
    control fallback{TRACE_LEVEL_ERROR, 0xFFFFFFFF};
    bool capturing = false;
    std::vector<trace_record> captured;
};

UCHAR initial_level()
{
    const char *text = std::getenv("OVM_TRACE_LEVEL");
    if (text == nullptr) {
        return TRACE_LEVEL_ERROR;
    }
    const int level = std::atoi(text);
    return (UCHAR)(level < 0 ? 0 : level > TRACE_LEVEL_VERBOSE ? TRACE_LEVEL_VERBOSE : level);
}

trace_state &state()
{
    static auto *s = [] {
        auto *created = new trace_state();
        created->fallback.level = initial_level();
        return created;
    }();
    return *s;
}

std::string module_name(void *caller)
{
    std::string path = module_of_address(caller);
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) {
        path.erase(0, slash + 1);
    }
    const size_t dot = path.find('.');
    if (dot != std::string::npos) {
        path.erase(dot);
    }
    return path;
}

UCHAR level_of_debug_print(ULONG level)
{
    switch (level) {
    case DPFLTR_ERROR_LEVEL: return TRACE_LEVEL_ERROR;
    case DPFLTR_WARNING_LEVEL: return TRACE_LEVEL_WARNING;
    case DPFLTR_INFO_LEVEL: return TRACE_LEVEL_INFORMATION;
    default: return TRACE_LEVEL_VERBOSE;
    }
}

} // namespace

void trace_set_control(const std::string &module, UCHAR level, ULONG flags)
{
    trace_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    if (module.empty()) {
        s.fallback = control{level, flags};
    } else {
        s.controls[module] = control{level, flags};
    }
}

void trace_reset_controls()
{
    trace_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    s.controls.clear();
    s.fallback = control{initial_level(), 0xFFFFFFFF};
}

void trace_capture_begin()
{
    trace_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    s.capturing = true;
    s.captured.clear();
}

std::vector<trace_record> trace_capture_end()
{
    trace_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    s.capturing = false;
    std::vector<trace_record> records;
    records.swap(s.captured);
    return records;
}

void trace_emit(void *caller, UCHAR level, ULONG flags, const std::string &text)
{
    const std::string module = module_name(caller);
    trace_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    auto it = s.controls.find(module);
    const control c = it != s.controls.end() ? it->second : s.fallback;
    if (level == TRACE_LEVEL_NONE || level > c.level || (flags != 0 && (flags & c.flags) == 0)) {
        return;
    }
    if (s.capturing) {
        s.captured.push_back(trace_record{module, level, flags, text});
        return;
    }
    std::fprintf(stderr, "[%s:%u] %s%s", module.c_str(), (unsigned)level, text.c_str(),
                 (!text.empty() && text.back() == '\n') ? "" : "\n");
}

} // namespace platform

using namespace platform;

extern "C" {

VOID __cdecl WppTraceMessage(UCHAR Level, ULONG Flags, PCSTR Function, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    const std::string text = std::string(Function) + ": " + format_narrow(Format, args);
    va_end(args);
    trace_emit(__builtin_return_address(0), Level, Flags, text);
}

ULONG __cdecl DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    const std::string text = format_narrow(Format, args);
    va_end(args);
    trace_emit(__builtin_return_address(0), TRACE_LEVEL_INFORMATION, 0, text);
    return STATUS_SUCCESS;
}

ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    const std::string text = format_narrow(Format, args);
    va_end(args);
    trace_emit(__builtin_return_address(0), level_of_debug_print(Level), 0, text);
    return STATUS_SUCCESS;
}

ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist)
{
    trace_emit(__builtin_return_address(0), level_of_debug_print(Level), 0, format_narrow(Format, arglist));
    return STATUS_SUCCESS;
}

} // extern "C"
