// Identity of the asynchronous ASIO driver: its class identifier and the names under which it
// registers.
#pragma once
#include <objbase.h>

// {4427F646-4B33-4B24-A4D1-A838CCF662C5}
DEFINE_GUID(CLSID_QelAsioDriver, 0x4427F646, 0x4B33, 0x4B24, 0xA4, 0xD1, 0xA8, 0x38, 0xCC, 0xF6, 0x62, 0xC5);

inline constexpr const WCHAR *QEL_ASIO_MODULE_FILE_NAME = L"ovmlsaaso.dll";
inline constexpr const WCHAR *QEL_ASIO_DRIVER_NAME = L"Orvan Marla Series Async ASIO";
inline constexpr const WCHAR *QEL_ASIO_DESCRIPTION = L"Orvan Marla Series Async ASIO";
inline constexpr const WCHAR *QEL_ASIO_THREADING_MODEL = L"Apartment";
