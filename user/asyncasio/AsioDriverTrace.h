// The trace provider of ovmlsaaso, the asynchronous ASIO driver with the client library and
// the COM object base in it: its control GUID and its start under the application name
// "OVMLSAASO" (by the driver object and the registration entry points) and its stop. With
// TRACE_GUIDS_ONLY defined, only the GUID (for a trace controller).
#pragma once
#include <guiddef.h>

// {5D51BB7B-509C-4AC7-A3B1-B3BDF18A9A0D}
constexpr GUID OVMLSAASO_TRACE_GUID = {0x5D51BB7B, 0x509C, 0x4AC7, {0xA3, 0xB1, 0xB3, 0xBD, 0xF1, 0x8A, 0x9A, 0x0D}};

#ifndef TRACE_GUIDS_ONLY
#include <UserTrace.h>

#define WPP_INIT_TRACING(AppName) TraceStart(&OVMLSAASO_TRACE_GUID)
#define WPP_CLEANUP() TraceStop()
#endif
