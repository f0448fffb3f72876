// Event tracing for kernel-mode providers: the Etw forms of the provider functions of
// evntprov.h. Registration and unregistration run at PASSIVE_LEVEL; the enable callback runs
// at PASSIVE_LEVEL; enablement checks and writes run at any IRQL.
#pragma once
#ifndef _ETW_KM_
#define _ETW_KM_
#endif
#include <evntprov.h>

extern "C" {

typedef VOID(NTAPI *PETWENABLECALLBACK)(LPCGUID SourceId, ULONG ControlCode, UCHAR Level, ULONGLONG MatchAnyKeyword,
                                        ULONGLONG MatchAllKeyword, PEVENT_FILTER_DESCRIPTOR FilterData,
                                        PVOID CallbackContext);

// STATUS_SUCCESS, or STATUS_INVALID_PARAMETER for a null GUID or handle pointer. The
// callback may run before EtwRegister returns, before *RegHandle is set. A driver unloads
// only after it has unregistered every provider it registered (a verifier rule).
NTKERNELAPI NTSTATUS NTAPI EtwRegister(LPCGUID ProviderId, PETWENABLECALLBACK EnableCallback, PVOID CallbackContext,
                                       PREGHANDLE RegHandle);
// STATUS_SUCCESS, or STATUS_INVALID_HANDLE for a handle that is not registered.
NTKERNELAPI NTSTATUS NTAPI EtwUnregister(REGHANDLE RegHandle);
NTKERNELAPI BOOLEAN NTAPI EtwProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword);
// STATUS_SUCCESS (also when no session takes the event), STATUS_INVALID_HANDLE, or
// STATUS_INVALID_PARAMETER for a null string. ActivityId is not used.
NTKERNELAPI NTSTATUS NTAPI EtwWriteString(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword, LPCGUID ActivityId,
                                          PCWSTR String);

} // extern "C"
