// Driver entry and Plug and Play glue of the standard kernel driver: portcls owns the device;
// the driver starts the adapter-common object and the one WaveCyclic subdevice "Wave", stops
// streaming on surprise removal and drops its adapter reference when the device goes.
#include <portcls.h>
#include "AdapterCommon.h"
#include "StdPoolTags.h"
#include "StdTrace.h"

namespace {

// The driver's fields follow portcls's reserved area in every adapter device's extension.
struct STD_DEVICE_EXTENSION {
    UCHAR PortClassReserved[PORT_CLASS_DEVICE_EXTENSION_SIZE];
    // Referenced once; null until StartDevice succeeds and again once the device is removed.
    PADAPTERCOMMON Adapter;
    // This device's own physical device object, recorded by AddDevice: two devices added
    // before either starts never mix.
    PDEVICE_OBJECT PhysicalDeviceObject;
};

PDRIVER_UNLOAD g_PortClassUnload = nullptr;

STD_DEVICE_EXTENSION *StdExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<STD_DEVICE_EXTENSION *>(DeviceObject->DeviceExtension);
}

// Creates the port, binds the miniport to it and publishes it under Name. PASSIVE_LEVEL.
NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PCWSTR Name, PUNKNOWN UnknownAdapter,
                          PRESOURCELIST ResourceList)
{
    PPORT port = nullptr;
    PUNKNOWN miniport = nullptr;
    NTSTATUS status = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (NT_SUCCESS(status)) {
        status = CreateMiniportWaveCyclic(&miniport, CLSID_PortWaveCyclic, nullptr, NonPagedPool);
    }
    if (NT_SUCCESS(status)) {
        status = port->Init(DeviceObject, Irp, miniport, UnknownAdapter, ResourceList);
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterSubdevice(DeviceObject, const_cast<PWSTR>(Name), port);
    }
    if (miniport != nullptr) {
        miniport->Release();
    }
    if (port != nullptr) {
        port->Release();
    }
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList)
{
    PAGED_CODE();
    STD_DEVICE_EXTENSION *extension = StdExtension(DeviceObject);
    extension->Adapter = nullptr;

    PADAPTERCOMMON adapter = nullptr;
    auto common = new (NonPagedPool, STD_ADAPTER_TAG) CAdapterCommon(nullptr);
    if (common == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    common->AddRef();
    NTSTATUS status = common->QueryInterface(IID_IAdapterCommon, reinterpret_cast<void **>(&adapter));
    if (NT_SUCCESS(status)) {
        status = adapter->Init(extension->PhysicalDeviceObject);
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterAdapterPowerManagement(reinterpret_cast<PUNKNOWN>(adapter), DeviceObject);
    }
    if (NT_SUCCESS(status)) {
        status = InstallSubdevice(DeviceObject, Irp, L"Wave", reinterpret_cast<PUNKNOWN>(adapter), ResourceList);
    }
    if (NT_SUCCESS(status)) {
        adapter->AddRef();
        extension->Adapter = adapter;
    }
    if (adapter != nullptr) {
        adapter->Release();
    }
    common->Release();
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    NTSTATUS status =
        PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, 1, sizeof(STD_DEVICE_EXTENSION));
    if (NT_SUCCESS(status)) {
        PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(PhysicalDeviceObject);
        StdExtension(fdo)->PhysicalDeviceObject = PhysicalDeviceObject;
        ObDereferenceObject(fdo);
    }
    return status;
}

// Surprise removal stops streaming before portcls withdraws the subdevice; removal drops the
// extension's adapter reference, which nothing else would release.
NTSTATUS PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    STD_DEVICE_EXTENSION *extension = StdExtension(DeviceObject);
    PADAPTERCOMMON removed = nullptr;
    if (stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL && extension->Adapter != nullptr) {
        extension->Adapter->SurpriseRemoval();
    } else if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        // The device object is deleted below; the reference outlives it.
        removed = extension->Adapter;
        extension->Adapter = nullptr;
    }
    NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
    if (removed != nullptr) {
        removed->Release();
    }
    return status;
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
    NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
    if (NT_SUCCESS(status)) {
        DriverObject->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
    }
    g_PortClassUnload = DriverObject->DriverUnload;
    DriverObject->DriverUnload = DriverUnload;
    WPP_INIT_TRACING(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        // A driver whose DriverEntry fails is unloaded without DriverUnload.
        WPP_CLEANUP(DriverObject);
    }
    return status;
}
