// Trace macros of kernel-mode code: the driver's provider over the kernel's ETW provider API.
// Formats follow the kernel's printf rules, as for DbgPrint (%lu for ULONG, %ws wide text,
// %I64u, "i"/"o" through TRACE_DIRECTION). A trace at DISPATCH_LEVEL or above takes no wide
// text (%ws, %wZ, %S), which the kernel formats only at PASSIVE_LEVEL.
#pragma once
#include <wdm.h>
#include <evntrace.h>
#include <TraceControl.h>

// Registers the driver's provider under ControlGuid at the first start; later starts count,
// and the provider stays registered until as many stops. PASSIVE_LEVEL, from DriverEntry and
// DriverUnload.
VOID TraceStart(LPCGUID ControlGuid);
VOID TraceStop();

// Formats and writes one trace; TraceEvents calls it once the provider is enabled. Any IRQL.
VOID __cdecl TraceWrite(UCHAR Level, ULONGLONG Flags, PCSTR Function, PCSTR Format, ...);
