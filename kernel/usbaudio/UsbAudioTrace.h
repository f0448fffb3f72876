// Diagnostic trace of the USB audio-class library. Traces carry no behaviour; they are
// compiled in only when USBAUDIO_ENABLE_TRACE is defined.
#pragma once
#include <wdm.h>

#if defined(USBAUDIO_ENABLE_TRACE)
#define USBAUDIO_TRACE(...) DbgPrint(__VA_ARGS__)
#else
#define USBAUDIO_TRACE(...) ((void)0)
#endif
