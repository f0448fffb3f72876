// The performance log: a fixed array of counter stamps filled without a lock, and its text file.
#include "PerfLog.h"
#include <interlockedapi.h>
#include <cstdio>
#include <cstring>

namespace {

PerfLogEntry g_entries[PERF_LOG_CAPACITY];
volatile LONG g_count = 0;

} // namespace

VOID PerfLogReset()
{
    InterlockedExchange(&g_count, 0);
}

VOID PerfLogRecord(DWORD event)
{
    if ((DWORD)g_count >= PERF_LOG_CAPACITY) {
        return;
    }
    const DWORD index = (DWORD)InterlockedIncrement(&g_count) - 1;
    if (index >= PERF_LOG_CAPACITY) {
        return;
    }
    g_entries[index].event = event;
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    g_entries[index].counter = counter.QuadPart;
}

DWORD PerfLogCount()
{
    const DWORD count = (DWORD)g_count;
    return count < PERF_LOG_CAPACITY ? count : PERF_LOG_CAPACITY;
}

const PerfLogEntry *PerfLogAt(DWORD index)
{
    return index < PerfLogCount() ? &g_entries[index] : nullptr;
}

BOOL PerfLogWrite(LPCWSTR path)
{
    const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency)) {
        frequency.QuadPart = 0;
    }
    char line[96];
    DWORD written = 0;
    WriteFile(file, "-- log --\n", 10, &written, nullptr);
    const DWORD count = PerfLogCount();
    for (DWORD i = 0; i < count; ++i) {
        const LONGLONG elapsed = g_entries[i].counter - g_entries[0].counter;
        int length;
        if (frequency.QuadPart != 0) {
            const LONGLONG micros = elapsed * 1000 * 1000 / frequency.QuadPart;
            length = std::snprintf(line, sizeof(line), "%lld\t%u\t%u\n", (long long)g_entries[i].counter,
                                   (unsigned)(DWORD)micros, (unsigned)g_entries[i].event);
        } else {
            length = std::snprintf(line, sizeof(line), "%u\t%u\n", (unsigned)(DWORD)elapsed,
                                   (unsigned)g_entries[i].event);
        }
        if (length > 0) {
            WriteFile(file, line, (DWORD)length, &written, nullptr);
        }
    }
    CloseHandle(file);
    return TRUE;
}
