// The device channel's data path: READ and WRITE requests, the list of pended requests with its
// cancel routine, the filling of READs from the input FIFO, the drain thread of render-only
// channels, and the calls of the streaming engine and the mix path.
//
// Pended requests carry a cancel routine. The list lock is held from taking the oldest request
// to putting it back, so a concurrent cancel walk never misses one; a request whose cancel
// routine was already taken by IoCancelIrp stays in the list until that routine removes it.
// IoCsqRemoveNextIrp and IoCsqInsertIrp would drop the lock between the two steps.
#include "DeviceChannel.h"
#include "UsbAudioTrace.h"

namespace {

constexpr ULONG BufferSlot = 0;
constexpr ULONG ChannelSlot = 1;

PIRP IrpOf(PLIST_ENTRY Entry)
{
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
}

VOID CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

} // namespace

VOID CDeviceChannel::ArmStamp()
{
    InterlockedExchange(&m_StampArmed, 1);
}

VOID CDeviceChannel::CancelRoutine(PDEVICE_OBJECT, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto channel = static_cast<CDeviceChannel *>(Irp->Tail.Overlay.DriverContext[ChannelSlot]);
    KIRQL irql;
    KeAcquireSpinLock(&channel->m_ListLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&channel->m_ListLock, irql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

// List lock held. STATUS_PENDING when queued; STATUS_CANCELLED when the request was cancelled
// before it could be queued (the caller completes it).
NTSTATUS CDeviceChannel::PendRequest(PIRP Irp, PUCHAR Buffer)
{
    Irp->Tail.Overlay.DriverContext[BufferSlot] = Buffer;
    Irp->Tail.Overlay.DriverContext[ChannelSlot] = this;
    Irp->IoStatus.Information = 0;
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(Irp);
    InsertTailList(&m_Pended, &Irp->Tail.Overlay.ListEntry);
    return STATUS_PENDING;
}

// List lock held; the caller took the cancel routine. TRUE when the request was cancelled in
// the meantime: it has left the list and the caller completes it as cancelled.
BOOLEAN CDeviceChannel::RearmLocked(PIRP Irp)
{
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        return TRUE;
    }
    return FALSE;
}

// OnlyFor null: every pended request (STOP, removal, engine recovery); else only the requests of
// that file object (CLEANUP of a handle, whatever its state).
VOID CDeviceChannel::CancelPendedRequests(PFILE_OBJECT OnlyFor)
{
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    KIRQL irql;
    KeAcquireSpinLock(&m_ListLock, &irql);
    for (PLIST_ENTRY entry = m_Pended.Flink; entry != &m_Pended;) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = IrpOf(entry);
        if ((OnlyFor == nullptr || IoGetCurrentIrpStackLocation(irp)->FileObject == OnlyFor) &&
            IoSetCancelRoutine(irp, nullptr) != nullptr) {
            RemoveEntryList(entry);
            InsertTailList(&cancelled, entry);
        }
        entry = next;
    }
    KeReleaseSpinLock(&m_ListLock, irql);
    while (!IsListEmpty(&cancelled)) {
        CompleteRequest(IrpOf(RemoveHeadList(&cancelled)), STATUS_CANCELLED, 0);
    }
}

ULONG CDeviceChannel::PendedCount()
{
    ULONG count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&m_ListLock, &irql);
    for (PLIST_ENTRY entry = m_Pended.Flink; entry != &m_Pended; entry = entry->Flink) {
        ++count;
    }
    KeReleaseSpinLock(&m_ListLock, irql);
    return count;
}

