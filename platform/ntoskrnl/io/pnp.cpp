// Device nodes and device interfaces: the PnP manager's record of each physical device object,
// the interfaces drivers register and enable on it, the arrival and removal events, device
// properties and the device power state.
#include "io_internal.h"
#include <platform/device_interface_listener.h>
#include <platform/pnp.h>
#include <platform/pool.h>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>

namespace platform {
namespace {

// Strings handed to drivers are freed by RtlFreeUnicodeString, which expects the Rtl string tag.
constexpr ULONG string_tag = io_tag('S', 't', 'r', 'g');

struct interface_entry {
    device_interface info;
    std::wstring base_lower; // "usb#vid_..#inst#{guid}" lower case: the link without reference
};

std::recursive_mutex g_lock;
std::map<DEVICE_OBJECT *, std::unique_ptr<device_node>> g_nodes;
std::vector<interface_entry> g_interfaces;
std::vector<interface_event> g_events;
std::map<ULONG, interface_listener> g_listeners;
ULONG g_next_listener = 1;
// The Win32 side's listener; kept across the reset at boot because its installer owns it.
device_interface_listener g_window_listener;

std::wstring lower(std::wstring text)
{
    for (auto &c : text) {
        c = (WCHAR)std::towlower((wint_t)c);
    }
    return text;
}

std::wstring guid_text(const GUID &g)
{
    WCHAR text[40];
    std::swprintf(text, 40, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned)g.Data1,
                  (unsigned)g.Data2, (unsigned)g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::wstring instance_path(const std::wstring &instance_id)
{
    std::wstring path = lower(instance_id);
    for (auto &c : path) {
        if (c == L'\\') {
            c = L'#';
        }
    }
    return path;
}

PDEVICE_OBJECT bottom_of(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> devices(io_device_lock());
    while (io_state(device)->lower != nullptr) {
        device = io_state(device)->lower;
    }
    return device;
}

// Changes the state of interface index; returns the event to deliver, if any. g_lock held, so
// the window listener hears the changes in the order they were made.
bool set_state(size_t index, bool enable, interface_event *event)
{
    interface_entry &entry = g_interfaces[index];
    if (entry.info.enabled == enable) {
        return false;
    }
    entry.info.enabled = enable;
    *event = interface_event{entry.info.class_guid, entry.info.user_path, enable};
    g_events.push_back(*event);
    if (g_window_listener) {
        g_window_listener(*event);
    }
    return true;
}

void deliver(const std::vector<interface_event> &events)
{
    std::vector<interface_listener> listeners;
    {
        std::lock_guard<std::recursive_mutex> lock(g_lock);
        for (auto &entry : g_listeners) {
            listeners.push_back(entry.second);
        }
    }
    for (const auto &event : events) {
        for (auto &listener : listeners) {
            listener(event);
        }
    }
}

void disable_all_of(DEVICE_OBJECT *pdo)
{
    std::vector<interface_event> events;
    {
        std::lock_guard<std::recursive_mutex> lock(g_lock);
        for (size_t i = 0; i < g_interfaces.size(); ++i) {
            interface_event event;
            if (g_interfaces[i].info.pdo == pdo && set_state(i, false, &event)) {
                events.push_back(event);
            }
        }
    }
    deliver(events);
}

NTSTATUS copy_property(const std::wstring &text, bool multi, ULONG length, PVOID buffer, PULONG result)
{
    std::wstring value = text;
    value.push_back(L'\0');
    if (multi) {
        value.push_back(L'\0');
    }
    const ULONG bytes = (ULONG)(value.size() * sizeof(WCHAR));
    *result = bytes;
    if (length < bytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, value.data(), bytes);
    return STATUS_SUCCESS;
}

std::wstring join_multi(const std::vector<std::wstring> &items)
{
    std::wstring text;
    for (size_t i = 0; i < items.size(); ++i) {
        text += items[i];
        if (i + 1 < items.size()) {
            text.push_back(L'\0');
        }
    }
    return text;
}

} // namespace

void io_pnp_reset()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    g_nodes.clear();
    g_interfaces.clear();
    g_events.clear();
    g_listeners.clear();
}

device_node *pnp_create_node(DEVICE_OBJECT *pdo, const device_node &fields)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    auto &slot = g_nodes[pdo];
    slot = std::make_unique<device_node>(fields);
    slot->pdo = pdo;
    return slot.get();
}

