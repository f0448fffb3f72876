// Event tracing for providers (ETW): a provider registers under its control GUID, learns from
// its enable callback which level and keywords the trace sessions want, and writes events.
// Kernel-mode code gets the types through wdm.h, which defines _ETW_KM_ and declares the Etw
// forms of the functions; the Event forms below are user mode's.
#pragma once
#include <ntdef.h>

#define EVNTAPI

typedef ULONGLONG REGHANDLE, *PREGHANDLE;

// Control codes an enable callback receives.
#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2

typedef struct _EVENT_FILTER_DESCRIPTOR {
    ULONGLONG Ptr;
    ULONG Size;
    ULONG Type;
} EVENT_FILTER_DESCRIPTOR, *PEVENT_FILTER_DESCRIPTOR;

#ifndef _ETW_KM_

extern "C" {

// Called at registration when a session already enables the provider, and whenever a
// session enables it, changes its level or keywords, or disables it. Level and keywords are
// those of every session together: the highest level, every keyword any session wants.
typedef VOID(NTAPI *PENABLECALLBACK)(LPCGUID SourceId, ULONG IsEnabled, UCHAR Level, ULONGLONG MatchAnyKeyword,
                                     ULONGLONG MatchAllKeyword, PEVENT_FILTER_DESCRIPTOR FilterData,
                                     PVOID CallbackContext);

// ERROR_SUCCESS, or ERROR_INVALID_PARAMETER for a null GUID or handle pointer. The callback
// may run before EventRegister returns, before *RegHandle is set.
ULONG EVNTAPI EventRegister(LPCGUID ProviderId, PENABLECALLBACK EnableCallback, PVOID CallbackContext,
                            PREGHANDLE RegHandle);
// ERROR_SUCCESS, or ERROR_INVALID_HANDLE for a handle that is not registered. No callback of
// the registration runs once it returns.
ULONG EVNTAPI EventUnregister(REGHANDLE RegHandle);
// True when a session takes an event of this level and keyword from the provider.
BOOLEAN EVNTAPI EventProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword);
// An event that is only a string, to every session that takes its level and keyword.
// ERROR_SUCCESS (also when no session takes it), ERROR_INVALID_HANDLE, or
// ERROR_INVALID_PARAMETER for a null string.
ULONG EVNTAPI EventWriteString(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword, PCWSTR String);

} // extern "C"

#endif // _ETW_KM_
