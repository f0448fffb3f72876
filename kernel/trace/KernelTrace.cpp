// The kernel-mode trace library: the driver's trace control, its provider's registration
// and the formatting of a trace into a stack buffer.
#include "KernelTrace.h"
#include <ntstrsafe.h>

TRACE_CONTROL g_TraceControl = {};

VOID TraceStart(LPCGUID ControlGuid)
{
    PAGED_CODE();
    TraceControlStart([ControlGuid](PREGHANDLE handle) {
        return NT_SUCCESS(EtwRegister(ControlGuid, TraceEnableCallback, nullptr, handle));
    });
}

VOID TraceStop()
{
    PAGED_CODE();
    TraceControlStop([](REGHANDLE handle) { EtwUnregister(handle); });
}

VOID __cdecl TraceWrite(UCHAR Level, ULONGLONG Flags, PCSTR Function, PCSTR Format, ...)
{
    const REGHANDLE handle = g_TraceControl.RegHandle;
    if (handle != 0) {
        CHAR text[TRACE_TEXT_CHARS];
        size_t used = 0;
        RtlStringCbPrintfA(text, sizeof(text), "%s: ", Function);
        RtlStringCbLengthA(text, sizeof(text), &used);
        va_list args;
        va_start(args, Format);
        // A text that does not fit is cut (STATUS_BUFFER_OVERFLOW).
        RtlStringCbVPrintfA(text + used, sizeof(text) - used, Format, args);
        va_end(args);
        WCHAR wide[TRACE_TEXT_CHARS];
        ULONG i = 0;
        for (; i + 1 < TRACE_TEXT_CHARS && text[i] != '\0'; ++i) {
            wide[i] = (WCHAR)(UCHAR)text[i];
        }
        wide[i] = L'\0';
        EtwWriteString(handle, Level, Flags, nullptr, wide);
    }
}
