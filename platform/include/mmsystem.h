// Win32 multimedia timer services (winmm): the millisecond system time.
#pragma once
#include <windef.h>

typedef UINT MMRESULT;

#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO 97

extern "C" {
// Milliseconds since the machine booted, on the machine clock; wraps after 2^32 ms.
DWORD WINAPI timeGetTime();
MMRESULT WINAPI timeBeginPeriod(UINT uPeriod);
MMRESULT WINAPI timeEndPeriod(UINT uPeriod);
} // extern "C"
