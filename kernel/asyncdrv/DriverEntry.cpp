// Driver entry, Plug and Play, request routing and subdevice registration of the asynchronous
// kernel driver: portcls owns the device; the driver keeps the create, cleanup, close, read,
// write, device-control and PnP entries to set the device channel ("\asio") apart and to tear
// streaming down before portcls sees a removal.
#include <portcls.h>
#include "AdapterCommon.h"
#include "AsyncDriver.h"
#include "AsyncPoolTags.h"

namespace {

PDRIVER_UNLOAD g_PortClassUnload = nullptr;

constexpr ULONG MDL_MAPPING_NO_EXECUTE = 0x40000000;

BOOLEAN IsChannelName(PFILE_OBJECT FileObject)
{
    if (FileObject == nullptr) {
        return FALSE;
    }
    UNICODE_STRING asio;
    RtlInitUnicodeString(&asio, L"\\asio");
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
    extension->Adapter = nullptr;
    KeInitializeMutex(&extension->ExtensionMutex, 0);
    extension->Removing = 0;

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
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    common->AddRef();
    NTSTATUS status = common->QueryInterface(IID_IAdapterCommon, reinterpret_cast<void **>(&adapter));
    if (NT_SUCCESS(status)) {
        status = adapter->Init(extension->PhysicalDeviceObject, DeviceObject);
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterAdapterPowerManagement(reinterpret_cast<PUNKNOWN>(adapter), DeviceObject);
    }
    if (NT_SUCCESS(status)) {
        // A rate without a subdevice name leaves the device without a WaveRT filter; it starts.
        RegisterWaveSubdevice(DeviceObject, adapter);
        KeWaitForSingleObject(&extension->ExtensionMutex, Executive, KernelMode, FALSE, nullptr);
        extension->Adapter = adapter;
        KeReleaseMutex(&extension->ExtensionMutex, FALSE);
    }
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
        // Each device keeps its own PDO, so devices added before either starts never mix.
        PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(PhysicalDeviceObject);
        AsyncExtension(fdo)->PhysicalDeviceObject = PhysicalDeviceObject;
        ObDereferenceObject(fdo);
    }
    return status;
}

NTSTATUS PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = stack->MinorFunction;
    if (minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) {
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
        // The device channel protocol is not served by this build of the driver.
        status = STATUS_NOT_SUPPORTED;
    }
    KeReleaseMutex(&extension->ExtensionMutex, FALSE);
    return CompleteRequest(Irp, status);
}

// Requests of the device channel are told apart by their file object's context; no channel
// context exists in this build, so every request goes to portcls.
NTSTATUS RouteToPortClass(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PcDispatchIrp(DeviceObject, Irp); }

VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    DbgPrint("UsbAudio!DriverUnload\n");
    if (g_PortClassUnload != nullptr) {
        g_PortClassUnload(DriverObject);
    }
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DbgPrint("UsbAudio!DriverEntry\n");
    NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
    if (NT_SUCCESS(status)) {
        DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
        DriverObject->MajorFunction[IRP_MJ_CLEANUP] = RouteToPortClass;
        DriverObject->MajorFunction[IRP_MJ_CLOSE] = RouteToPortClass;
        DriverObject->MajorFunction[IRP_MJ_READ] = RouteToPortClass;
        DriverObject->MajorFunction[IRP_MJ_WRITE] = RouteToPortClass;
        DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RouteToPortClass;
        DriverObject->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
    }
    g_PortClassUnload = DriverObject->DriverUnload;
    DriverObject->DriverUnload = DriverUnload;
    return status;
}