// Fills the oldest pended READ from the input FIFO. TRUE when it was completed whole (the
// caller tries the next one).
BOOLEAN CDeviceChannel::FillOldestRead()
{
    PIRP completed = nullptr;
    PIRP cancelled = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_ListLock, &irql);
    for (PLIST_ENTRY entry = m_Pended.Flink; entry != &m_Pended; entry = entry->Flink) {
        PIRP irp = IrpOf(entry);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_READ || IoSetCancelRoutine(irp, nullptr) == nullptr) {
            continue;
        }
        if (m_Input.IsStarted()) {
            const ULONG length = stack->Parameters.Read.Length;
            const ULONG done = static_cast<ULONG>(irp->IoStatus.Information);
            auto buffer = static_cast<PUCHAR>(irp->Tail.Overlay.DriverContext[BufferSlot]);
            if (done < length) {
                irp->IoStatus.Information = done + m_Input.Read(buffer + done, length - done, TRUE);
            }
            if (irp->IoStatus.Information == length) {
                RemoveEntryList(entry);
                completed = irp;
                break;
            }
        }
        if (RearmLocked(irp)) {
            cancelled = irp;
        }
        break;
    }
    KeReleaseSpinLock(&m_ListLock, irql);
    if (cancelled != nullptr) {
        CompleteRequest(cancelled, STATUS_CANCELLED, 0);
    }
    if (completed == nullptr) {
        return FALSE;
    }
    CompleteRequest(completed, STATUS_SUCCESS, completed->IoStatus.Information);
    OnCaptureReadCompleted();
    return TRUE;
}

VOID CDeviceChannel::OnCaptureReadCompleted()
{
    if (InterlockedCompareExchange(&m_StampArmed, 0, 1) == 1) {
        LARGE_INTEGER frequency;
        InterlockedExchange64(&m_FirstDataStamp, KeQueryPerformanceCounter(&frequency).QuadPart);
    }
    // Render data flows from the first completed capture buffer on, behind the prefill.
    m_Output.Start();
}

// Drain thread: moves the oldest pended WRITE into the output FIFO. TRUE when it was stored
// whole (the caller tries the next one).
BOOLEAN CDeviceChannel::DrainOldestWrite()
{
    PIRP completed = nullptr;
    PIRP cancelled = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_ListLock, &irql);
    for (PLIST_ENTRY entry = m_Pended.Flink; entry != &m_Pended; entry = entry->Flink) {
        PIRP irp = IrpOf(entry);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_WRITE || IoSetCancelRoutine(irp, nullptr) == nullptr) {
            continue;
        }
        const ULONG length = stack->Parameters.Write.Length;
        const ULONG done = static_cast<ULONG>(irp->IoStatus.Information);
        auto buffer = static_cast<PUCHAR>(irp->Tail.Overlay.DriverContext[BufferSlot]);
        if (done < length) {
            irp->IoStatus.Information = done + m_Output.Write(buffer + done, length - done, TRUE);
        }
        if (irp->IoStatus.Information == length) {
            RemoveEntryList(entry);
            completed = irp;
            break;
        }
        if (RearmLocked(irp)) {
            cancelled = irp;
        }
        // A render-only channel starts to play once its FIFO has been full for the first time.
        m_Output.Start();
        break;
    }
    KeReleaseSpinLock(&m_ListLock, irql);
    if (cancelled != nullptr) {
        CompleteRequest(cancelled, STATUS_CANCELLED, 0);
    }
    if (completed == nullptr) {
        return FALSE;
    }
    CompleteRequest(completed, STATUS_SUCCESS, completed->IoStatus.Information);
    return TRUE;
}

VOID CDeviceChannel::DrainThreadMain(PVOID Context)
{
    auto channel = static_cast<CDeviceChannel *>(Context);
    PVOID objects[2] = {&channel->m_DrainWork, &channel->m_DrainStop};
    for (;;) {
        const NTSTATUS status =
            KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (status == STATUS_WAIT_0) {
            while (channel->DrainOldestWrite()) {
            }
        } else if (status == STATUS_WAIT_1) {
            break;
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "drain wait: 0x%08X", status);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// PASSIVE_LEVEL. The system address of the request's buffer, or null when it cannot be reached.
PUCHAR CDeviceChannel::RequestBuffer(PIRP Irp)
{
    if ((m_Host->ChannelDeviceObject()->Flags & DO_BUFFERED_IO) != 0) {
        return static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    }
    if (Irp->MdlAddress == nullptr) {
        return nullptr;
    }
    return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, m_Host->ChannelMdlPriority()));
}

