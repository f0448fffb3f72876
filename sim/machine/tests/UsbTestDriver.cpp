// The machine's USB test driver: a PnP function driver over the USB bus PDO. At start it gets
// the USBDI bus interface, reads the device and configuration descriptors and configures every
// interface; on request it reads the clock rate and streams isochronous OUT and IN transfers.
#include <wdm.h>
#include <usbdlib.h>
#include <usbbusif.h>
#include <usbdi.h>
#include "UsbTestDriverProtocol.h"

namespace {

constexpr ULONG kTag = 0x54425355; // "USBT"
constexpr ULONG kMaxInFlight = 8;
constexpr ULONG kPacketsPerTransfer = 8;

struct STREAM_SLOT;

struct DEVICE_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
    UNICODE_STRING Link;
    BOOLEAN Started;
    BOOLEAN Removed;
    USB_BUS_INTERFACE_USBDI_V1 Bus;
    UCHAR DeviceDescriptor[18];
    PUSB_CONFIGURATION_DESCRIPTOR Configuration;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    ULONG Interfaces;
    // Streaming state.
    KSPIN_LOCK Lock;
    KEVENT Idle;
    KEVENT NotStreaming; // set while no stream request runs; removal waits for it
    LONG Outstanding;
    ULONG Remaining[2];
    ULONG NextStartFrame;
    BOOLEAN HaveNextStart;
    OVMUSBTEST_STREAM_REPORT Report;
};

struct STREAM_SLOT {
    DEVICE_EXTENSION *Extension;
    PIRP Irp;
    PURB Urb;
    PUCHAR Buffer;
    ULONG Length;
    BOOLEAN In;
    USBD_PIPE_INFORMATION Pipe;
};

NTSTATUS SyncDone(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(DEVICE_EXTENSION *ext, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SyncDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->Lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return Irp->IoStatus.Status;
}

NTSTATUS SubmitUrbSync(DEVICE_EXTENSION *ext, PURB Urb)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ext->Lower, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
    NTSTATUS status = IoCallDriver(ext->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS GetDescriptor(DEVICE_EXTENSION *ext, UCHAR Type, PVOID Buffer, ULONG Length, PULONG Read)
{
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), Type, 0, 0, Buffer, nullptr,
                                 Length, nullptr);
    NTSTATUS status = SubmitUrbSync(ext, &urb);
    *Read = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

NTSTATUS SelectAlternate(DEVICE_EXTENSION *ext, UCHAR Interface, UCHAR Alternate, PUSBD_PIPE_INFORMATION Pipe)
{
    PUSB_INTERFACE_DESCRIPTOR desc = USBD_ParseConfigurationDescriptorEx(ext->Configuration, ext->Configuration,
                                                                         Interface, Alternate, -1, -1, -1);
    if (desc == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG size = GET_SELECT_INTERFACE_REQUEST_SIZE(desc->bNumEndpoints);
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, size);
    UsbBuildSelectInterfaceRequest(urb, (USHORT)size, ext->ConfigurationHandle, Interface, Alternate);
    NTSTATUS status = SubmitUrbSync(ext, urb);
    if (NT_SUCCESS(status) && Pipe != nullptr) {
        status = STATUS_NOT_FOUND;
        for (ULONG i = 0; i < urb->UrbSelectInterface.Interface.NumberOfPipes; ++i) {
            const USBD_PIPE_INFORMATION &p = urb->UrbSelectInterface.Interface.Pipes[i];
            if (p.PipeType == UsbdPipeTypeIsochronous && p.MaximumPacketSize > 4) {
                *Pipe = p;
                status = STATUS_SUCCESS;
                break;
            }
        }
    }
    ExFreePoolWithTag(urb, kTag);
    return status;
}

NTSTATUS StartDevice(DEVICE_EXTENSION *ext)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(ext->Lower->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
    stack->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    stack->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    stack->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&ext->Bus);
    IoSetCompletionRoutine(irp, SyncDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->Lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    ULONG read = 0;
    status = GetDescriptor(ext, USB_DEVICE_DESCRIPTOR_TYPE, ext->DeviceDescriptor, sizeof(ext->DeviceDescriptor), &read);
    if (NT_SUCCESS(status) && read != sizeof(ext->DeviceDescriptor)) {
        status = STATUS_NOT_SUPPORTED;
    }
    UCHAR head[9] = {};
    if (NT_SUCCESS(status)) {
        status = GetDescriptor(ext, USB_CONFIGURATION_DESCRIPTOR_TYPE, head, sizeof(head), &read);
        if (NT_SUCCESS(status) && read != sizeof(head)) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    const ULONG total = head[2] | head[3] << 8;
    if (NT_SUCCESS(status)) {
        ext->Configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPoolNx, total, kTag));
        status = ext->Configuration == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                                               : GetDescriptor(ext, USB_CONFIGURATION_DESCRIPTOR_TYPE, ext->Configuration,
                                                               total, &read);
        if (NT_SUCCESS(status) && read != total) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    USBD_INTERFACE_LIST_ENTRY list[9];
    RtlZeroMemory(list, sizeof(list));
    ULONG count = 0;
    for (LONG number = 0; number < ext->Configuration->bNumInterfaces && count + 1 < 9; ++number) {
        PUSB_INTERFACE_DESCRIPTOR desc =
            USBD_ParseConfigurationDescriptorEx(ext->Configuration, ext->Configuration, number, 0, -1, -1, -1);
        if (desc != nullptr) {
            list[count++].InterfaceDescriptor = desc;
        }
    }
    PURB urb = USBD_CreateConfigurationRequestEx(ext->Configuration, list);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = SubmitUrbSync(ext, urb);
    if (NT_SUCCESS(status)) {
        ext->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        ext->Interfaces = count;
    }
    ExFreePool(urb);
    return status;
}

void StopStreamingSlot(STREAM_SLOT *slot)
{
    if (slot->Irp != nullptr) {
        IoFreeIrp(slot->Irp);
    }
    if (slot->Urb != nullptr) {
        ExFreePoolWithTag(slot->Urb, kTag);
    }
    if (slot->Buffer != nullptr) {
        ExFreePoolWithTag(slot->Buffer, kTag);
    }
    ExFreePoolWithTag(slot, kTag);
}

NTSTATUS SlotDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context);

