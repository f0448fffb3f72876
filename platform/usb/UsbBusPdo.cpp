// The USB bus device object (PDO) of an attached device: URB submission to the host
// controller's port, the USBDI bus interface, and the PnP and power requests a bus driver
// answers for its children.
#include <wdm.h>
#include <usbbusif.h>
#include <usbdi.h>
#include <usbioctl.h>
#include <platform/io_driver.h>
#include <platform/machine_state.h>
#include <platform/pnp.h>
#include <platform/usb_host.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

namespace {

constexpr ULONG bus_pool_tag = 0x42627355; // "UsbB" in a pool dump

struct bus_pdo_extension {
    usb_host_port *port;
    std::atomic<bool> refuse_interface;
    std::atomic<LONG> interface_references;
};

std::mutex g_driver_lock;
DRIVER_OBJECT *g_driver = nullptr;

void reset_driver()
{
    std::lock_guard guard(g_driver_lock);
    g_driver = nullptr; // the I/O manager frees every driver object at boot and shutdown
}

machine_hooks g_hooks("usb bus", reset_driver, reset_driver);

bus_pdo_extension *extension_of(PDEVICE_OBJECT device)
{
    return static_cast<bus_pdo_extension *>(device->DeviceExtension);
}

NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID cancel_urb(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    extension_of(device)->port->cancel(irp);
}

NTSTATUS dispatch_internal_control(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb == nullptr) {
        return finish(irp, STATUS_INVALID_PARAMETER);
    }
    usb_host_port *port = extension_of(device)->port;
    if (port->completes_inline(urb->UrbHeader.Function)) {
        const NTSTATUS status = port->submit(urb, irp);
        return finish(irp, status);
    }
    // The completion may run on the bus thread before submit returns, so the IRP is marked
    // pending and given its cancel routine first.
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancel_urb);
    const NTSTATUS status = port->submit(urb, irp);
    if (status != STATUS_PENDING) {
        IoSetCancelRoutine(irp, nullptr);
        finish(irp, status);
    }
    return STATUS_PENDING;
}

// ---- The USBDI bus interface ----
VOID interface_reference(PVOID context)
{
    ++extension_of(static_cast<PDEVICE_OBJECT>(context))->interface_references;
}

VOID interface_dereference(PVOID context)
{
    --extension_of(static_cast<PDEVICE_OBJECT>(context))->interface_references;
}

VOID get_usbdi_version(PVOID, PUSBD_VERSION_INFORMATION version, PULONG capabilities)
{
    if (version != nullptr) {
        version->USBDI_Version = USBDI_VERSION;
        version->Supported_USB_Version = 0x0200;
    }
    if (capabilities != nullptr) {
        *capabilities = 0;
    }
}

NTSTATUS query_bus_time(PVOID context, PULONG frame)
{
    if (frame == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *frame = extension_of(static_cast<PDEVICE_OBJECT>(context))->port->current_frame();
    return STATUS_SUCCESS;
}

NTSTATUS submit_iso_out_urb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }

NTSTATUS query_bus_information(PVOID, ULONG, PVOID, PULONG, PULONG) { return STATUS_NOT_SUPPORTED; }

BOOLEAN is_device_high_speed(PVOID context)
{
    return extension_of(static_cast<PDEVICE_OBJECT>(context))->port->is_high_speed() ? TRUE : FALSE;
}

NTSTATUS query_interface(PDEVICE_OBJECT device, PIO_STACK_LOCATION stack, NTSTATUS current)
{
    auto &query = stack->Parameters.QueryInterface;
    if (query.InterfaceType == nullptr || !IsEqualGUID(*query.InterfaceType, USB_BUS_INTERFACE_USBDI_GUID) ||
        query.Interface == nullptr || extension_of(device)->refuse_interface) {
        return current;
    }
    const bool v1 = query.Version >= USB_BUSIF_USBDI_VERSION_1 && query.Size >= sizeof(USB_BUS_INTERFACE_USBDI_V1);
    const bool v0 = query.Version == USB_BUSIF_USBDI_VERSION_0 && query.Size >= sizeof(USB_BUS_INTERFACE_USBDI_V0);
    if (!v0 && !v1) {
        return STATUS_NOT_SUPPORTED;
    }
    USB_BUS_INTERFACE_USBDI_V1 bus;
    std::memset(&bus, 0, sizeof(bus));
    bus.Size = v1 ? sizeof(USB_BUS_INTERFACE_USBDI_V1) : sizeof(USB_BUS_INTERFACE_USBDI_V0);
    bus.Version = v1 ? USB_BUSIF_USBDI_VERSION_1 : USB_BUSIF_USBDI_VERSION_0;
    bus.BusContext = device;
    bus.InterfaceReference = interface_reference;
    bus.InterfaceDereference = interface_dereference;
    bus.GetUSBDIVersion = get_usbdi_version;
    bus.QueryBusTime = query_bus_time;
    bus.SubmitIsoOutUrb = submit_iso_out_urb;
    bus.QueryBusInformation = query_bus_information;
    bus.IsDeviceHighSpeed = is_device_high_speed;
    std::memcpy(query.Interface, &bus, bus.Size);
    interface_reference(device);
    return STATUS_SUCCESS;
}

