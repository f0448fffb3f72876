// The client tests' channel driver: a minimal kernel end of the device channel protocol. Each
// device object a test creates for it answers the control codes from its extension's values
// with the kernel's state rules per handle, and loops WRITE data back into pended READs.
#include <wdm.h>
#include "ChannelTestDevice.h"

namespace {

constexpr ULONG HandleTag = 0x68437443; // "CtCh"

LONG volatile g_Sequence;

struct CHANNEL_HANDLE {
    ULONG State;
};

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

PCHANNEL_TEST_DEVICE DeviceOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PCHANNEL_TEST_DEVICE>(DeviceObject->DeviceExtension);
}

VOID CancelRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PCHANNEL_TEST_DEVICE device = DeviceOf(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&device->Lock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&device->Lock, irql);
    Complete(Irp, STATUS_CANCELLED, 0);
}

// Takes the oldest pended read out of the queue, or null. Lock held.
PIRP PopRead(PCHANNEL_TEST_DEVICE device)
{
    while (!IsListEmpty(&device->PendedReads)) {
        PLIST_ENTRY entry = RemoveHeadList(&device->PendedReads);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            return irp;
        }
        // Its cancel routine runs; it removes the entry it finds re-initialised.
        InitializeListHead(&irp->Tail.Overlay.ListEntry);
    }
    return nullptr;
}

// Completes every pended read with Status: STATUS_CANCELLED, as STOP and clean-up do, or the
// stream reset's error.
VOID CompleteReads(PCHANNEL_TEST_DEVICE device, NTSTATUS Status)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&device->Lock, &irql);
    for (PIRP irp = PopRead(device); irp != nullptr; irp = PopRead(device)) {
        InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
    }
    device->LoopRead = 0;
    device->LoopFill = 0;
    KeReleaseSpinLock(&device->Lock, irql);
    while (!IsListEmpty(&done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        Complete(irp, Status, 0);
    }
}

VOID CancelReads(PCHANNEL_TEST_DEVICE device)
{
    CompleteReads(device, STATUS_CANCELLED);
}

VOID TakeFromLoop(PCHANNEL_TEST_DEVICE device, PUCHAR Target, ULONG Length)
{
    for (ULONG i = 0; i < Length; ++i) {
        Target[i] = device->Loop[device->LoopRead];
        device->LoopRead = (device->LoopRead + 1) % CHANNEL_TEST_LOOP_BYTES;
    }
    device->LoopFill -= Length;
}

// Fills pended reads, oldest first, while the loop holds a whole read. Completes them after the
// lock is dropped.
VOID ServeReads(PCHANNEL_TEST_DEVICE device)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&device->Lock, &irql);
    while (!IsListEmpty(&device->PendedReads)) {
        PIRP irp = CONTAINING_RECORD(device->PendedReads.Flink, IRP, Tail.Overlay.ListEntry);
        const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        if (device->LoopFill < length) {
            break;
        }
        irp = PopRead(device);
        if (irp == nullptr) {
            break;
        }
        TakeFromLoop(device, static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer), length);
        irp->IoStatus.Information = length;
        InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&device->Lock, irql);
    while (!IsListEmpty(&done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        Complete(irp, STATUS_SUCCESS, irp->IoStatus.Information);
    }
}

