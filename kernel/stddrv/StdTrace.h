// The trace provider of ovmlsau, the standard kernel driver with its own USB layer: its
// control GUID and its start and stop in DriverEntry and DriverUnload. With TRACE_GUIDS_ONLY
// defined, only the GUID (for a trace controller).
#pragma once
#include <guiddef.h>

// {6FE2145D-C55E-4488-9ADA-325C747AF9AF}
constexpr GUID OVMLSAU_TRACE_GUID = {0x6FE2145D, 0xC55E, 0x4488, {0x9A, 0xDA, 0x32, 0x5C, 0x74, 0x7A, 0xF9, 0xAF}};

#ifndef TRACE_GUIDS_ONLY
#include <KernelTrace.h>

#define WPP_INIT_TRACING(DriverObject, RegistryPath) TraceStart(&OVMLSAU_TRACE_GUID)
#define WPP_CLEANUP(DriverObject) TraceStop()
#endif
