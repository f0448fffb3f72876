// Time sources over the machine clock, the processor queries of a one-processor machine and
// the reported Windows version.
#include <wdm.h>
#include <platform/clock.h>
#include <platform/kernel_version.h>
#include <atomic>
#include "kernel_internal.h"

namespace platform {
namespace {

std::atomic<ULONG> g_ntddi{default_ntddi_version};

// The clock interrupt period: 15.625 ms in 100 ns units.
constexpr ULONG time_increment = 156250;

struct version_row {
    ULONG ntddi;
    ULONG major;
    ULONG minor;
    ULONG build;
};

constexpr version_row versions[] = {
    {0x06010000, 6, 1, 7601},  {0x06020000, 6, 2, 9200},   {0x06030000, 6, 3, 9600},
    {0x0A000000, 10, 0, 10240}, {0x0A000002, 10, 0, 14393}, {0x0A000006, 10, 0, 17763},
    {0x0A000008, 10, 0, 19041}, {0x0A00000B, 10, 0, 22000}, {0x0A00000C, 10, 0, 22621},
};

} // namespace

void set_ntddi_version(ULONG version)
{
    g_ntddi.store(version);
}

ULONG ntddi_version()
{
    return g_ntddi.load();
}

void ntddi_boot()
{
    g_ntddi.store(default_ntddi_version);
}

} // namespace platform

using namespace platform;

extern "C" {

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = ticks_per_second;
    }
    LARGE_INTEGER counter;
    counter.QuadPart = clock_now();
    return counter;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = clock_system_time();
}

VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = clock_system_time();
}

ULONGLONG NTAPI KeQueryInterruptTime()
{
    return (ULONGLONG)clock_now();
}

ULONGLONG NTAPI KeQueryInterruptTimePrecise(PULONG64 QpcTimeStamp)
{
    const LONGLONG now = clock_now();
    if (QpcTimeStamp != nullptr) {
        *QpcTimeStamp = (ULONG64)now;
    }
    return (ULONGLONG)now;
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount)
{
    CurrentCount->QuadPart = clock_now() / time_increment;
}

ULONG NTAPI KeQueryTimeIncrement()
{
    return time_increment;
}

ULONG NTAPI ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution)
{
    return SetResolution && DesiredTime >= 5000 && DesiredTime < time_increment ? DesiredTime : time_increment;
}

// The machine keeps its wall clock in UTC.
VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime)
{
    LocalTime->QuadPart = SystemTime->QuadPart;
}

VOID NTAPI ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime)
{
    SystemTime->QuadPart = LocalTime->QuadPart;
}

ULONG NTAPI KeGetCurrentProcessorNumber()
{
    return 0;
}

ULONG NTAPI KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER ProcNumber)
{
    if (ProcNumber != nullptr) {
        ProcNumber->Group = 0;
        ProcNumber->Number = 0;
        ProcNumber->Reserved = 0;
    }
    return 0;
}

ULONG NTAPI KeQueryActiveProcessorCount(KAFFINITY *ActiveProcessors)
{
    if (ActiveProcessors != nullptr) {
        *ActiveProcessors = 1;
    }
    return 1;
}

// Floating point state belongs to each OS thread here; nothing needs saving.
NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave)
{
    FloatSave->Dummy = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave)
{
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version)
{
    return Version <= ntddi_version() ? TRUE : FALSE;
}

NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation)
{
    const ULONG current = ntddi_version();
    version_row row = versions[0];
    for (const version_row &candidate : versions) {
        if (candidate.ntddi <= current) {
            row = candidate;
        }
    }
    lpVersionInformation->dwMajorVersion = row.major;
    lpVersionInformation->dwMinorVersion = row.minor;
    lpVersionInformation->dwBuildNumber = row.build;
    lpVersionInformation->dwPlatformId = 2;
    lpVersionInformation->szCSDVersion[0] = L'\0';
    return STATUS_SUCCESS;
}

} // extern "C"
