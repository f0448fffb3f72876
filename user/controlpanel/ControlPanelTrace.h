// The trace provider of ovmlsaaudcp, the control-panel program with the client library in it:
// its control GUID and its start under the application name OVMLSAACPL and its stop. With
// TRACE_GUIDS_ONLY defined, only the GUID (for a trace controller).
#pragma once
#include <guiddef.h>

// {E9FFC0D9-EF04-4760-90AD-CB436D3E803D}
constexpr GUID OVMLSAACPL_TRACE_GUID = {0xE9FFC0D9, 0xEF04, 0x4760, {0x90, 0xAD, 0xCB, 0x43, 0x6D, 0x3E, 0x80, 0x3D}};

#ifndef TRACE_GUIDS_ONLY
#include <UserTrace.h>

#define WPP_INIT_TRACING(AppName) TraceStart(&OVMLSAACPL_TRACE_GUID)
#define WPP_CLEANUP() TraceStop()
#endif
