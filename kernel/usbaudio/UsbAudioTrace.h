// The trace provider of ovmlsaau, which the USB audio-class library and the asynchronous
// kernel driver share: its control GUID and its start and stop in DriverEntry and
// DriverUnload. With TRACE_GUIDS_ONLY defined, only the GUID (for a trace controller).
#pragma once
#include <guiddef.h>

// {AA4EF244-C0AE-4C6B-8F70-D5D238C82980}
constexpr GUID OVMLSAAU_TRACE_GUID = {0xAA4EF244, 0xC0AE, 0x4C6B, {0x8F, 0x70, 0xD5, 0xD2, 0x38, 0xC8, 0x29, 0x80}};

#ifndef TRACE_GUIDS_ONLY
#include <KernelTrace.h>

#define WPP_INIT_TRACING(DriverObject, RegistryPath) TraceStart(&OVMLSAAU_TRACE_GUID)
#define WPP_CLEANUP(DriverObject) TraceStop()
#endif
