// The trace control of one module of the package: the registration of its one trace provider
// and the level and flags the trace sessions last asked of it, which every trace macro checks
// before it formats anything. Shared by the kernel-mode and the user-mode trace macros; code
// includes KernelTrace.h or UserTrace.h, and a deliverable's own trace header adds its control
// GUID and the WPP_INIT_TRACING and WPP_CLEANUP macros.
#pragma once

// The flags (ETW keywords) of every provider of the package; each trace names one.
// GENERAL: load, registration, entry points and requests from above (PnP, IOCTLs, KS properties,
// ASIO methods, install functions), object life, state changes. DEVICE: requests to the layer
// below (USB requests and descriptors, the device channel from the client, endpoints, SetupAPI).
// STREAM: the streaming path (transfers, FIFOs, buffer switches; verbose in the steady state).
// SETTINGS: settings values, registry, named objects, the panel's controls.
#define TRACE_FLAG_GENERAL 0x00000001
#define TRACE_FLAG_DEVICE 0x00000002
#define TRACE_FLAG_STREAM 0x00000004
#define TRACE_FLAG_SETTINGS 0x00000008

// The letter of a per-direction trace ("%s"): "i" for capture, "o" for render.
#define TRACE_DIRECTION(Capture) ((Capture) ? "i" : "o")

typedef struct _TRACE_CONTROL {
    REGHANDLE RegHandle;               // 0 while the provider is not registered
    LONG Starts;                       // WPP_INIT_TRACING calls not yet matched by WPP_CLEANUP
    volatile LONG Enabled;             // set after the three values below
    volatile UCHAR Level;
    volatile ULONGLONG MatchAnyKeyword;
    volatile ULONGLONG MatchAllKeyword;
} TRACE_CONTROL;

// One per module (each module links its own copy of the trace library).
extern TRACE_CONTROL g_TraceControl;

// True when a session takes a trace of this level and flags. Reads four values and formats
// nothing: the whole cost of a trace whose provider is off. Any IRQL.
inline BOOLEAN TraceEnabled(UCHAR Level, ULONGLONG Flags)
{
    return g_TraceControl.Enabled != 0 && Level <= g_TraceControl.Level &&
           (Flags == 0 || ((Flags & g_TraceControl.MatchAnyKeyword) != 0 &&
                           (Flags & g_TraceControl.MatchAllKeyword) == g_TraceControl.MatchAllKeyword));
}

// The provider's enable callback in both modes: keeps what the sessions together ask (a level
// of 0 and no keywords take everything, as ETW has it).
inline VOID NTAPI TraceEnableCallback(LPCGUID SourceId, ULONG ControlCode, UCHAR Level, ULONGLONG MatchAnyKeyword,
                                      ULONGLONG MatchAllKeyword, PEVENT_FILTER_DESCRIPTOR FilterData,
                                      PVOID CallbackContext)
{
    UNREFERENCED_PARAMETER(SourceId);
    UNREFERENCED_PARAMETER(FilterData);
    UNREFERENCED_PARAMETER(CallbackContext);
    if (ControlCode == EVENT_CONTROL_CODE_ENABLE_PROVIDER) {
        g_TraceControl.Level = Level == 0 ? (UCHAR)0xFF : Level;
        g_TraceControl.MatchAnyKeyword = MatchAnyKeyword == 0 ? ~0ULL : MatchAnyKeyword;
        g_TraceControl.MatchAllKeyword = MatchAllKeyword;
        InterlockedExchange(&g_TraceControl.Enabled, 1);
    } else if (ControlCode == EVENT_CONTROL_CODE_DISABLE_PROVIDER) {
        InterlockedExchange(&g_TraceControl.Enabled, 0);
    }
}

// The counting of starts and stops in both modes, around the mode's registration calls:
// Register(&handle) is true when it registered, Unregister(handle) removes it. The caller
// serialises starts and stops.
template <class Register>
inline VOID TraceControlStart(Register RegisterProvider)
{
    if (g_TraceControl.Starts == 0) {
        REGHANDLE handle = 0;
        if (RegisterProvider(&handle)) {
            g_TraceControl.RegHandle = handle;
        }
    }
    g_TraceControl.Starts += 1;
}

template <class Unregister>
inline VOID TraceControlStop(Unregister UnregisterProvider)
{
    if (g_TraceControl.Starts > 0) {
        g_TraceControl.Starts -= 1;
        if (g_TraceControl.Starts == 0 && g_TraceControl.RegHandle != 0) {
            const REGHANDLE handle = g_TraceControl.RegHandle;
            g_TraceControl.RegHandle = 0;
            UnregisterProvider(handle);
            InterlockedExchange(&g_TraceControl.Enabled, 0);
        }
    }
}

// A trace of the module's provider at a level (TRACE_LEVEL_ERROR, _WARNING, _INFORMATION,
// _VERBOSE) with one TRACE_FLAG_*: formatted into a stack buffer and written as
// "Function: text", only when a session takes it. The arguments are not evaluated otherwise.
#define TraceEvents(Level, Flags, Format, ...)                                                         \
    do {                                                                                               \
        if (TraceEnabled((UCHAR)(Level), (ULONGLONG)(Flags))) {                                        \
            TraceWrite((UCHAR)(Level), (ULONGLONG)(Flags), __func__, Format __VA_OPT__(, ) __VA_ARGS__); \
        }                                                                                              \
    } while (0)

// The longest trace text in characters, with its function name; longer text is cut.
#define TRACE_TEXT_CHARS 256
