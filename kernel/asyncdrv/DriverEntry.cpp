// Driver entry, Plug and Play, request routing and subdevice registration of the asynchronous
// kernel driver: portcls owns the device; the driver keeps the create, cleanup, close, read,
// write, device-control and PnP entries to set the device channel ("\asio") apart and to tear
// streaming down before portcls sees a removal.
#include <portcls.h>
#include "AdapterCommon.h"
#include "AsyncDriver.h"
#include "AsyncPoolTags.h"
#include "UsbAudioTrace.h"

namespace {

PDRIVER_UNLOAD g_PortClassUnload = nullptr;

constexpr ULONG MDL_MAPPING_NO_EXECUTE = 0x40000000;

BOOLEAN IsChannelName(PFILE_OBJECT FileObject)
{
    if (FileObject == nullptr) {
        return FALSE;
    }
    UNICODE_STRING asio;
    RtlInitUnicodeString(&asio, QELASIO_CHANNEL_FILE_NAME);
    return RtlEqualUnicodeString(&FileObject->FileName, &asio, TRUE);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList)
{
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(ResourceList);
    ASYNC_DEVICE_EXTENSION *extension = AsyncExtension(DeviceObject);
    KeWaitForSingleObject(&extension->ExtensionMutex, Executive, KernelMode, FALSE, nullptr);
    extension->Adapter = nullptr;
    extension->Removing = 0;
    KeReleaseMutex(&extension->ExtensionMutex, FALSE);

    if (RtlIsNtDdiVersionAvailable(NTDDI_WIN8)) {
        g_PoolType = NonPagedPoolNx;
        g_MdlPriority = NormalPagePriority | MDL_MAPPING_NO_EXECUTE;
    } else {
        g_PoolType = NonPagedPool;
        g_MdlPriority = NormalPagePriority;
    }
    CUSBCL::SetAllocationPolicy(g_PoolType, g_MdlPriority);

    PADAPTERCOMMON adapter = nullptr;
    auto common = new (g_PoolType, ASYNC_ADAPTER_TAG) CAdapterCommon(nullptr);
    if (common == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "adapter allocation failed: 0x%08X",
                    STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    common->AddRef();
    NTSTATUS status = common->QueryInterface(IID_IAdapterCommon, reinterpret_cast<void **>(&adapter));
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "QueryInterface(IAdapterCommon) failed: 0x%08X", status);
    }
    if (NT_SUCCESS(status)) {
        status = adapter->Init(extension->PhysicalDeviceObject, DeviceObject);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "adapter Init failed: 0x%08X", status);
        }
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterAdapterPowerManagement(reinterpret_cast<PUNKNOWN>(adapter), DeviceObject);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "PcRegisterAdapterPowerManagement failed: 0x%08X",
                        status);
        }
    }
    if (NT_SUCCESS(status)) {
        // The channel is ready before the subdevice's interface is enabled: a client told of
        // the interface's arrival may open it while this start is still running.
        KeWaitForSingleObject(&extension->ExtensionMutex, Executive, KernelMode, FALSE, nullptr);
        extension->Adapter = adapter;
        KeReleaseMutex(&extension->ExtensionMutex, FALSE);
        // A rate without a subdevice name leaves the device without a WaveRT filter; it starts.
        const NTSTATUS registered = RegisterWaveSubdevice(DeviceObject, adapter);
        if (!NT_SUCCESS(registered)) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "started without a WaveRT subdevice: 0x%08X",
                        registered);
        }
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "start of device %p: 0x%08X", DeviceObject, status);
    if (adapter != nullptr) {
        adapter->Release();
    }
    common->Release();
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    NTSTATUS status = PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, 1,
                                         sizeof(ASYNC_DEVICE_EXTENSION));
    if (NT_SUCCESS(status)) {
        // Each device keeps its own PDO, so devices added before either starts never mix. The
        // mutex exists from here on: PnP may send a removal before any start (a lower driver
        // that fails START is followed by REMOVE).
        PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(PhysicalDeviceObject);
        ASYNC_DEVICE_EXTENSION *extension = AsyncExtension(fdo);
        KeInitializeMutex(&extension->ExtensionMutex, 0);
        extension->Adapter = nullptr;
        extension->Removing = 0;
        extension->PhysicalDeviceObject = PhysicalDeviceObject;
        ObDereferenceObject(fdo);
    }
    return status;
}

