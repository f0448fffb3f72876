// The trace provider of ovmlsacoinstaller, the asynchronous stack's driver-ranking
// co-installer: its control GUID and its start and stop at process attach and detach. With
// TRACE_GUIDS_ONLY defined, only the GUID (for a trace controller).
#pragma once
#include <guiddef.h>

// {AB8EA286-DAB3-47A2-9433-DE5DE5446036}
constexpr GUID OVMLSACOINSTALLER_TRACE_GUID = {0xAB8EA286, 0xDAB3, 0x47A2, {0x94, 0x33, 0xDE, 0x5D, 0xE5, 0x44, 0x60, 0x36}};

#ifndef TRACE_GUIDS_ONLY
#include <UserTrace.h>

#define WPP_INIT_TRACING(AppName) TraceStart(&OVMLSACOINSTALLER_TRACE_GUID)
#define WPP_CLEANUP() TraceStop()
#endif
