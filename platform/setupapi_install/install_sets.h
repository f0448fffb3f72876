// Internal records of the device information sets device setup builds for a device it
// installs: the device, its install parameters and its two driver lists.
#pragma once
#include <windows.h>
#include <setupapi_install.h>
#include <platform/device_install.h>
#include <mutex>

namespace platform {

struct install_driver {
    driver_candidate candidate;
    DWORD type = SPDIT_COMPATDRIVER;
};

struct install_set {
    std::wstring instance_id;
    DWORD dev_inst = 0;
    SP_DEVINSTALL_PARAMS_A params{};
    std::vector<install_driver> compatible;
    std::vector<install_driver> class_drivers;
};

// Guards every set and the set table.
std::mutex &install_set_lock();

// The set behind a handle, or null (ERROR_INVALID_HANDLE is then the caller's error). With
// the lock held.
install_set *install_set_find_locked(void *handle);

// Checks an optional SP_DEVINFO_DATA against the set: 0 when it is null or names the set's
// device, else the Win32 error to fail with.
DWORD install_set_check_device_locked(const install_set &set, const SP_DEVINFO_DATA *data);

// The install records of a set that SetupAPI made (SetupDiGetClassDevs,
// SetupDiCreateDeviceInfoList) rather than device setup: the set, and each of its devices, has
// install parameters of its own and empty driver lists. Null with *error set when handle is
// no such set or data names no device of it. With the lock held.
install_set *install_set_of_listed_locked(void *handle, const SP_DEVINFO_DATA *data, DWORD *error);

} // namespace platform