// Builds and sends the slot's next transfer; called at PASSIVE_LEVEL or DISPATCH_LEVEL.
void SendSlot(STREAM_SLOT *slot)
{
    DEVICE_EXTENSION *ext = slot->Extension;
    const ULONG size = GET_ISO_URB_SIZE(kPacketsPerTransfer);
    RtlZeroMemory(slot->Urb, size);
    auto &iso = slot->Urb->UrbIsochronousTransfer;
    slot->Urb->UrbHeader.Length = (USHORT)size;
    slot->Urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = slot->Pipe.PipeHandle;
    iso.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | (slot->In ? USBD_TRANSFER_DIRECTION_IN : 0);
    iso.TransferBuffer = slot->Buffer;
    iso.TransferBufferLength = slot->Length;
    iso.NumberOfPackets = kPacketsPerTransfer;
    const ULONG packet = slot->In ? slot->Pipe.MaximumPacketSize : slot->Length / kPacketsPerTransfer;
    for (ULONG i = 0; i < kPacketsPerTransfer; ++i) {
        iso.IsoPacket[i].Offset = i * packet;
    }
    IoReuseIrp(slot->Irp, STATUS_SUCCESS);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(slot->Irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = slot->Urb;
    IoSetCompletionRoutine(slot->Irp, SlotDone, slot, TRUE, TRUE, TRUE);
    IoCallDriver(ext->Lower, slot->Irp);
}

NTSTATUS SlotDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto *slot = static_cast<STREAM_SLOT *>(Context);
    DEVICE_EXTENSION *ext = slot->Extension;
    const auto &iso = slot->Urb->UrbIsochronousTransfer;
    KIRQL old;
    KeAcquireSpinLock(&ext->Lock, &old);
    OVMUSBTEST_STREAM_REPORT &r = ext->Report;
    if (old < DISPATCH_LEVEL) {
        ++r.WrongIrql;
    }
    const NTSTATUS status = Irp->IoStatus.Status;
    bool again = false;
    if (NT_SUCCESS(status)) {
        if (slot->In) {
            ++r.InCompleted;
            r.InBytes += iso.TransferBufferLength;
        } else {
            ++r.OutCompleted;
            r.OutBytes += iso.TransferBufferLength;
            if (ext->HaveNextStart && iso.StartFrame != ext->NextStartFrame) {
                ++r.StartFrameGaps;
            }
            ext->NextStartFrame = iso.StartFrame + 1;
            ext->HaveNextStart = TRUE;
        }
        ULONG &remaining = ext->Remaining[slot->In ? 1 : 0];
        if (remaining > 0 && !ext->Removed) {
            --remaining;
            again = true;
        }
    } else {
        ++(slot->In ? r.InFailed : r.OutFailed);
        r.LastFailure = status;
    }
    KeReleaseSpinLock(&ext->Lock, old);
    if (again) {
        SendSlot(slot);
    } else if (InterlockedDecrement(&ext->Outstanding) == 0) {
        KeSetEvent(&ext->Idle, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Finds the data endpoint's streaming interface of one direction: the first interface whose
// alternate setting 1 has an isochronous endpoint of that direction.
LONG FindStreamingInterface(DEVICE_EXTENSION *ext, BOOLEAN In)
{
    for (LONG number = 0; number < ext->Configuration->bNumInterfaces; ++number) {
        PUSB_INTERFACE_DESCRIPTOR desc =
            USBD_ParseConfigurationDescriptorEx(ext->Configuration, ext->Configuration, number, 1, -1, -1, -1);
        if (desc == nullptr) {
            continue;
        }
        PUCHAR end = reinterpret_cast<PUCHAR>(ext->Configuration) + ext->Configuration->wTotalLength;
        PUCHAR at = reinterpret_cast<PUCHAR>(desc) + desc->bLength;
        while (at + 2 <= end && at[0] >= 2 && at[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at[0] >= 7 && (at[3] & 3) == 1 && ((at[3] >> 4) & 3) != 1 &&
                ((at[2] & 0x80) != 0) == (In != FALSE)) {
                return number;
            }
            at += at[0];
        }
    }
    return -1;
}

NTSTATUS Stream(DEVICE_EXTENSION *ext, const OVMUSBTEST_STREAM_REQUEST &request, OVMUSBTEST_STREAM_REPORT *report)
{
    KeClearEvent(&ext->NotStreaming);
    RtlZeroMemory(&ext->Report, sizeof(ext->Report));
    ext->HaveNextStart = FALSE;
    const LONG interfaces[2] = {FindStreamingInterface(ext, FALSE), FindStreamingInterface(ext, TRUE)};
    USBD_PIPE_INFORMATION pipes[2];
    NTSTATUS status = interfaces[0] < 0 || interfaces[1] < 0 ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    for (int d = 0; d < 2 && NT_SUCCESS(status); ++d) {
        status = SelectAlternate(ext, (UCHAR)interfaces[d], 1, &pipes[d]);
    }
    ext->Report.SelectStatus = status;
    const ULONG inFlight = request.InFlight == 0 || request.InFlight > kMaxInFlight ? 4 : request.InFlight;
    STREAM_SLOT *slots[2 * kMaxInFlight] = {};
    ULONG created = 0;
    for (int d = 0; d < 2 && NT_SUCCESS(status); ++d) {
        for (ULONG i = 0; i < inFlight && i < request.Transfers && NT_SUCCESS(status); ++i) {
            auto *slot = static_cast<STREAM_SLOT *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(STREAM_SLOT), kTag));
            if (slot == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            RtlZeroMemory(slot, sizeof(*slot));
            slots[created++] = slot;
            slot->Extension = ext;
            slot->In = d == 1;
            slot->Pipe = pipes[d];
            // OUT: 48 kHz stereo 16-bit at high speed is 24 bytes per microframe.
            slot->Length = slot->In ? pipes[d].MaximumPacketSize * kPacketsPerTransfer : 24 * kPacketsPerTransfer;
            slot->Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, slot->Length, kTag));
            slot->Urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, GET_ISO_URB_SIZE(kPacketsPerTransfer), kTag));
            slot->Irp = IoAllocateIrp(ext->Lower->StackSize, FALSE);
            if (slot->Buffer == nullptr || slot->Urb == nullptr || slot->Irp == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                RtlZeroMemory(slot->Buffer, slot->Length);
            }
        }
    }
    if (NT_SUCCESS(status)) {
        const ULONG started = created / 2;
        ext->Remaining[0] = request.Transfers - started;
        ext->Remaining[1] = request.Transfers - started;
        ext->Outstanding = (LONG)created;
        KeClearEvent(&ext->Idle);
        for (ULONG i = 0; i < created; ++i) {
            SendSlot(slots[i]);
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = -(LONGLONG)(request.TimeoutMs == 0 ? 10000 : request.TimeoutMs) * 10000;
        if (KeWaitForSingleObject(&ext->Idle, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            ext->Report.TimedOut = 1;
            KeWaitForSingleObject(&ext->Idle, Executive, KernelMode, FALSE, nullptr);
        }
    }
    for (ULONG i = 0; i < created; ++i) {
        StopStreamingSlot(slots[i]);
    }
    if (!ext->Removed) {
        for (int d = 0; d < 2; ++d) {
            if (interfaces[d] >= 0) {
                SelectAlternate(ext, (UCHAR)interfaces[d], 0, nullptr);
            }
        }
    }
    *report = ext->Report;
    KeSetEvent(&ext->NotStreaming, IO_NO_INCREMENT, FALSE);
    return status;
}

void ReadState(DEVICE_EXTENSION *ext, OVMUSBTEST_STATE *state)
{
    RtlZeroMemory(state, sizeof(*state));
    state->Started = ext->Started;
    state->SurpriseRemoved = ext->Removed;
    state->HighSpeed = ext->Bus.IsDeviceHighSpeed != nullptr && ext->Bus.IsDeviceHighSpeed(ext->Bus.BusContext);
    state->VendorId = (USHORT)(ext->DeviceDescriptor[8] | ext->DeviceDescriptor[9] << 8);
    state->ProductId = (USHORT)(ext->DeviceDescriptor[10] | ext->DeviceDescriptor[11] << 8);
    state->BcdUsb = (USHORT)(ext->DeviceDescriptor[2] | ext->DeviceDescriptor[3] << 8);
    state->ConfigurationLength = ext->Configuration != nullptr ? ext->Configuration->wTotalLength : 0;
    state->Interfaces = ext->Interfaces;
    if (ext->Bus.QueryBusTime != nullptr) {
        ext->Bus.QueryBusTime(ext->Bus.BusContext, &state->BusFrame);
    }
    // Clock source 0x28's SAM_FREQ CUR on the control interface.
    UCHAR rate[4] = {};
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0x01, 0x0100, 0x2800, rate, nullptr, sizeof(rate), nullptr);
    state->RateStatus = SubmitUrbSync(ext, &urb);
    if (NT_SUCCESS(state->RateStatus) && urb.UrbControlVendorClassRequest.TransferBufferLength == 4) {
        state->SampleRate = rate[0] | rate[1] << 8 | rate[2] << 16 | (ULONG)rate[3] << 24;
    }
}

