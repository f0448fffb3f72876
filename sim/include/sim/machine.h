// The simulated Windows machine: one per test or per run of the main job. It owns the
// machine's clock, kernel state, registry and loaded modules, and loads kernel drivers from the
// module folder as Windows loads them.
#pragma once
#include <memory>
#include <string>
#include <vector>
#include <ntdef.h>

typedef struct _DRIVER_OBJECT DRIVER_OBJECT;

namespace sim {

class machine {
public:
    // Boots the machine (every platform part resets its machine-wide state).
    machine();
    // Unloads every loaded driver, newest first (with the unload checks for those that have a
    // DriverUnload), then shuts the machine down.
    ~machine();
    machine(const machine &) = delete;
    machine &operator=(const machine &) = delete;

    // The folder kernel drivers and DLLs are loaded from: $OVM_MODULE_DIR when set, else the
    // build's module folder.
    static std::string module_directory();

    // Loads "<module folder>/<name>.so" and calls its DriverEntry with a new driver object and
    // the registry path "\Registry\Machine\System\CurrentControlSet\Services\<service>"
    // (service defaults to name). Returns DriverEntry's status; STATUS_OBJECT_NAME_NOT_FOUND
    // when the module cannot be loaded or exports no DriverEntry, STATUS_OBJECT_NAME_COLLISION
    // when it is loaded already. A driver whose DriverEntry fails is unloaded again at once.
    NTSTATUS load_driver(const std::string &name, const std::wstring &service = {});

    // Calls DriverUnload, waits for the driver's work items and queued DPCs, and checks that
    // the driver left no device object, IRP, work item or pool behind (a verifier stop names
    // what is left: tag, size and count for pool). STATUS_OBJECT_NAME_NOT_FOUND when not
    // loaded; STATUS_INVALID_DEVICE_REQUEST when the driver has no DriverUnload.
    NTSTATUS unload_driver(const std::string &name);

    // The driver object of a loaded driver, or null.
    DRIVER_OBJECT *driver(const std::string &name) const;

    // The path a module was loaded from (the name its pool and IRPs are charged to).
    std::string module_path(const std::string &name) const;

private:
    struct loaded_driver;
    void unload(loaded_driver &entry, bool checks);
    std::vector<std::unique_ptr<loaded_driver>> drivers_;
};

} // namespace sim
