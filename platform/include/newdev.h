// Driver update for Plug and Play devices (newdev): forces an INF's driver onto every present
// device with a given hardware ID.
#pragma once
#include <windef.h>
#include <winerror.h>

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define INSTALLFLAG_BITS 0x00000007

extern "C" {

// FALSE with ERROR_INVALID_PARAMETER for a null or empty ID or INF path,
// ERROR_INVALID_FLAGS for unknown flags, ERROR_FILE_NOT_FOUND when the INF file does not exist
// and ERROR_NO_SUCH_DEVINST when no present device carries the hardware ID (case-insensitive).
// bRebootRequired, when given, is set to FALSE.
BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired);

} // extern "C"

#ifdef UNICODE
#define UpdateDriverForPlugAndPlayDevices UpdateDriverForPlugAndPlayDevicesW
#else
#define UpdateDriverForPlugAndPlayDevices UpdateDriverForPlugAndPlayDevicesA
#endif
