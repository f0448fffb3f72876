// Driver and device objects: creation and deletion, device stacks, names and symbolic links,
// device references, and the driver object's life from DriverEntry to unload.
#include "io_internal.h"
#include <platform/io_driver.h>
#include <platform/pnp.h>
#include <platform/kernel_handles.h>
#include <platform/machine_state.h>
#include <platform/trace.h>
#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <dlfcn.h>
#include <map>
#include <set>

namespace platform {
namespace {

struct driver_state {
    std::string module_path;
    std::wstring name;
    std::wstring service;
    DRIVER_EXTENSION extension{};
};

struct device_block {
    DEVICE_OBJECT device;
    io_device_state state;
};

std::set<PDEVICE_OBJECT> g_devices;                   // every device object not yet freed
std::map<std::wstring, PDEVICE_OBJECT> g_names;       // "\device\x" (lower case) -> device
std::map<std::wstring, std::wstring> g_links;         // "x" (lower case, no prefix) -> device name
std::map<PDRIVER_OBJECT, driver_state *> g_drivers;

std::wstring lower(std::wstring text)
{
    for (auto &c : text) {
        c = (WCHAR)std::towlower((wint_t)c);
    }
    return text;
}

std::wstring from_unicode(PCUNICODE_STRING s)
{
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::wstring(s->Buffer, s->Length / sizeof(WCHAR));
}

// The link name without its namespace prefix, lower case; empty when the prefix is unknown.
std::wstring link_key(const std::wstring &link)
{
    static const WCHAR *const prefixes[] = {L"\\dosdevices\\", L"\\??\\", L"\\global??\\"};
    std::wstring l = lower(link);
    for (const WCHAR *p : prefixes) {
        std::wstring prefix(p);
        if (l.compare(0, prefix.size(), prefix) == 0 && l.size() > prefix.size()) {
            return l.substr(prefix.size());
        }
    }
    return {};
}

void free_device(PDEVICE_OBJECT device)
{
    object_unregister(device);
    g_devices.erase(device);
    auto *block = reinterpret_cast<device_block *>(device);
    block->state.~io_device_state();
    std::free(block);
}

void unlink_from_driver(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = device->DriverObject;
    for (PDEVICE_OBJECT *p = &driver->DeviceObject; *p != nullptr; p = &(*p)->NextDevice) {
        if (*p == device) {
            *p = device->NextDevice;
            break;
        }
    }
    device->NextDevice = nullptr;
}

void io_boot()
{
    io_irps_reset();
    io_devices_reset();
    io_pnp_reset();
    io_work_start();
}

void io_shutdown()
{
    io_work_stop();
    io_devices_reset();
    io_pnp_reset();
    io_irps_reset();
}

const machine_hooks g_hooks("io", io_boot, io_shutdown);

void reference_device(void *object)
{
    io_device_reference(static_cast<PDEVICE_OBJECT>(object));
}

void dereference_device(void *object)
{
    io_device_dereference(static_cast<PDEVICE_OBJECT>(object));
}

const object_ops g_device_ops{reference_device, dereference_device};

} // namespace

std::recursive_mutex &io_device_lock()
{
    static std::recursive_mutex lock;
    return lock;
}

io_device_state *io_state(PDEVICE_OBJECT device)
{
    return static_cast<io_device_state *>(device->DeviceObjectExtension);
}

std::string io_module_of(const void *address)
{
    Dl_info info{};
    if (address != nullptr && dladdr(address, &info) != 0 && info.dli_fname != nullptr) {
        return info.dli_fname;
    }
    return {};
}

PDEVICE_OBJECT io_find_named_device(const std::wstring &name)
{
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    std::wstring key = lower(name);
    auto link = g_links.find(link_key(name));
    if (link != g_links.end()) {
        key = link->second;
    }
    auto it = g_names.find(key);
    return it == g_names.end() ? nullptr : it->second;
}

void io_device_reference(PDEVICE_OBJECT device)
{
    io_state(device)->references.fetch_add(1);
}

void io_device_dereference(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    io_device_state *state = io_state(device);
    if (state->references.fetch_sub(1) == 1 && state->delete_pending) {
        free_device(device);
    }
}

void io_devices_reset()
{
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    for (auto &entry : g_drivers) {
        delete entry.second;
        delete entry.first;
    }
    g_drivers.clear();
    while (!g_devices.empty()) {
        free_device(*g_devices.begin());
    }
    g_names.clear();
    g_links.clear();
}

DRIVER_OBJECT *io_create_driver_object(const std::wstring &service, const std::string &module_path)
{
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    auto *driver = new DRIVER_OBJECT{};
    auto *state = new driver_state{};
    state->module_path = module_path;
    state->service = service;
    state->name = L"\\Driver\\" + service;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverName.Buffer = state->name.data();
    driver->DriverName.Length = (USHORT)(state->name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    state->extension.DriverObject = driver;
    state->extension.ServiceKeyName.Buffer = state->service.data();
    state->extension.ServiceKeyName.Length = (USHORT)(state->service.size() * sizeof(WCHAR));
    state->extension.ServiceKeyName.MaximumLength = state->extension.ServiceKeyName.Length;
    driver->DriverExtension = &state->extension;
    g_drivers[driver] = state;
    return driver;
}

void io_discard_driver_object(DRIVER_OBJECT *driver)
{
    while (driver->DeviceObject != nullptr) {
        IoDeleteDevice(driver->DeviceObject);
    }
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    auto it = g_drivers.find(driver);
    if (it != g_drivers.end()) {
        // The module goes with its driver object: no session may call it again.
        trace_forget_module(it->second->module_path);
        delete it->second;
        g_drivers.erase(it);
    }
    delete driver;
}

void io_unload_driver_object(DRIVER_OBJECT *driver)
{
    std::string module;
    std::wstring name;
    {
        std::lock_guard<std::recursive_mutex> lock(io_device_lock());
        module = g_drivers.at(driver)->module_path;
        name = g_drivers.at(driver)->name;
    }
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        io_wait_device_work(d);
    }
    if (driver->DeviceObject != nullptr) {
        ULONG count = 0;
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
            ++count;
        }
        verifier_stop("DEVICE_OBJECTS_LEFT_AT_UNLOAD", "%ls unloaded with %u device object(s) not deleted (first: %p)",
                      name.c_str(), count, (void *)driver->DeviceObject);
    }
    if (ULONG irps = io_live_irps(module); irps != 0) {
        verifier_stop("IRPS_LEFT_AT_UNLOAD", "%ls unloaded with %u IRP(s) it allocated not freed", name.c_str(), irps);
    }
    if (ULONG items = io_live_work_items(module); items != 0) {
        verifier_stop("WORK_ITEMS_LEFT_AT_UNLOAD", "%ls unloaded with %u work item(s) not freed", name.c_str(), items);
    }
    if (ULONG providers = trace_live_registrations(module); providers != 0) {
        verifier_stop("TRACE_PROVIDERS_LEFT_AT_UNLOAD", "%ls unloaded with %u trace provider(s) still registered",
                      name.c_str(), providers);
    }
    io_discard_driver_object(driver);
}

} // namespace platform

