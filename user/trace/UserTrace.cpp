// The user-mode trace library: the module's trace control, its provider's registration and
// the formatting of a trace into a stack buffer.
#include "UserTrace.h"
#include <cstdarg>
#include <cstring>
#include <cwchar>

// The trace text is formatted with the C99 rules ("%s" narrow text also in a wide format);
// the MinGW-w64 runtime follows them only with its own stdio.
#if defined(__MINGW32__) && !__USE_MINGW_ANSI_STDIO
#error "trace formatting needs __USE_MINGW_ANSI_STDIO"
#endif

TRACE_CONTROL g_TraceControl = {};

namespace {

SRWLOCK g_TraceLock = SRWLOCK_INIT;

// Copies narrow text into wide characters from text[used]; returns the new length.
size_t AppendWidened(WCHAR *text, size_t used, size_t capacity, PCSTR source)
{
    for (; used + 1 < capacity && *source != '\0'; ++source) {
        text[used++] = (WCHAR)(UCHAR)*source;
    }
    text[used] = L'\0';
    return used;
}

} // namespace

VOID TraceStart(LPCGUID ControlGuid)
{
    AcquireSRWLockExclusive(&g_TraceLock);
    TraceControlStart([ControlGuid](PREGHANDLE handle) {
        return EventRegister(ControlGuid, TraceEnableCallback, nullptr, handle) == ERROR_SUCCESS;
    });
    ReleaseSRWLockExclusive(&g_TraceLock);
}

VOID TraceStop()
{
    AcquireSRWLockExclusive(&g_TraceLock);
    TraceControlStop([](REGHANDLE handle) { EventUnregister(handle); });
    ReleaseSRWLockExclusive(&g_TraceLock);
}

VOID __cdecl TraceWrite(UCHAR Level, ULONGLONG Flags, PCSTR Function, PCSTR Format, ...)
{
    const REGHANDLE handle = g_TraceControl.RegHandle;
    if (handle != 0) {
        WCHAR text[TRACE_TEXT_CHARS];
        WCHAR format[TRACE_TEXT_CHARS];
        size_t used = AppendWidened(text, 0, TRACE_TEXT_CHARS, Function);
        used = AppendWidened(text, used, TRACE_TEXT_CHARS, ": ");
        if (std::strlen(Format) < TRACE_TEXT_CHARS) {
            AppendWidened(format, 0, TRACE_TEXT_CHARS, Format);
            va_list args;
            va_start(args, Format);
            // A text that does not fit is cut (the result is then negative).
            std::vswprintf(text + used, TRACE_TEXT_CHARS - used, format, args);
            va_end(args);
            text[TRACE_TEXT_CHARS - 1] = L'\0';
        } else {
            AppendWidened(text, used, TRACE_TEXT_CHARS, "(trace format too long)");
        }
        EventWriteString(handle, Level, Flags, text);
    }
}
