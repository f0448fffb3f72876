// The simulated Windows machine: one per test or per run of the main job. It owns the
// machine's clock, kernel state, registry and loaded modules, and loads kernel drivers from the
// module folder as Windows loads them.
#pragma once
#include <memory>
#include <string>
#include <vector>
#include <ntdef.h>

typedef struct _DRIVER_OBJECT DRIVER_OBJECT;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT;

namespace sim {

class usb_device;
class usb_port;
class host_controller;
struct host_controller_options;

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

    // ---- Plug and Play of USB devices (DeviceAttach.cpp) ----
    // Installs a driver for a hardware or compatible ID (case-insensitive): a device carrying
    // that ID gets module (loaded on first use) as its function driver under service.
    void install_driver(const std::wstring &id, const std::string &module, const std::wstring &service);
    // The USB bus; created on first use, in real time unless use_usb_bus chose otherwise.
    host_controller &usb_bus();
    // Chooses the bus's options; only before the bus exists.
    void use_usb_bus(const host_controller_options &options);
    // Puts a device on the bus: creates its PDO and device node (hardware, compatible and
    // instance IDs), finds the installed driver by hardware then compatible ID, loads it,
    // calls AddDevice and sends IRP_MN_START_DEVICE. The PDO is returned also when no driver
    // is installed (STATUS_SUCCESS, the node stays unstarted) or a driver fails (its status;
    // a failed start is followed by IRP_MN_REMOVE_DEVICE).
    NTSTATUS attach(std::shared_ptr<usb_device> device, DEVICE_OBJECT **pdo = nullptr);
    // The device leaves: its requests fail as device-gone, then IRP_MN_SURPRISE_REMOVAL and
    // IRP_MN_REMOVE_DEVICE go down its stack and the PDO is deleted.
    NTSTATUS detach(DEVICE_OBJECT *pdo);
    // Sends one PnP request (query-remove, cancel-remove, stop ...) to the top of the PDO's
    // stack at PASSIVE_LEVEL and returns its status.
    NTSTATUS send_pnp(DEVICE_OBJECT *pdo, UCHAR minor);
    // The bus port of an attached device, or null.
    usb_port *port_of(DEVICE_OBJECT *pdo) const;
    // Detaches every device and stops the bus (called first by the destructor).
    void detach_all();

private:
    struct usb_state;
    static void destroy_usb(usb_state *state);
    usb_state &usb_state_ref();
    std::unique_ptr<usb_state, void (*)(usb_state *)> usb_{nullptr, destroy_usb};
    struct loaded_driver;
    void unload(loaded_driver &entry, bool checks);
    std::vector<std::unique_ptr<loaded_driver>> drivers_;
};

} // namespace sim