void pnp_delete_node(DEVICE_OBJECT *pdo)
{
    disable_all_of(pdo);
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    g_nodes.erase(pdo);
    for (auto &entry : g_interfaces) {
        if (entry.info.pdo == pdo) {
            entry.info.pdo = nullptr;
        }
    }
}

device_node *pnp_node_of(DEVICE_OBJECT *pdo)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    auto it = g_nodes.find(pdo);
    return it == g_nodes.end() ? nullptr : it->second.get();
}

device_node *pnp_node_by_instance(const std::wstring &instance_id)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    for (auto &entry : g_nodes) {
        if (lower(entry.second->instance_id) == lower(instance_id)) {
            return entry.second.get();
        }
    }
    return nullptr;
}

std::vector<device_node *> pnp_nodes()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    std::vector<device_node *> nodes;
    for (auto &entry : g_nodes) {
        nodes.push_back(entry.second.get());
    }
    return nodes;
}

void pnp_mark_removed(DEVICE_OBJECT *pdo)
{
    {
        std::lock_guard<std::recursive_mutex> lock(g_lock);
        auto it = g_nodes.find(pdo);
        if (it == g_nodes.end()) {
            return;
        }
        it->second->removed = true;
    }
    disable_all_of(pdo);
}

void pnp_lock()
{
    g_lock.lock();
}

void pnp_unlock()
{
    g_lock.unlock();
}

std::vector<device_interface> pnp_interfaces(const GUID &class_guid, bool present_only)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    std::vector<device_interface> list;
    for (auto &entry : g_interfaces) {
        if (IsEqualGUID(entry.info.class_guid, class_guid) && (!present_only || entry.info.enabled)) {
            list.push_back(entry.info);
        }
    }
    return list;
}

std::vector<interface_event> pnp_interface_events()
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    return g_events;
}

ULONG pnp_listen(interface_listener listener)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    ULONG id = g_next_listener++;
    g_listeners[id] = std::move(listener);
    return id;
}

void pnp_unlisten(ULONG id)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    g_listeners.erase(id);
}

void set_device_interface_listener(device_interface_listener listener)
{
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    g_window_listener = std::move(listener);
}

DEVICE_OBJECT *pnp_device_for_interface_path(const std::wstring &interface_path)
{
    std::wstring path = lower(interface_path);
    for (const WCHAR *prefix : {L"\\\\?\\", L"\\??\\"}) {
        if (path.compare(0, std::wcslen(prefix), prefix) == 0) {
            path = path.substr(std::wcslen(prefix));
            break;
        }
    }
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    for (auto &entry : g_interfaces) {
        if (entry.base_lower != path || !entry.info.enabled || entry.info.pdo == nullptr) {
            continue;
        }
        auto node = g_nodes.find(entry.info.pdo);
        if (node != g_nodes.end() && !node->second->removed) {
            return entry.info.pdo;
        }
    }
    return nullptr;
}

} // namespace platform