// A MULTI_SZ (or, with one entry, a plain string) from paged pool; the PnP manager frees it.
PWCHAR pool_strings(const std::vector<std::wstring> &items, bool multi)
{
    size_t chars = multi ? 1 : 0;
    for (const auto &item : items) {
        chars += item.size() + 1;
    }
    auto *text = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (chars == 0 ? 1 : chars) * sizeof(WCHAR), bus_pool_tag));
    if (text == nullptr) {
        return nullptr;
    }
    PWCHAR at = text;
    for (const auto &item : items) {
        std::memcpy(at, item.c_str(), (item.size() + 1) * sizeof(WCHAR));
        at += item.size() + 1;
    }
    if (multi || items.empty()) {
        *at = L'\0';
    }
    return text;
}

NTSTATUS query_id(PDEVICE_OBJECT device, PIO_STACK_LOCATION stack, PIRP irp)
{
    std::vector<std::wstring> items;
    bool multi = false;
    pnp_lock();
    device_node *node = pnp_node_of(device);
    if (node != nullptr) {
        const std::wstring &instance = node->instance_id;
        const size_t last = instance.rfind(L'\\');
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            items.push_back(last == std::wstring::npos ? instance : instance.substr(0, last));
            break;
        case BusQueryInstanceID:
            items.push_back(last == std::wstring::npos ? instance : instance.substr(last + 1));
            break;
        case BusQueryHardwareIDs:
            items = node->hardware_ids;
            multi = true;
            break;
        case BusQueryCompatibleIDs:
            items = node->compatible_ids;
            multi = true;
            break;
        default:
            break;
        }
    }
    pnp_unlock();
    if (items.empty() && !multi) {
        return irp->IoStatus.Status;
    }
    PWCHAR text = pool_strings(items, multi);
    if (text == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
    return STATUS_SUCCESS;
}

NTSTATUS query_text(PDEVICE_OBJECT device, PIO_STACK_LOCATION stack, PIRP irp)
{
    if (stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
        return irp->IoStatus.Status;
    }
    std::wstring description;
    pnp_lock();
    if (device_node *node = pnp_node_of(device)) {
        description = node->description;
    }
    pnp_unlock();
    if (description.empty()) {
        return irp->IoStatus.Status;
    }
    PWCHAR text = pool_strings({description}, false);
    if (text == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
    return STATUS_SUCCESS;
}

NTSTATUS dispatch_pnp(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        irp->IoStatus.Information = 0;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_INTERFACE:
        status = query_interface(device, stack, status);
        break;
    case IRP_MN_QUERY_ID:
        status = query_id(device, stack, irp);
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        status = query_text(device, stack, irp);
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS dispatch_power(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS dispatch_other(PDEVICE_OBJECT, PIRP irp)
{
    const NTSTATUS status = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_SYSTEM_CONTROL
                                ? irp->IoStatus.Status
                                : STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

DRIVER_OBJECT *bus_driver()
{
    std::lock_guard guard(g_driver_lock);
    if (g_driver == nullptr) {
        g_driver = io_create_driver_object(L"usbhub", "usbhub");
        for (auto &major : g_driver->MajorFunction) {
            major = dispatch_other;
        }
        g_driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_internal_control;
        g_driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
        g_driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    }
    return g_driver;
}

} // namespace

void usb_host_complete(usb_request request, NTSTATUS status)
{
    auto irp = static_cast<PIRP>(request);
    IoSetCancelRoutine(irp, nullptr);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS usb_create_bus_pdo(usb_host_port *port, DEVICE_OBJECT **pdo)
{
    *pdo = nullptr;
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status = IoCreateDevice(bus_driver(), sizeof(bus_pdo_extension), nullptr, FILE_DEVICE_USB,
                                           FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    new (device->DeviceExtension) bus_pdo_extension{port, false, 0};
    device->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *pdo = device;
    return STATUS_SUCCESS;
}

void usb_delete_bus_pdo(DEVICE_OBJECT *pdo)
{
    extension_of(pdo)->~bus_pdo_extension();
    IoDeleteDevice(pdo);
}

void usb_bus_pdo_refuse_interface(DEVICE_OBJECT *pdo, bool refuse)
{
    extension_of(pdo)->refuse_interface = refuse;
}

LONG usb_bus_pdo_interface_references(DEVICE_OBJECT *pdo)
{
    return extension_of(pdo)->interface_references;
}

} // namespace platform
