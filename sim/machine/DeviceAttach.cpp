// Plug and Play of USB devices on the simulated machine: the install table, the bus PDO and
// device node of an attached device, driver loading with AddDevice and start, and removal.
#include <sim/machine.h>
#include <sim/usb_host_controller.h>
#include <wdm.h>
#include <platform/pnp.h>
#include <platform/usb_host.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <optional>

namespace sim {

namespace {

std::wstring upper(std::wstring text)
{
    for (auto &c : text) {
        c = static_cast<WCHAR>(std::towupper(static_cast<wint_t>(c)));
    }
    return text;
}

std::wstring format_id(const wchar_t *format, unsigned a, unsigned b = 0, unsigned c = 0)
{
    wchar_t text[96];
    std::swprintf(text, sizeof(text) / sizeof(text[0]), format, a, b, c);
    return text;
}

// A string descriptor's UTF-16LE text, or empty.
std::wstring read_string(usb_device &device, std::uint8_t index)
{
    if (index == 0) {
        return {};
    }
    std::uint8_t bytes[255] = {};
    const control_outcome read = device.handle_control(
        {0x80, 0x06, static_cast<std::uint16_t>(0x0300 | index), 0x0409, sizeof(bytes)}, bytes);
    if (read.stall || read.length < 2) {
        return {};
    }
    const std::uint32_t length = std::min<std::uint32_t>(read.length, bytes[0]);
    std::wstring text;
    for (std::uint32_t at = 2; at + 1 < length; at += 2) {
        text.push_back(static_cast<WCHAR>(bytes[at] | bytes[at + 1] << 8));
    }
    return text;
}

struct completion_event {
    KEVENT event;
};

NTSTATUS pnp_request_done(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(&static_cast<completion_event *>(context)->event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

struct machine::usb_state {
    struct installed {
        std::wstring id; // upper case
        std::string module;
        std::wstring service;
    };
    struct attached {
        DEVICE_OBJECT *pdo = nullptr;
        usb_port *port = nullptr;
        std::shared_ptr<usb_device> device;
    };
    std::optional<host_controller_options> options;
    std::unique_ptr<host_controller> bus;
    std::vector<installed> drivers;
    std::vector<attached> devices;
    ULONG next_instance = 1;
};

void machine::destroy_usb(usb_state *state) { delete state; }

machine::usb_state &machine::usb_state_ref()
{
    if (!usb_) {
        usb_.reset(new usb_state);
    }
    return *usb_;
}

void machine::install_driver(const std::wstring &id, const std::string &module, const std::wstring &service)
{
    usb_state_ref().drivers.push_back({upper(id), module, service});
}

void machine::use_usb_bus(const host_controller_options &options)
{
    usb_state_ref().options = options;
}

host_controller &machine::usb_bus()
{
    usb_state &state = usb_state_ref();
    if (!state.bus) {
        state.bus = std::make_unique<host_controller>(state.options.value_or(host_controller_options{}));
    }
    return *state.bus;
}

usb_port *machine::port_of(DEVICE_OBJECT *pdo) const
{
    if (!usb_) {
        return nullptr;
    }
    for (const auto &entry : usb_->devices) {
        if (entry.pdo == pdo) {
            return entry.port;
        }
    }
    return nullptr;
}

NTSTATUS machine::send_pnp(DEVICE_OBJECT *pdo, UCHAR minor)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    completion_event done;
    KeInitializeEvent(&done.event, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    IoSetCompletionRoutine(irp, pnp_request_done, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

NTSTATUS machine::attach(std::shared_ptr<usb_device> device, DEVICE_OBJECT **pdo_out)
{
    if (pdo_out != nullptr) {
        *pdo_out = nullptr;
    }
    usb_state &state = usb_state_ref();
    host_controller &bus = usb_bus();

    std::uint8_t descriptor[18] = {};
    device->handle_control({0x80, 0x06, 0x0100, 0, sizeof(descriptor)}, descriptor);
    const unsigned vid = descriptor[8] | descriptor[9] << 8;
    const unsigned pid = descriptor[10] | descriptor[11] << 8;
    const unsigned rev = descriptor[12] | descriptor[13] << 8;
    platform::device_node fields;
    fields.hardware_ids = {format_id(L"USB\\VID_%04X&PID_%04X&REV_%04X", vid, pid, rev),
                           format_id(L"USB\\VID_%04X&PID_%04X", vid, pid)};
    const std::vector<interface_info> interfaces = device->interfaces();
    if (!interfaces.empty()) {
        const interface_info &first = interfaces.front();
        fields.compatible_ids = {
            format_id(L"USB\\Class_%02X&SubClass_%02X&Prot_%02X", first.interface_class, first.interface_subclass,
                      first.interface_protocol),
            format_id(L"USB\\Class_%02X&SubClass_%02X", first.interface_class, first.interface_subclass),
            format_id(L"USB\\Class_%02X", first.interface_class)};
    }
    std::wstring serial = read_string(*device, descriptor[16]);
    const std::wstring base = format_id(L"USB\\VID_%04X&PID_%04X\\", vid, pid);
    if (serial.empty() || platform::pnp_node_by_instance(base + serial) != nullptr) {
        serial = format_id(L"5&%X&0&%u", 0x1A2B, state.next_instance);
    }
    ++state.next_instance;
    fields.instance_id = base + serial;
    fields.description = read_string(*device, descriptor[15]);
    fields.manufacturer = read_string(*device, descriptor[14]);
    if (fields.description.empty()) {
        fields.description = L"USB Composite Device";
    }
    fields.friendly_name = fields.description;

    const usb_state::installed *driver_entry = nullptr;
    for (const auto *ids : {&fields.hardware_ids, &fields.compatible_ids}) {
        for (const std::wstring &id : *ids) {
            for (const auto &entry : state.drivers) {
                if (driver_entry == nullptr && entry.id == upper(id)) {
                    driver_entry = &entry;
                }
            }
        }
    }
    if (driver_entry != nullptr) {
        fields.service = driver_entry->service;
    }

    usb_port *port = bus.connect(device);
    DEVICE_OBJECT *pdo = nullptr;
    NTSTATUS status = platform::usb_create_bus_pdo(port, &pdo);
    if (!NT_SUCCESS(status)) {
        bus.remove(port);
        return status;
    }
    platform::pnp_create_node(pdo, fields);
    state.devices.push_back({pdo, port, device});
    if (pdo_out != nullptr) {
        *pdo_out = pdo;
    }
    if (driver_entry == nullptr) {
        return STATUS_SUCCESS;
    }

    status = load_driver(driver_entry->module, driver_entry->service);
    if (status == STATUS_OBJECT_NAME_COLLISION) {
        status = STATUS_SUCCESS;
    }
    DRIVER_OBJECT *function_driver = driver(driver_entry->module);
    if (!NT_SUCCESS(status) || function_driver == nullptr) {
        return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
    }
    if (function_driver->DriverExtension->AddDevice == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    status = function_driver->DriverExtension->AddDevice(function_driver, pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = send_pnp(pdo, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        send_pnp(pdo, IRP_MN_REMOVE_DEVICE);
        return status;
    }
    platform::pnp_lock();
    if (platform::device_node *node = platform::pnp_node_of(pdo)) {
        node->started = true;
    }
    platform::pnp_unlock();
    return status;
}

NTSTATUS machine::detach(DEVICE_OBJECT *pdo)
{
    if (!usb_) {
        return STATUS_NO_SUCH_DEVICE;
    }
    auto &devices = usb_->devices;
    auto it = std::find_if(devices.begin(), devices.end(), [&](const auto &entry) { return entry.pdo == pdo; });
    if (it == devices.end()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    const usb_state::attached entry = *it;
    devices.erase(it);
    usb_->bus->disconnect(entry.port);
    platform::pnp_mark_removed(pdo);
    send_pnp(pdo, IRP_MN_SURPRISE_REMOVAL);
    const NTSTATUS status = send_pnp(pdo, IRP_MN_REMOVE_DEVICE);
    platform::pnp_lock();
    if (platform::device_node *node = platform::pnp_node_of(pdo)) {
        node->started = false;
    }
    platform::pnp_unlock();
    platform::usb_delete_bus_pdo(pdo);
    usb_->bus->remove(entry.port);
    return status;
}

void machine::detach_all()
{
    if (!usb_) {
        return;
    }
    while (!usb_->devices.empty()) {
        detach(usb_->devices.back().pdo);
    }
    usb_->bus.reset();
    usb_.reset();
}

} // namespace sim
