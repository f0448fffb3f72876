// Multimedia class scheduler service (avrt): a thread joins a task such as "Pro Audio" and
// raises its priority within it.
#pragma once
#include <windef.h>
#include <winerror.h>

typedef enum _AVRT_PRIORITY {
    AVRT_PRIORITY_VERYLOW = -2,
    AVRT_PRIORITY_LOW = -1,
    AVRT_PRIORITY_NORMAL = 0,
    AVRT_PRIORITY_HIGH = 2,
    AVRT_PRIORITY_CRITICAL = 3
} AVRT_PRIORITY, *PAVRT_PRIORITY;

extern "C" {
HANDLE WINAPI AvSetMmThreadCharacteristicsW(LPCWSTR TaskName, LPDWORD TaskIndex);
BOOL WINAPI AvSetMmThreadPriority(HANDLE AvrtHandle, AVRT_PRIORITY Priority);
BOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE AvrtHandle);
} // extern "C"

#ifdef UNICODE
#define AvSetMmThreadCharacteristics AvSetMmThreadCharacteristicsW
#else
#define AvSetMmThreadCharacteristics AvSetMmThreadCharacteristicsA
#endif
