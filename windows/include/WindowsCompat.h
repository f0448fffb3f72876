// Declarations that Windows has and the MinGW-w64 toolchain's headers lack, with the values
// Windows documents. The Windows build includes this header ahead of every source; each
// definition stands under #ifndef, so that a toolchain that has it keeps its own.
#pragma once
#include <windows.h>
#include <setupapi.h>
#include <evntrace.h>

// Device installation (setupapi.h): the finish-install action of Windows Vista and later.
#ifndef DIF_FINISHINSTALL_ACTION
#define DIF_FINISHINSTALL_ACTION 0x0000002A
#endif
#ifndef DI_FLAGSEX_FINISHINSTALL_ACTION
#define DI_FLAGSEX_FINISHINSTALL_ACTION 0x00000008L
#endif

// Software tracing. The sources use the macro names that the trace preprocessor generates for
// them; this build has no trace preprocessor, so the macros compile to nothing.
#ifndef WPP_INIT_TRACING
#define WPP_INIT_TRACING(...) ((void)0)
#endif
#ifndef WPP_CLEANUP
#define WPP_CLEANUP(...) ((void)0)
#endif
#ifndef TraceEvents
#define TraceEvents(Level, Flags, ...) ((void)0)
#endif
