// Time on the machine clock: tick counts, the performance counter, system time, and winmm's
// timeGetTime.
#include "kernel32_private.h"
#include <mmsystem.h>
#include <platform/clock.h>

namespace platform {
namespace {

constexpr LONGLONG ticks_per_day = 864000000000LL;

bool is_leap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Splits 100 ns units since 1 January 1601 into a calendar date (proleptic Gregorian).
void split_time(LONGLONG time, SYSTEMTIME *out)
{
    LONGLONG days = time / ticks_per_day;
    LONGLONG rest = time % ticks_per_day;
    out->wDayOfWeek = (WORD)((days + 1) % 7); // 1 January 1601 was a Monday
    int year = 1601;
    for (;;) {
        const int length = is_leap(year) ? 366 : 365;
        if (days < length) {
            break;
        }
        days -= length;
        ++year;
    }
    static constexpr int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int month = 0;
    for (;; ++month) {
        const int length = month_days[month] + (month == 1 && is_leap(year) ? 1 : 0);
        if (days < length) {
            break;
        }
        days -= length;
    }
    out->wYear = (WORD)year;
    out->wMonth = (WORD)(month + 1);
    out->wDay = (WORD)(days + 1);
    out->wHour = (WORD)(rest / (3600 * ticks_per_second));
    rest %= 3600 * ticks_per_second;
    out->wMinute = (WORD)(rest / (60 * ticks_per_second));
    rest %= 60 * ticks_per_second;
    out->wSecond = (WORD)(rest / ticks_per_second);
    out->wMilliseconds = (WORD)((rest % ticks_per_second) / ticks_per_ms);
}

} // namespace
} // namespace platform

using namespace platform;

DWORD WINAPI GetTickCount()
{
    return (DWORD)(clock_now() / ticks_per_ms);
}

ULONGLONG WINAPI GetTickCount64()
{
    return (ULONGLONG)(clock_now() / ticks_per_ms);
}

DWORD WINAPI timeGetTime()
{
    return (DWORD)(clock_now() / ticks_per_ms);
}

MMRESULT WINAPI timeBeginPeriod(UINT uPeriod)
{
    return uPeriod == 0 ? TIMERR_NOCANDO : TIMERR_NOERROR;
}

MMRESULT WINAPI timeEndPeriod(UINT uPeriod)
{
    return uPeriod == 0 ? TIMERR_NOCANDO : TIMERR_NOERROR;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount)
{
    if (lpPerformanceCount == nullptr) {
        win32_set_last_error(ERROR_NOACCESS);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = clock_now();
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency)
{
    if (lpFrequency == nullptr) {
        win32_set_last_error(ERROR_NOACCESS);
        return FALSE;
    }
    lpFrequency->QuadPart = ticks_per_second;
    return TRUE;
}

VOID WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime)
{
    const ULONGLONG now = (ULONGLONG)clock_system_time();
    lpSystemTimeAsFileTime->dwLowDateTime = (DWORD)now;
    lpSystemTimeAsFileTime->dwHighDateTime = (DWORD)(now >> 32);
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME *lpFileTime, LPSYSTEMTIME lpSystemTime)
{
    const ULONGLONG time = ((ULONGLONG)lpFileTime->dwHighDateTime << 32) | lpFileTime->dwLowDateTime;
    if (time > (ULONGLONG)MAXLONGLONG) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    split_time((LONGLONG)time, lpSystemTime);
    return TRUE;
}

VOID WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    split_time(clock_system_time(), lpSystemTime);
}

VOID WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    // The simulated machine's time zone is UTC.
    split_time(clock_system_time(), lpSystemTime);
}