NTSTATUS Read(PCHANNEL_TEST_DEVICE device, PIRP Irp)
{
    if (device->Running == 0) {
        return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    if (device->StreamReset != 0) {
        return Complete(Irp, STATUS_REINITIALIZATION_NEEDED, 0);
    }
    KIRQL irql;
    KeAcquireSpinLock(&device->Lock, &irql);
    IoSetCancelRoutine(Irp, CancelRead);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&device->Lock, irql);
        return Complete(Irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(Irp);
    InsertTailList(&device->PendedReads, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&device->Lock, irql);
    ServeReads(device);
    return STATUS_PENDING;
}

NTSTATUS Write(PCHANNEL_TEST_DEVICE device, PIRP Irp)
{
    if (device->Running == 0) {
        return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    if (device->StreamReset != 0) {
        // The reset ends the reads that wait for this data as well.
        CompleteReads(device, STATUS_REINITIALIZATION_NEEDED);
        return Complete(Irp, STATUS_REINITIALIZATION_NEEDED, 0);
    }
    const ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    auto source = static_cast<const UCHAR *>(Irp->AssociatedIrp.SystemBuffer);
    KIRQL irql;
    KeAcquireSpinLock(&device->Lock, &irql);
    const ULONG room = CHANNEL_TEST_LOOP_BYTES - device->LoopFill;
    const ULONG stored = length < room ? length : room;
    for (ULONG i = 0; i < stored; ++i) {
        device->Loop[(device->LoopRead + device->LoopFill) % CHANNEL_TEST_LOOP_BYTES] = source[i];
        device->LoopFill++;
    }
    KeReleaseSpinLock(&device->Lock, irql);
    ServeReads(device);
    return Complete(Irp, STATUS_SUCCESS, length);
}

const QELASIO_RATE_CAPS *FindCaps(PCHANNEL_TEST_DEVICE device, ULONG Rate)
{
    for (ULONG i = 0; i < device->CapsCount && i < CHANNEL_TEST_MAX_CAPS; ++i) {
        if (device->Caps[i].Rate == Rate) {
            return &device->Caps[i];
        }
    }
    return nullptr;
}

// A state-changing code: the handle must be in From; it then moves to To.
bool InState(CHANNEL_HANDLE *handle, ULONG From)
{
    return handle->State == From;
}

NTSTATUS Control(PCHANNEL_TEST_DEVICE device, CHANNEL_HANDLE *handle, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    const ULONG function = CHANNEL_TEST_FUNCTION(code);
    const LONG slot = InterlockedIncrement(&device->CallCount) - 1;
    if (slot < CHANNEL_TEST_MAX_CALLS) {
        device->Calls[slot] = function;
        device->Sequence[slot] = (ULONG)InterlockedIncrement(&g_Sequence);
    }
    const ULONG bit = (function >= 0x800 && function <= 0x811) ? (1u << (function - 0x800)) : 0;
    if ((device->FailMask & bit) != 0) {
        return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    const ULONG shorten = (device->ShortMask & bit) != 0 ? 1 : 0;
    auto reply = [&](ULONG value) {
        if (out < sizeof(ULONG)) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        *static_cast<PULONG>(buffer) = value;
        return Complete(Irp, STATUS_SUCCESS, sizeof(ULONG) - shorten);
    };
    switch (code) {
    case IOCTL_QELASIO_GET_RATE_RANGE:
        if (out < sizeof(QELASIO_RATE_RANGE)) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        *static_cast<PQELASIO_RATE_RANGE>(buffer) = device->Range;
        return Complete(Irp, STATUS_SUCCESS, sizeof(QELASIO_RATE_RANGE) - shorten);
    case IOCTL_QELASIO_GET_RATE_CAPS: {
        if (in < sizeof(QELASIO_RATE_CAPS) || out < sizeof(QELASIO_RATE_CAPS)) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        const QELASIO_RATE_CAPS *caps = FindCaps(device, static_cast<PQELASIO_RATE_CAPS>(buffer)->Rate);
        if (caps == nullptr) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        *static_cast<PQELASIO_RATE_CAPS>(buffer) = *caps;
        return Complete(Irp, STATUS_SUCCESS, sizeof(QELASIO_RATE_CAPS) - shorten);
    }
    case IOCTL_QELASIO_GET_SAMPLE_RATE:
        return reply(device->CurrentRate);
    case IOCTL_QELASIO_SET_SAMPLE_RATE:
        if (in < sizeof(ULONG) || *static_cast<PULONG>(buffer) < device->Range.Lowest ||
            *static_cast<PULONG>(buffer) > device->Range.Highest) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        if (device->Running != 0) {
            return Complete(Irp, STATUS_DEVICE_BUSY, 0);
        }
        device->CurrentRate = *static_cast<PULONG>(buffer);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_QELASIO_GET_DSD_SUPPORT:
        return reply(device->DsdNative);
    case IOCTL_QELASIO_GET_CAPTURE_TRANSFER_MS:
        return reply(device->CaptureTransferMs);
    case IOCTL_QELASIO_GET_STREAM_RESET:
        return reply(device->StreamReset);
    case IOCTL_QELASIO_GET_POSITION:
        return reply(device->Position);
    case IOCTL_QELASIO_SET_POSITION:
        if (in < sizeof(ULONG)) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        device->LastSetPosition = *static_cast<PULONG>(buffer);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_QELASIO_PING:
        if (device->HoldPing != 0) {
            IoMarkIrpPending(Irp);
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&device->HeldControl), Irp);
            return STATUS_PENDING;
        }
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_QELASIO_START_CAPTURE:
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_QELASIO_ACQUIRE:
        if (!InState(handle, CHANNEL_OPEN)) {
            return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
        }
        if (InterlockedCompareExchange(&device->Owner, 1, 0) != 0) {
            return Complete(Irp, STATUS_DEVICE_BUSY, 0);
        }
        handle->State = CHANNEL_ACQUIRED;
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_QELASIO_PREPARE: {
        if (!InState(handle, CHANNEL_ACQUIRED)) {
            return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
        }
        if (in < sizeof(QELASIO_PREPARE_REQUEST)) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        const QELASIO_PREPARE_REQUEST request = *static_cast<PQELASIO_PREPARE_REQUEST>(buffer);
        device->LastPrepare = request;
        if (request.BufferFrames == 0 || (request.CaptureEnable == 0 && request.RenderEnable == 0)) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        handle->State = CHANNEL_PREPARED;
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_QELASIO_START:
        if (!InState(handle, CHANNEL_PREPARED)) {
            return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
        }
        // A start ends a stream reset, and the capture side may begin with data of its own.
        device->StreamReset = 0;
        {
            KIRQL irql;
            KeAcquireSpinLock(&device->Lock, &irql);
            const ULONG prime = device->PrimeCaptureBytes < CHANNEL_TEST_LOOP_BYTES ? device->PrimeCaptureBytes
                                                                                     : CHANNEL_TEST_LOOP_BYTES;
            RtlZeroMemory(device->Loop, prime);
            device->LoopRead = 0;
            device->LoopFill = prime;
            KeReleaseSpinLock(&device->Lock, irql);
        }
        InterlockedExchange(&device->Running, 1);
        handle->State = CHANNEL_RUNNING;
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_QELASIO_STOP:
        if (!InState(handle, CHANNEL_RUNNING)) {
            return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
        }
        InterlockedExchange(&device->Running, 0);
        CancelReads(device);
        handle->State = CHANNEL_PREPARED;
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_QELASIO_UNPREPARE:
        if (!InState(handle, CHANNEL_PREPARED)) {
            return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
        }
        handle->State = CHANNEL_ACQUIRED;
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_QELASIO_RELEASE:
        if (!InState(handle, CHANNEL_ACQUIRED)) {
            return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
        }
        InterlockedCompareExchange(&device->Owner, 0, 1);
        handle->State = CHANNEL_OPEN;
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// Walks a handle back from whatever state it is in, as the last close of a handle does.
VOID Cleanup(PCHANNEL_TEST_DEVICE device, CHANNEL_HANDLE *handle)
{
    if (handle->State == CHANNEL_RUNNING) {
        InterlockedExchange(&device->Running, 0);
        CancelReads(device);
        handle->State = CHANNEL_PREPARED;
    }
    if (handle->State == CHANNEL_PREPARED) {
        handle->State = CHANNEL_ACQUIRED;
    }
    if (handle->State == CHANNEL_ACQUIRED) {
        InterlockedCompareExchange(&device->Owner, 0, 1);
        handle->State = CHANNEL_OPEN;
    }
}

bool IsChannelName(PUNICODE_STRING Name)
{
    UNICODE_STRING channel;
    RtlInitUnicodeString(&channel, QELASIO_CHANNEL_FILE_NAME);
    return RtlEqualUnicodeString(Name, &channel, TRUE) != FALSE;
}

NTSTATUS Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PCHANNEL_TEST_DEVICE device = DeviceOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT file = stack->FileObject;
    auto handle = file != nullptr ? static_cast<CHANNEL_HANDLE *>(file->FsContext2) : nullptr;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
        if (file == nullptr || !IsChannelName(&file->FileName)) {
            return Complete(Irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
        }
        handle = static_cast<CHANNEL_HANDLE *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CHANNEL_HANDLE), HandleTag));
        if (handle == nullptr) {
            return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        handle->State = CHANNEL_OPEN;
        file->FsContext2 = handle;
        InterlockedIncrement(&device->OpenHandles);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IRP_MJ_CLEANUP:
        if (handle != nullptr) {
            Cleanup(device, handle);
        }
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
        if (handle != nullptr) {
            file->FsContext2 = nullptr;
            ExFreePoolWithTag(handle, HandleTag);
            InterlockedDecrement(&device->OpenHandles);
        }
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        if (handle == nullptr) {
            return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        }
        return Control(device, handle, Irp);
    case IRP_MJ_READ:
        return Read(device, Irp);
    case IRP_MJ_WRITE:
        return Write(device, Irp);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        DriverObject->MajorFunction[i] = Dispatch;
    }
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
