// The trace provider of ovmlsaso, the standard ASIO driver with the COM object base in it:
// its control GUID and its start and stop by each driver object. With TRACE_GUIDS_ONLY
// defined, only the GUID (for a trace controller).
#pragma once
#include <guiddef.h>

// {812C4DB4-644E-41B0-B330-DA6B3017E4AF}
constexpr GUID OVMLSASO_TRACE_GUID = {0x812C4DB4, 0x644E, 0x41B0, {0xB3, 0x30, 0xDA, 0x6B, 0x30, 0x17, 0xE4, 0xAF}};

#ifndef TRACE_GUIDS_ONLY
#include <UserTrace.h>

#define WPP_INIT_TRACING(AppName) TraceStart(&OVMLSASO_TRACE_GUID)
#define WPP_CLEANUP() TraceStop()
#endif
