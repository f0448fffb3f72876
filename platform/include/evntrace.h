// Software tracing: trace levels and a small macro set that driver code uses the way
// preprocessor-instrumented tracing is used on Windows. A message passes when its level is
// at or below its module's level and its flags meet the module's flags (see
// platform/trace.h). Trace output carries no behaviour.
#pragma once
#include <ntdef.h>

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

extern "C" {

// Formats with the Windows printf rules and passes the text to the module's trace control.
// The module is the one that contains the caller.
VOID __cdecl WppTraceMessage(UCHAR Level, ULONG Flags, PCSTR Function, PCSTR Format, ...)
    __attribute__((noinline));

} // extern "C"

#define DoTraceLevelMessage(Level, Flags, Format, ...) WppTraceMessage((UCHAR)(Level), (ULONG)(Flags), __func__, Format __VA_OPT__(,) __VA_ARGS__)
#define DoTraceMessage(Flags, Format, ...) WppTraceMessage(TRACE_LEVEL_INFORMATION, (ULONG)(Flags), __func__, Format __VA_OPT__(,) __VA_ARGS__)
#define TraceEvents(Level, Flags, Format, ...) WppTraceMessage((UCHAR)(Level), (ULONG)(Flags), __func__, Format __VA_OPT__(,) __VA_ARGS__)

// Start and stop of tracing for a driver or DLL; the stand-in's controls need no set-up.
#define WPP_INIT_TRACING(...) ((void)0)
#define WPP_CLEANUP(...) ((void)0)
