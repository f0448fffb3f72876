// Win32 API: process status. The image file name of a process.
#pragma once
#include <windows.h>

extern "C" {

// Copies the process's image path ("\Device\HarddiskVolume1\...\name.exe") into lpImageFileName
// (nSize characters, terminator included) and returns its length in characters. 0 with
// ERROR_INVALID_HANDLE for a handle that names no process, ERROR_INSUFFICIENT_BUFFER when the
// path does not fit (nothing useful is written then), ERROR_GEN_FAILURE for a process without
// an image (the machine's default process).
DWORD WINAPI GetProcessImageFileNameW(HANDLE hProcess, LPWSTR lpImageFileName, DWORD nSize);

} // extern "C"

#ifdef UNICODE
#define GetProcessImageFileName GetProcessImageFileNameW
#else
#define GetProcessImageFileName GetProcessImageFileNameA
#endif