using namespace platform;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject)
{
    verifier_check_irql(PASSIVE_LEVEL, "IoCreateDevice");
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    std::wstring name = from_unicode(DeviceName);
    if (!name.empty() && g_names.count(lower(name)) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    const SIZE_T head = (sizeof(device_block) + 15) & ~(SIZE_T)15;
    auto *block = static_cast<device_block *>(std::calloc(1, head + DeviceExtensionSize));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    new (&block->state) io_device_state();
    PDEVICE_OBJECT device = &block->device;
    device->Type = IO_TYPE_DEVICE;
    device->Size = (USHORT)sizeof(DEVICE_OBJECT);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceExtension = DeviceExtensionSize != 0 ? reinterpret_cast<PCHAR>(block) + head : nullptr;
    device->DeviceObjectExtension = &block->state;
    block->state.name = name;
    if (!name.empty()) {
        g_names[lower(name)] = device;
    }
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    g_devices.insert(device);
    object_register(device, &g_device_ops);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    verifier_check_irql(PASSIVE_LEVEL, "IoDeleteDevice");
    pnp_delete_node(DeviceObject);
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    io_device_state *state = io_state(DeviceObject);
    if (state->delete_pending) {
        verifier_stop("DEVICE_DELETED_TWICE", "IoDeleteDevice(%p) on a device already deleted", (void *)DeviceObject);
    }
    if (DeviceObject->AttachedDevice != nullptr) {
        verifier_stop("DEVICE_DELETED_WITH_ATTACHED_DEVICE",
                      "IoDeleteDevice(%p) while device %p is still attached on top of it", (void *)DeviceObject,
                      (void *)DeviceObject->AttachedDevice);
    }
    if (state->lower != nullptr) {
        verifier_stop("DEVICE_DELETED_WHILE_ATTACHED",
                      "IoDeleteDevice(%p) while still attached to %p; call IoDetachDevice first",
                      (void *)DeviceObject, (void *)state->lower);
    }
    if (!state->name.empty()) {
        g_names.erase(lower(state->name));
    }
    unlink_from_driver(DeviceObject);
    state->delete_pending = true;
    if (state->references.load() == 0) {
        free_device(DeviceObject);
    }
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    PDEVICE_OBJECT attached = nullptr;
    return NT_SUCCESS(IoAttachDeviceToDeviceStackSafe(SourceDevice, TargetDevice, &attached)) ? attached : nullptr;
}

NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                         PDEVICE_OBJECT *AttachedToDeviceObject)
{
    verifier_check_irql(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    *AttachedToDeviceObject = nullptr;
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    if (io_state(top)->delete_pending) {
        return STATUS_NO_SUCH_DEVICE;
    }
    top->AttachedDevice = SourceDevice;
    io_state(SourceDevice)->lower = top;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
    SourceDevice->SectorSize = top->SectorSize;
    *AttachedToDeviceObject = top;
    return STATUS_SUCCESS;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    verifier_check_irql(PASSIVE_LEVEL, "IoDetachDevice");
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == nullptr) {
        verifier_stop("DETACH_WITHOUT_ATTACHED_DEVICE", "IoDetachDevice(%p): nothing is attached to it",
                      (void *)TargetDevice);
    }
    io_state(upper)->lower = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    return top;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    io_device_reference(top);
    return top;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject)
{
    return IoGetAttachedDevice(FileObject->DeviceObject);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    verifier_check_irql(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    std::wstring key = link_key(from_unicode(SymbolicLinkName));
    if (key.empty()) {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (g_links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    g_links[key] = lower(from_unicode(DeviceName));
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    verifier_check_irql(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::lock_guard<std::recursive_mutex> lock(io_device_lock());
    return g_links.erase(link_key(from_unicode(SymbolicLinkName))) != 0 ? STATUS_SUCCESS
                                                                        : STATUS_OBJECT_NAME_NOT_FOUND;
}

PEPROCESS IoGetCurrentProcess(VOID)
{
    return PsGetCurrentProcess();
}

} // extern "C"