using namespace platform;

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    verifier_check_irql(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    std::wstring reference;
    if (ReferenceString != nullptr && ReferenceString->Buffer != nullptr) {
        reference.assign(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR));
    }
    if (reference.find(L'\\') != std::wstring::npos || reference.find(L'/') != std::wstring::npos) {
        return STATUS_INVALID_PARAMETER;
    }
    std::wstring link;
    {
        std::lock_guard<std::recursive_mutex> lock(g_lock);
        auto node = g_nodes.find(PhysicalDeviceObject);
        if (node == g_nodes.end()) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        const std::wstring base = instance_path(node->second->instance_id) + L"#" + guid_text(*InterfaceClassGuid);
        const std::wstring tail = reference.empty() ? std::wstring() : L"\\" + reference;
        bool found = false;
        for (auto &entry : g_interfaces) {
            if (entry.base_lower == base && lower(entry.info.reference) == lower(reference)) {
                entry.info.pdo = PhysicalDeviceObject;
                link = entry.info.symbolic_link;
                found = true;
                break;
            }
        }
        if (!found) {
            interface_entry entry;
            entry.base_lower = base;
            entry.info.class_guid = *InterfaceClassGuid;
            entry.info.symbolic_link = L"\\??\\" + base + tail;
            entry.info.user_path = L"\\\\?\\" + base + tail;
            entry.info.reference = reference;
            entry.info.instance_id = node->second->instance_id;
            entry.info.pdo = PhysicalDeviceObject;
            link = entry.info.symbolic_link;
            g_interfaces.push_back(std::move(entry));
        }
    }
    const SIZE_T bytes = (link.size() + 1) * sizeof(WCHAR);
    auto buffer = static_cast<PWSTR>(pool_allocate(PagedPool, bytes, string_tag, __builtin_return_address(0)));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = (USHORT)(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = (USHORT)bytes;
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    verifier_check_irql(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::wstring link = lower(std::wstring(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR)));
    interface_event event;
    bool changed = false;
    {
        std::lock_guard<std::recursive_mutex> lock(g_lock);
        size_t index = g_interfaces.size();
        for (size_t i = 0; i < g_interfaces.size(); ++i) {
            if (lower(g_interfaces[i].info.symbolic_link) == link) {
                index = i;
                break;
            }
        }
        if (index == g_interfaces.size()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (Enable) {
            auto node = g_nodes.find(g_interfaces[index].info.pdo);
            if (node == g_nodes.end() || node->second->removed) {
                return STATUS_NO_SUCH_DEVICE;
            }
            if (g_interfaces[index].info.enabled) {
                return STATUS_OBJECT_NAME_EXISTS;
            }
        }
        changed = set_state(index, Enable != FALSE, &event);
    }
    if (changed) {
        deliver({event});
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceInterfaces(const GUID *InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject, ULONG Flags,
                               PWSTR *SymbolicLinkList)
{
    verifier_check_irql(PASSIVE_LEVEL, "IoGetDeviceInterfaces");
    std::wstring list;
    for (const auto &entry : pnp_interfaces(*InterfaceClassGuid, (Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE) == 0)) {
        if (PhysicalDeviceObject == nullptr || entry.pdo == PhysicalDeviceObject) {
            list += entry.symbolic_link;
            list.push_back(L'\0');
        }
    }
    list.push_back(L'\0');
    const SIZE_T bytes = list.size() * sizeof(WCHAR);
    auto buffer = static_cast<PWSTR>(pool_allocate(PagedPool, bytes, string_tag, __builtin_return_address(0)));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, list.data(), bytes);
    *SymbolicLinkList = buffer;
    return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    verifier_check_irql(PASSIVE_LEVEL, "IoGetDeviceProperty");
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    device_node *node = pnp_node_of(DeviceObject);
    *ResultLength = 0;
    if (node == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::wstring text;
    bool multi = false;
    switch (DeviceProperty) {
    case DevicePropertyDeviceDescription:
        text = node->description;
        break;
    case DevicePropertyFriendlyName:
        text = node->friendly_name;
        break;
    case DevicePropertyManufacturer:
        text = node->manufacturer;
        break;
    case DevicePropertyHardwareID:
        text = join_multi(node->hardware_ids);
        multi = true;
        break;
    case DevicePropertyCompatibleIDs:
        text = join_multi(node->compatible_ids);
        multi = true;
        break;
    case DevicePropertyEnumeratorName:
        text = node->instance_id.substr(0, node->instance_id.find(L'\\'));
        break;
    default:
        return STATUS_INVALID_PARAMETER_2;
    }
    if (text.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return copy_property(text, multi, BufferLength, PropertyBuffer, ResultLength);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IofCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp)
{
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    POWER_STATE previous;
    previous.DeviceState = PowerDeviceD0;
    if (Type != DevicePowerState) {
        previous.SystemState = PowerSystemWorking;
        return previous;
    }
    PDEVICE_OBJECT pdo = bottom_of(DeviceObject);
    std::lock_guard<std::recursive_mutex> lock(g_lock);
    if (device_node *node = pnp_node_of(pdo)) {
        previous.DeviceState = (DEVICE_POWER_STATE)node->device_power_state;
        node->device_power_state = (ULONG)State.DeviceState;
    }
    return previous;
}

} // extern "C"