NTSTATUS DispatchControl(PDEVICE_OBJECT Device, PIRP Irp)
{
    auto *ext = static_cast<DEVICE_EXTENSION *>(Device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    ULONG_PTR information = 0;
    if (!ext->Started) {
        status = STATUS_DEVICE_NOT_READY;
    } else if (code == IOCTL_OVMUSBTEST_STATE && outLength >= sizeof(OVMUSBTEST_STATE)) {
        ReadState(ext, static_cast<POVMUSBTEST_STATE>(Irp->AssociatedIrp.SystemBuffer));
        status = STATUS_SUCCESS;
        information = sizeof(OVMUSBTEST_STATE);
    } else if (code == IOCTL_OVMUSBTEST_STREAM && inLength >= sizeof(OVMUSBTEST_STREAM_REQUEST) &&
               outLength >= sizeof(OVMUSBTEST_STREAM_REPORT)) {
        const OVMUSBTEST_STREAM_REQUEST request = *static_cast<POVMUSBTEST_STREAM_REQUEST>(Irp->AssociatedIrp.SystemBuffer);
        status = Stream(ext, request, static_cast<POVMUSBTEST_STREAM_REPORT>(Irp->AssociatedIrp.SystemBuffer));
        information = sizeof(OVMUSBTEST_STREAM_REPORT);
    } else if (code == IOCTL_OVMUSBTEST_STATE || code == IOCTL_OVMUSBTEST_STREAM) {
        status = STATUS_BUFFER_TOO_SMALL;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT Device, PIRP Irp)
{
    auto *ext = static_cast<DEVICE_EXTENSION *>(Device->DeviceExtension);
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext->Lower, Irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp)
{
    auto *ext = static_cast<DEVICE_EXTENSION *>(Device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(ext, Irp);
        if (NT_SUCCESS(status)) {
            status = StartDevice(ext);
        }
        ext->Started = NT_SUCCESS(status);
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    case IRP_MN_SURPRISE_REMOVAL:
        ext->Removed = TRUE;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        ext->Started = FALSE;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(ext->Lower, Irp);
        KeWaitForSingleObject(&ext->NotStreaming, Executive, KernelMode, FALSE, nullptr);
        IoDeleteSymbolicLink(&ext->Link);
        if (ext->Configuration != nullptr) {
            ExFreePoolWithTag(ext->Configuration, kTag);
        }
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(Device);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ext->Lower, Irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, OVMUSBTEST_DEVICE_NAME);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(DEVICE_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto *ext = static_cast<DEVICE_EXTENSION *>(device->DeviceExtension);
    RtlZeroMemory(ext, sizeof(*ext));
    ext->Self = device;
    ext->Pdo = Pdo;
    KeInitializeSpinLock(&ext->Lock);
    KeInitializeEvent(&ext->Idle, NotificationEvent, TRUE);
    KeInitializeEvent(&ext->NotStreaming, NotificationEvent, TRUE);
    RtlInitUnicodeString(&ext->Link, OVMUSBTEST_LINK_NAME);
    status = IoCreateSymbolicLink(&ext->Link, &name);
    if (NT_SUCCESS(status)) {
        ext->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
        if (ext->Lower == nullptr) {
            IoDeleteSymbolicLink(&ext->Link);
            status = STATUS_NO_SUCH_DEVICE;
        }
    }
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID DriverUnload(PDRIVER_OBJECT) {}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    Driver->DriverExtension->AddDevice = AddDevice;
    Driver->DriverUnload = DriverUnload;
    Driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    Driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    return STATUS_SUCCESS;
}
