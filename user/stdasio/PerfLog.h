// The process-wide performance log of the standard ASIO driver: counter stamps of start, stop,
// engine, outputReady and render periods, kept in a fixed array and written to a file when a
// driver object is destroyed.
#pragma once
#include <windows.h>

// Event identifiers.
enum : DWORD {
    PERF_EVENT_START = 0,
    PERF_EVENT_STOP = 9,
    PERF_EVENT_ENGINE_PERIOD = 10,
    PERF_EVENT_OUTPUT_READY = 20,
    PERF_EVENT_RENDER_PERIOD = 30,
};

inline constexpr DWORD PERF_LOG_CAPACITY = 5000;

struct PerfLogEntry {
    LONGLONG counter;
    DWORD event;
};

// Empties the log (count 0). Not safe against concurrent recording; init calls it.
VOID PerfLogReset();
// Records one event with the current performance counter; ignored once the log is full. Any
// thread, no lock: the slot comes from an interlocked increment.
VOID PerfLogRecord(DWORD event);
// Entries recorded so far (at most the capacity).
DWORD PerfLogCount();
// The entry at index, or null past the recorded ones.
const PerfLogEntry *PerfLogAt(DWORD index);
// Writes the log as text to path; FALSE when the file cannot be created (a missing folder).
BOOL PerfLogWrite(LPCWSTR path);

inline constexpr const WCHAR *PERF_LOG_PATH = L"C:\\_LOG\\perform.log";
