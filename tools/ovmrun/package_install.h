// Installing the driver package on the job's machine as setup does: the kernel driver bound
// to the device's hardware ID, device setup with the package's co-installer, the ASIO
// driver's self-registration, and the settings the control panel would have stored.
#pragma once
#include <cstdint>
#include <string>
#include <sim/machine.h>

namespace ovmrun {

// The device's hardware ID the kernel driver is installed for.
inline constexpr const wchar_t *async_hardware_id = L"USB\\VID_3A51&PID_0102";
// Where setup puts the ASIO driver; the path it registers under HKCR\CLSID.
inline constexpr const wchar_t *asio_module_path = L"C:\\Program Files\\Orvan\\Marla Series\\ovmlsaaso.dll";

// The standard stack's ASIO driver: where setup puts it and the name it registers under.
inline constexpr const wchar_t *standard_asio_module_path = L"C:\\Program Files (x86)\\Orvan\\Marla Series\\ovmlsaso.dll";
inline constexpr const wchar_t *standard_asio_driver_name = L"Orvan Marla Series ASIO";

void install_kernel_driver(sim::machine &machine);

struct setup_outcome {
    bool ok = false;
    std::string chosen; // the installed driver's description
    std::string detail; // what failed
};
// Device setup of the attached device with the package's co-installer, offered the generic
// class driver and the package's driver.
setup_outcome run_device_setup(const std::wstring &instance_id);

struct registration_outcome {
    bool ok = false;
    std::string detail;
};
// Loads ovmlsaaso, calls DllRegisterServer and checks that the driver is listed under
// SOFTWARE\ASIO.
registration_outcome register_asio_driver();

// Loads ovmlsaso, calls DllRegisterServer and checks that the standard driver is listed under
// SOFTWARE\ASIO in the 32-bit view. The calling process must be a 32-bit one (its registry
// view wow64_32), as every process that loads this 32-bit in-process server is.
registration_outcome register_standard_asio_driver();

// Stores rate and buffer size (frames) in the standard driver's per-user settings key, as its
// control panel does; false when the key cannot be written.
bool store_standard_settings(uint32_t rate, uint32_t buffer_frames);

// Stores rate and buffer-size index in the per-user settings, as the control panel does;
// false when the settings key cannot be written.
bool store_settings(uint32_t rate, uint32_t buffer_index);

} // namespace ovmrun
