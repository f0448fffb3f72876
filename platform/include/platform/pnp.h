// The PnP manager's state of the stand-in: a device node per physical device object (the IDs,
// service, description, power state and removal that device setup, SetupAPI and the Win32
// side read) and the device interfaces registered on those nodes, with their arrivals and
// removals.
#pragma once
#include <functional>
#include <string>
#include <vector>
#include <ntdef.h>

typedef struct _DEVICE_OBJECT DEVICE_OBJECT;

namespace platform {

struct device_node {
    DEVICE_OBJECT *pdo = nullptr;
    std::wstring instance_id; // e.g. "USB\VID_1234&PID_5678\0001"
    std::vector<std::wstring> hardware_ids;
    std::vector<std::wstring> compatible_ids;
    std::wstring service;     // the function driver's service name, e.g. "OVMLSAAU"
    std::wstring description; // device description
    std::wstring manufacturer;
    std::wstring friendly_name;
    ULONG device_power_state = 1; // a DEVICE_POWER_STATE: PowerDeviceD0
    // From the stack's answer to the capabilities query after its start.
    bool surprise_removal_ok = false;
    bool started = false;
    bool removed = false;
};

// Creates the node of a PDO (one per PDO; the fields are copied). The node lives until
// pnp_delete_node, IoDeleteDevice of its PDO, or machine shutdown. Every node's interfaces are
// disabled when it is deleted or marked removed.
device_node *pnp_create_node(DEVICE_OBJECT *pdo, const device_node &fields);
void pnp_delete_node(DEVICE_OBJECT *pdo);

// The node of a PDO, or null. The pointer stays valid while the node lives; the PnP manager
// and tests update its fields (started, D-state) under pnp_lock.
device_node *pnp_node_of(DEVICE_OBJECT *pdo);
device_node *pnp_node_by_instance(const std::wstring &instance_id);
std::vector<device_node *> pnp_nodes();

// Marks a node removed (surprise removal): its interfaces are disabled and opens fail.
void pnp_mark_removed(DEVICE_OBJECT *pdo);

// Guards the fields of every node.
void pnp_lock();
void pnp_unlock();

// Device interfaces.
struct device_interface {
    GUID class_guid;
    std::wstring symbolic_link; // "\??\usb#vid_1234&pid_5678#0001#{guid}\Wave_48000"
    std::wstring user_path;     // the same link as user mode sees it: "\\?\usb#...\Wave_48000"
    std::wstring reference;     // "Wave_48000", empty without a reference string
    std::wstring instance_id;
    DEVICE_OBJECT *pdo = nullptr;
    bool enabled = false;
};

// The interfaces of a class; present_only keeps the enabled ones. In registration order.
std::vector<device_interface> pnp_interfaces(const GUID &class_guid, bool present_only);

// Every arrival and removal of an interface, in order; listeners registered with
// pnp_listen run on the thread that enabled or disabled the interface, at PASSIVE_LEVEL, with
// no platform lock held.
struct interface_event {
    GUID class_guid;
    std::wstring user_path;
    bool arrival = false;
};
std::vector<interface_event> pnp_interface_events();
using interface_listener = std::function<void(const interface_event &)>;
ULONG pnp_listen(interface_listener listener); // returns an id for pnp_unlisten
void pnp_unlisten(ULONG id);

// The device behind a user-mode or kernel interface path without the part that follows the
// interface ("\\?\usb#...#{guid}"), or null. Requires an enabled interface on a node that is
// not removed.
DEVICE_OBJECT *pnp_device_for_interface_path(const std::wstring &interface_path);

} // namespace platform