NTSTATUS PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = stack->MinorFunction;
    if (minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "removal request 0x%02X of device %p", minor,
                    DeviceObject);
        ASYNC_DEVICE_EXTENSION *extension = AsyncExtension(DeviceObject);
        PADAPTERCOMMON adapter = nullptr;
        KeWaitForSingleObject(&extension->ExtensionMutex, Executive, KernelMode, FALSE, nullptr);
        extension->Removing = 1;
        adapter = extension->Adapter;
        if (adapter != nullptr) {
            adapter->AddRef();
        }
        if (minor == IRP_MN_REMOVE_DEVICE) {
            // The device object goes away with this request; an adapter that outlives it (held
            // by a filter still open) must not reach back into its extension.
            extension->Adapter = nullptr;
        }
        KeReleaseMutex(&extension->ExtensionMutex, FALSE);
        if (adapter != nullptr) {
            adapter->PrepareRemoval();
            if (minor == IRP_MN_REMOVE_DEVICE) {
                static_cast<CAdapterCommon *>(adapter)->DetachDeviceObject();
            }
            adapter->Release();
        }
    }
    return PcDispatchIrp(DeviceObject, Irp);
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (!IsChannelName(stack->FileObject)) {
        return PcDispatchIrp(DeviceObject, Irp);
    }
    ASYNC_DEVICE_EXTENSION *extension = AsyncExtension(DeviceObject);
    NTSTATUS status;
    KeWaitForSingleObject(&extension->ExtensionMutex, Executive, KernelMode, FALSE, nullptr);
    if (extension->Removing != 0) {
        status = STATUS_DELETE_PENDING;
    } else if (extension->Adapter == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    } else {
        // The context references the adapter until CLOSE, so the handle outlives a removal.
        CAdapterCommon *common = static_cast<CAdapterCommon *>(extension->Adapter);
        status = common->Channel().CreateContext(extension->Adapter, stack->FileObject);
    }
    KeReleaseMutex(&extension->ExtensionMutex, FALSE);
    return CompleteRequest(Irp, status);
}

using CHANNEL_HANDLER = NTSTATUS (*)(DeviceChannelContext *Context, PIRP Irp);

// A request on a channel handle goes to its handler and is completed here unless the handler
// pended it; every other request (KS filter and pin handles) goes to portcls.
NTSTATUS RouteChannelIrp(CHANNEL_HANDLER Handler, PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceChannelContext *context = CDeviceChannel::LookupContext(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    if (context == nullptr) {
        return PcDispatchIrp(DeviceObject, Irp);
    }
    Irp->IoStatus.Information = 0;
    NTSTATUS status = Handler(context, Irp);
    if (status != STATUS_PENDING) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    return status;
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RouteChannelIrp(CDeviceChannel::ChannelCleanup, DeviceObject, Irp);
}

NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RouteChannelIrp(CDeviceChannel::ChannelRead, DeviceObject, Irp);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RouteChannelIrp(CDeviceChannel::ChannelWrite, DeviceObject, Irp);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RouteChannelIrp(CDeviceChannel::ChannelDeviceControl, DeviceObject, Irp);
}

// CLOSE of a channel handle frees its context and drops its adapter reference, also after the
// device is gone; the adapter may be destroyed here.
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceChannelContext *context = CDeviceChannel::LookupContext(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    if (context == nullptr) {
        return PcDispatchIrp(DeviceObject, Irp);
    }
    return CompleteRequest(Irp, CDeviceChannel::ChannelClose(context));
}

VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    DbgPrint("UsbAudio!DriverUnload\n");
    WPP_CLEANUP(DriverObject);
    if (g_PortClassUnload != nullptr) {
        g_PortClassUnload(DriverObject);
    }
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DbgPrint("UsbAudio!DriverEntry\n");
    WPP_INIT_TRACING(DriverObject, RegistryPath);
    NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
    if (NT_SUCCESS(status)) {
        DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
        DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
        DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
        DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
        DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
        DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
        DriverObject->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
    }
    g_PortClassUnload = DriverObject->DriverUnload;
    DriverObject->DriverUnload = DriverUnload;
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "PcInitializeAdapterDriver failed: 0x%08X", status);
        // A driver whose DriverEntry fails is unloaded without DriverUnload.
        WPP_CLEANUP(DriverObject);
    }
    return status;
}