// READ (capture). A zero-length request needs no buffer: it is pended like any other and
// completes, with nothing, once capture data flows.
NTSTATUS CDeviceChannel::ChannelRead(DeviceChannelContext *Context, PIRP Irp)
{
    CDeviceChannel *self = Context->Channel;
    Irp->IoStatus.Information = 0;
    NTSTATUS status = self->EnterGate();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    PUCHAR buffer = length != 0 ? self->RequestBuffer(Irp) : nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&self->m_StartedLock, &irql);
    if (self->m_Started == 0) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "READ on a channel not started");
        status = STATUS_UNSUCCESSFUL;
    } else if (!self->m_Input.IsAllocated()) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        KeAcquireSpinLockAtDpcLevel(&self->m_ListLock);
        if (self->m_StreamReset != 0) {
            status = STATUS_REINITIALIZATION_NEEDED;
        } else if (length != 0 && buffer == nullptr) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            status = self->PendRequest(Irp, buffer);
        }
        KeReleaseSpinLockFromDpcLevel(&self->m_ListLock);
    }
    KeReleaseSpinLock(&self->m_StartedLock, irql);
    self->LeaveGate();
    return status;
}

// WRITE (render). With capture the client is paced by its READs and the data goes into the
// output FIFO at once; render-only requests are pended for the drain thread. A zero-length
// request needs no buffer and stores nothing.
NTSTATUS CDeviceChannel::ChannelWrite(DeviceChannelContext *Context, PIRP Irp)
{
    CDeviceChannel *self = Context->Channel;
    Irp->IoStatus.Information = 0;
    NTSTATUS status = self->EnterGate();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    PUCHAR buffer = length != 0 ? self->RequestBuffer(Irp) : nullptr;
    BOOLEAN wake = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&self->m_StartedLock, &irql);
    if (self->m_Started == 0) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "WRITE on a channel not started");
        status = STATUS_UNSUCCESSFUL;
    } else if (!self->m_Output.IsAllocated()) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (self->m_Input.IsAllocated()) {
        KeAcquireSpinLockAtDpcLevel(&self->m_ListLock);
        const BOOLEAN reset = self->m_StreamReset != 0;
        KeReleaseSpinLockFromDpcLevel(&self->m_ListLock);
        if (reset) {
            status = STATUS_REINITIALIZATION_NEEDED;
        } else if (length != 0 && buffer == nullptr) {
            status = STATUS_UNSUCCESSFUL;
        } else if (length != 0) {
            const ULONG accepted = self->m_Output.Write(buffer, length, FALSE);
            if (accepted < length) {
                TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "short write: %lu of %lu bytes stored", accepted,
                            length);
            }
            Irp->IoStatus.Information = accepted;
        }
    } else if (length != 0 && buffer == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    } else {
        KeAcquireSpinLockAtDpcLevel(&self->m_ListLock);
        status = self->PendRequest(Irp, buffer);
        KeReleaseSpinLockFromDpcLevel(&self->m_ListLock);
        wake = status == STATUS_PENDING;
    }
    KeReleaseSpinLock(&self->m_StartedLock, irql);
    if (wake) {
        KeSetEvent(&self->m_DrainWork, IO_NO_INCREMENT, FALSE);
    }
    self->LeaveGate();
    return status;
}

VOID CDeviceChannel::CapturePacket(const UCHAR *Data, ULONG Bytes)
{
    m_Input.Write(Data, Bytes, FALSE);
    if (m_Input.IsAllocated()) {
        while (FillOldestRead()) {
        }
    }
    if (m_Output.IsAllocated()) {
        CAsioFifo::Balance(m_Input, m_Output);
    }
}

ULONG CDeviceChannel::ReadRender(PUCHAR Destination, ULONG Bytes, BOOLEAN PartialAllowed)
{
    return m_Output.Read(Destination, Bytes, PartialAllowed);
}

VOID CDeviceChannel::RenderConsumed()
{
    if (m_Input.IsAllocated()) {
        CAsioFifo::Balance(m_Input, m_Output);
    } else {
        KeSetEvent(&m_DrainWork, IO_NO_INCREMENT, FALSE);
    }
}

VOID CDeviceChannel::RaiseStreamReset()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_ListLock, &irql);
    m_StreamReset = 1;
    KeReleaseSpinLock(&m_ListLock, irql);
    CancelPendedRequests(nullptr);
}
