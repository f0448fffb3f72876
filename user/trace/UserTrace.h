// Trace macros of user-mode code: the module's provider over the ETW provider API of
// evntprov.h. Formats follow the C library's printf rules (%s narrow text, %ls wide text,
// %u with a cast to unsigned for DWORD and ULONG, %llu for 64-bit values), checked by the
// compiler.
#pragma once
#include <windows.h>
#include <evntprov.h>
#include <evntrace.h>
#include <interlockedapi.h>
#include <TraceControl.h>

#if defined(__clang__)
#define TRACE_FORMAT_CHECK(FormatIndex, FirstArgument) __attribute__((format(printf, FormatIndex, FirstArgument)))
#elif defined(__GNUC__)
// The C99 rules also where the runtime's own printf would follow others (MinGW-w64).
#define TRACE_FORMAT_CHECK(FormatIndex, FirstArgument) __attribute__((format(gnu_printf, FormatIndex, FirstArgument)))
#else
#define TRACE_FORMAT_CHECK(FormatIndex, FirstArgument)
#endif

// Registers the module's provider under ControlGuid at the first start; later starts count,
// and the provider stays registered until as many stops. Any thread.
VOID TraceStart(LPCGUID ControlGuid);
VOID TraceStop();

// Formats and writes one trace; TraceEvents calls it once the provider is enabled.
VOID __cdecl TraceWrite(UCHAR Level, ULONGLONG Flags, PCSTR Function, PCSTR Format, ...) TRACE_FORMAT_CHECK(4, 5);
