// Declarations that Windows has and the MinGW-w64 toolchain's headers lack, with the values
// Windows documents. The Windows build includes this header ahead of every source; each
// definition stands under #ifndef, so that a toolchain that has it keeps its own.
#pragma once
#include <windows.h>
#include <setupapi.h>

// Device installation (setupapi.h): the finish-install action of Windows Vista and later.
#ifndef DIF_FINISHINSTALL_ACTION
#define DIF_FINISHINSTALL_ACTION 0x0000002A
#endif
#ifndef DI_FLAGSEX_FINISHINSTALL_ACTION
#define DI_FLAGSEX_FINISHINSTALL_ACTION 0x00000008L
#endif
