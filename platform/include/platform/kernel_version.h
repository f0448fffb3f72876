// The Windows version the machine reports to RtlIsNtDdiVersionAvailable and RtlGetVersion.
// Reset to the default at every boot.
#pragma once
#include <ntdef.h>

namespace platform {

// A current Windows 10/11 release (NTDDI_WIN10_CO, build 22000).
inline constexpr ULONG default_ntddi_version = 0x0A00000B;

void set_ntddi_version(ULONG version);
ULONG ntddi_version();

} // namespace platform
