// SetupAPI's internal state: device information sets (snapshots of devices and interfaces owned
// by the process that made them), device instance numbers shared with the configuration
// manager, and the device properties read from the PnP manager's nodes and the Enum key.
// Other files of this module (device installation) use it to reach a set's devices.
#pragma once
#include <setupapi.h>
#include <cfgmgr32.h>
#include <string>
#include <vector>

namespace platform {

struct process;

struct devinfo_device {
    DEVINST devinst = 0;
    std::wstring instance_id;
    GUID class_guid{};
};

struct devinfo_interface {
    GUID class_guid{};
    std::wstring path;  // as user mode sees it, "\\?\usb#...#{guid}\Wave_48000"
    size_t device = 0;  // index into the set's devices
    DWORD flags = 0;    // SPINT_*
};

struct device_info_set {
    process *owner = nullptr;
    bool has_class = false;
    GUID class_guid{};
    std::vector<devinfo_device> devices;
    std::vector<devinfo_interface> interfaces;
};

// Runs action on the set named by handle with the module lock held; false (last error
// ERROR_INVALID_HANDLE) when no such set is open.
template <typename Action> bool with_device_info_set(HDEVINFO handle, Action &&action);
bool devinfo_lock_set(HDEVINFO handle, device_info_set **set);
void devinfo_unlock();

// The element a caller's SP_DEVINFO_DATA names inside set: checks cbSize
// (ERROR_INVALID_USER_BUFFER) and membership (ERROR_INVALID_PARAMETER); returns the error code.
DWORD devinfo_find_device(const device_info_set &set, const SP_DEVINFO_DATA *data, size_t *index);
void devinfo_fill(const device_info_set &set, size_t index, SP_DEVINFO_DATA *data);

// The number that names a device instance for SetupAPI and CfgMgr (stable until the next boot)
// and back.
DEVINST devinfo_devinst_of(const std::wstring &instance_id);
bool devinfo_instance_of(DEVINST devinst, std::wstring *instance_id);

// The device's setup class from the "ClassGUID" value of its Enum key; GUID_NULL when unset.
GUID devinfo_setup_class(const std::wstring &instance_id);

// A device property as its registry type and bytes (strings terminated). Returns
// ERROR_SUCCESS, ERROR_INVALID_REG_PROPERTY, ERROR_INVALID_DATA (absent) or
// ERROR_NO_SUCH_DEVINST (no node and no Enum key).
DWORD devinfo_property(const std::wstring &instance_id, DWORD property, DWORD *type, std::vector<BYTE> *data);

// Number of sets that are open (all processes); lets tests check that code destroys its sets.
ULONG devinfo_open_set_count();

template <typename Action> bool with_device_info_set(HDEVINFO handle, Action &&action)
{
    device_info_set *set = nullptr;
    if (!devinfo_lock_set(handle, &set)) {
        return false;
    }
    bool result = action(*set);
    devinfo_unlock();
    return result;
}

} // namespace platform
