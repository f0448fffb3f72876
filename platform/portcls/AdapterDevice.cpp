// The adapter driver side of portcls: driver initialisation, the adapter device (its reserved
// extension area and attachment), Plug and Play and power requests, adapter power management
// registration and the top-level request dispatch.
#include <map>
#include "portcls_internal.h"
#include <platform/machine_state.h>
#include <platform/pnp.h>
#include <platform/verifier.h>

namespace platform {
namespace {

std::mutex g_devices_lock;
std::map<PDEVICE_OBJECT, pc_device *> g_devices;

// The resource list handed to StartDevice: a USB adapter has no hardware resources.
class pc_resource_list final : public IResourceList {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IResourceList)) {
            *ppv = static_cast<IResourceList *>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *ppv = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return (ULONG)++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG refs = --m_refs;
        if (refs == 0) {
            delete this;
        }
        return (ULONG)refs;
    }
    STDMETHODIMP_(ULONG) NumberOfEntries() override { return 0; }

private:
    ~pc_resource_list() = default;
    std::atomic<LONG> m_refs{1};
};

void pc_forget_device(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(g_devices_lock);
    g_devices.erase(device);
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS forward(pc_device *dev, PIRP irp)
{
    if (dev->lower == nullptr) {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(dev->lower, irp);
}

NTSTATUS on_forward_done(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits until the lower driver has completed it; the request is
// the caller's again afterwards. PASSIVE_LEVEL.
NTSTATUS forward_and_wait(pc_device *dev, PIRP irp)
{
    if (dev->lower == nullptr) {
        return STATUS_SUCCESS;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, on_forward_done, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(dev->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS on_query_done(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// IRP_MN_QUERY_CAPABILITIES to the lower device, as the PnP manager builds it. PASSIVE_LEVEL.
NTSTATUS query_lower_capabilities(pc_device *dev, PDEVICE_CAPABILITIES capabilities)
{
    if (dev->lower == nullptr) {
        return STATUS_SUCCESS;
    }
    PIRP irp = IoAllocateIrp(dev->lower->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = capabilities;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, on_query_done, &done, TRUE, TRUE, TRUE);
    IoCallDriver(dev->lower, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// The stack's capabilities as the PnP manager keeps them.
void record_capabilities(pc_device *dev, const DEVICE_CAPABILITIES &capabilities)
{
    pnp_lock();
    if (device_node *node = pnp_node_of(dev->pdo)) {
        node->surprise_removal_ok = capabilities.SurpriseRemovalOK != 0;
    }
    pnp_unlock();
}

// After a start the PnP manager asks the stack for its capabilities again; the port class
// answers with the lower device's, amended by the adapter's power object. The stand-in asks at
// the end of a successful start.
void query_capabilities_after_start(pc_device *dev)
{
    DEVICE_CAPABILITIES capabilities = {};
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    capabilities.Address = MAXULONG;
    capabilities.UINumber = MAXULONG;
    NTSTATUS status = query_lower_capabilities(dev, &capabilities);
    if (NT_SUCCESS(status) && dev->power != nullptr) {
        status = dev->power->QueryDeviceCapabilities(&capabilities);
    }
    if (NT_SUCCESS(status)) {
        record_capabilities(dev, capabilities);
    }
}

void remove_device(pc_device *dev)
{
    pc_unregister_all_subdevices(dev);
    std::vector<pc_port *> ports;
    {
        std::lock_guard<std::mutex> guard(dev->lock);
        ports.swap(dev->ports);
    }
    for (pc_port *port : ports) {
        port->subdevice_withdrawn();
    }
    if (dev->power != nullptr) {
        dev->power->Release();
        dev->power = nullptr;
    }
    dev->removed = true;
}

NTSTATUS dispatch_pnp(pc_device *dev, PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        status = forward_and_wait(dev, irp);
        if (NT_SUCCESS(status)) {
            pc_resource_list *resources = new pc_resource_list();
            status = dev->start_device(device, irp, resources);
            resources->Release();
            dev->started = NT_SUCCESS(status);
        }
        if (NT_SUCCESS(status)) {
            query_capabilities_after_start(dev);
        }
        return complete(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_CAPABILITIES:
        status = forward_and_wait(dev, irp);
        if (NT_SUCCESS(status) && dev->power != nullptr) {
            status = dev->power->QueryDeviceCapabilities(stack->Parameters.DeviceCapabilities.Capabilities);
        }
        if (NT_SUCCESS(status) && stack->Parameters.DeviceCapabilities.Capabilities != nullptr) {
            record_capabilities(dev, *stack->Parameters.DeviceCapabilities.Capabilities);
        }
        return complete(irp, status, irp->IoStatus.Information);
    case IRP_MN_SURPRISE_REMOVAL:
        // The subdevices leave at once; their filters and pins stay usable until closed.
        pc_unregister_all_subdevices(dev);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return forward(dev, irp);
    case IRP_MN_REMOVE_DEVICE: {
        remove_device(dev);
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = dev->lower;
        status = forward(dev, irp);
        pc_forget_device(device);
        if (lower != nullptr) {
            IoDetachDevice(lower);
        }
        delete dev;
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return forward(dev, irp);
    default:
        return forward(dev, irp);
    }
}

// Device power changes reach the adapter's power object first, then every subdevice's
// miniport that listens (IPowerNotify).
void notify_power_change(pc_device *dev, POWER_STATE state)
{
    if (dev->power != nullptr) {
        dev->power->PowerChangeState(state);
    }
    std::vector<IUnknown *> ports;
    {
        std::lock_guard<std::mutex> guard(dev->lock);
        for (pc_subdevice *sub : dev->subdevices) {
            sub->port_unknown->AddRef();
            ports.push_back(sub->port_unknown);
        }
    }
    for (IUnknown *unknown : ports) {
        pc_port *port = nullptr;
        if (NT_SUCCESS(unknown->QueryInterface(IID_pc_port, reinterpret_cast<void **>(&port))) &&
            port->miniport() != nullptr) {
            IPowerNotify *notify = nullptr;
            if (NT_SUCCESS(port->miniport()->QueryInterface(IID_IPowerNotify, reinterpret_cast<void **>(&notify)))) {
                notify->PowerChangeNotify(state);
                notify->Release();
            }
        }
        unknown->Release();
    }
    dev->power_state = state.DeviceState;
}

// Device power IRPs. Powering down, the adapter and its miniports hear the change before the
// request goes down; powering up, they hear it once the lower drivers have completed it, when
// the hardware answers again. PASSIVE_LEVEL (the device is power pageable).
NTSTATUS dispatch_power(pc_device *dev, PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool device_state = stack->Parameters.Power.Type == DevicePowerState;
    if (stack->MinorFunction == IRP_MN_QUERY_POWER && device_state && dev->power != nullptr) {
        NTSTATUS status = dev->power->QueryPowerChangeState(stack->Parameters.Power.State);
        if (!NT_SUCCESS(status)) {
            PoStartNextPowerIrp(irp);
            return complete(irp, status);
        }
    }
    const POWER_STATE state = stack->Parameters.Power.State;
    const bool change = stack->MinorFunction == IRP_MN_SET_POWER && device_state && state.DeviceState != dev->power_state;
    if (change && state.DeviceState == PowerDeviceD0) {
        NTSTATUS status = forward_and_wait(dev, irp);
        if (NT_SUCCESS(status)) {
            notify_power_change(dev, state);
            PoSetPowerState(device, DevicePowerState, state);
        }
        PoStartNextPowerIrp(irp);
        return complete(irp, status, irp->IoStatus.Information);
    }
    if (change) {
        notify_power_change(dev, state);
        PoSetPowerState(device, DevicePowerState, state);
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return forward(dev, irp);
}

void portcls_unload(PDRIVER_OBJECT) {}

void portcls_boot()
{
    std::lock_guard<std::mutex> guard(g_devices_lock);
    g_devices.clear();
}

machine_hooks g_hooks("portcls", portcls_boot, nullptr);

} // namespace

pc_device *pc_device_of(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(g_devices_lock);
    auto it = g_devices.find(device);
    return it == g_devices.end() ? nullptr : it->second;
}

void pc_device_add_port(PDEVICE_OBJECT device, pc_port *port)
{
    if (pc_device *dev = pc_device_of(device)) {
        std::lock_guard<std::mutex> guard(dev->lock);
        dev->ports.push_back(port);
    }
}

void pc_device_remove_port(PDEVICE_OBJECT device, pc_port *port)
{
    if (pc_device *dev = pc_device_of(device)) {
        std::lock_guard<std::mutex> guard(dev->lock);
        std::erase(dev->ports, port);
    }
}

NTSTATUS ks_dispatch_create(pc_device *dev, PIRP irp);
NTSTATUS ks_dispatch_close(PIRP irp);
NTSTATUS ks_dispatch_device_control(PIRP irp);
NTSTATUS ks_dispatch_cleanup(PIRP irp);

} // namespace platform

using namespace platform;

extern "C" NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                              PDRIVER_ADD_DEVICE AddDevice)
{
    verifier_check_irql(PASSIVE_LEVEL, "PcInitializeAdapterDriver");
    if (DriverObject == nullptr || AddDevice == nullptr || DriverObject->DriverExtension == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UNREFERENCED_PARAMETER(RegistryPathName);
    DriverObject->DriverExtension->AddDevice = AddDevice;
    for (PDRIVER_DISPATCH &dispatch : DriverObject->MajorFunction) {
        dispatch = PcDispatchIrp;
    }
    DriverObject->DriverUnload = portcls_unload;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                       PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize)
{
    verifier_check_irql(PASSIVE_LEVEL, "PcAddAdapterDevice");
    if (DriverObject == nullptr || PhysicalDeviceObject == nullptr || StartDevice == nullptr || MaxObjects == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DeviceExtensionSize == 0) {
        DeviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
    }
    if (DeviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, DeviceExtensionSize, nullptr, FILE_DEVICE_KS,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    pc_device *dev = new pc_device();
    dev->magic = pc_device_magic;
    dev->device = fdo;
    dev->pdo = PhysicalDeviceObject;
    dev->start_device = StartDevice;
    dev->max_subdevices = MaxObjects;
    *static_cast<pc_device **>(fdo->DeviceExtension) = dev;

    dev->lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (dev->lower == nullptr) {
        delete dev;
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    {
        std::lock_guard<std::mutex> guard(g_devices_lock);
        g_devices[fdo] = dev;
    }
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    pc_device *dev = pc_device_of(DeviceObject);
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    // A filter or pin still open when its device was removed is cleaned up and freed on close.
    if (dev == nullptr && major == IRP_MJ_CLEANUP) {
        return ks_dispatch_cleanup(Irp);
    }
    if (dev == nullptr && major == IRP_MJ_CLOSE) {
        return ks_dispatch_close(Irp);
    }
    if (dev == nullptr) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        return dispatch_pnp(dev, DeviceObject, Irp);
    case IRP_MJ_POWER:
        return dispatch_power(dev, DeviceObject, Irp);
    case IRP_MJ_CREATE:
        return ks_dispatch_create(dev, Irp);
    case IRP_MJ_CLOSE:
        return ks_dispatch_close(Irp);
    case IRP_MJ_DEVICE_CONTROL:
        return ks_dispatch_device_control(Irp);
    case IRP_MJ_CLEANUP:
        return ks_dispatch_cleanup(Irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return forward(dev, Irp);
    default:
        return complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

extern "C" NTSTATUS PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return complete(Irp, Status, Irp->IoStatus.Information);
}

extern "C" NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext1)
{
    verifier_check_irql(PASSIVE_LEVEL, "PcRegisterAdapterPowerManagement");
    pc_device *dev = pc_device_of(static_cast<PDEVICE_OBJECT>(pvContext1));
    if (Unknown == nullptr || dev == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    IAdapterPowerManagement *power = nullptr;
    NTSTATUS status = Unknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<void **>(&power));
    if (!NT_SUCCESS(status) || power == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (dev->power != nullptr) {
        dev->power->Release();
    }
    dev->power = power;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PcUnregisterAdapterPowerManagement(PDEVICE_OBJECT DeviceObject)
{
    pc_device *dev = pc_device_of(DeviceObject);
    if (dev == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (dev->power != nullptr) {
        dev->power->Release();
        dev->power = nullptr;
    }
    return STATUS_SUCCESS;
}
