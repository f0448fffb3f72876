// The transfer engine of CAdapterCommon: one system thread per running direction takes a slot
// of the direction's semaphore and starts a transfer chain; each chain's completion runs the
// next fill or submission itself at DISPATCH_LEVEL with the same buffer and context, until the
// chain gives up (stop, pause, error or an empty render queue) and hands its slot back.
#include "AdapterCommon.h"
#include "StdPoolTags.h"
#include "StdTrace.h"

namespace {

BOOLEAN IsSet(PKEVENT Event)
{
    return KeReadStateEvent(Event) != 0 ? TRUE : FALSE;
}

BOOLEAN IsDeviceGone(NTSTATUS Status)
{
    return Status == STATUS_NO_SUCH_DEVICE || Status == STATUS_DELETE_PENDING || Status == STATUS_DEVICE_NOT_CONNECTED;
}

// How long a render thread that found nothing to send waits before it looks again, unless the
// direction stops or fails first: the port refills the queue from its service context.
constexpr LONGLONG EMPTY_QUEUE_RETRY_100NS = -10000;

} // namespace

NTSTATUS CAdapterCommon::CreateWorker(ULONG Direction)
{
    HANDLE handle = nullptr;
    PKTHREAD thread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           Direction == STD_CAPTURE ? CaptureThreadMain : RenderThreadMain, this);
    if (NT_SUCCESS(status)) {
        status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                           reinterpret_cast<PVOID *>(&thread), nullptr);
        ZwClose(handle);
    }
    if (NT_SUCCESS(status)) {
        m_Thread[Direction] = thread;
    }
    return status;
}

VOID CAdapterCommon::RenderThreadMain(PVOID Context)
{
    static_cast<CAdapterCommon *>(Context)->RenderThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID CAdapterCommon::CaptureThreadMain(PVOID Context)
{
    static_cast<CAdapterCommon *>(Context)->CaptureThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID CAdapterCommon::RenderThread()
{
    // Stop wins over error and error over run: WaitAny reports the first signalled object.
    PVOID events[3] = {&m_StopEvent[STD_RENDER], &m_ErrorEvent[STD_RENDER], &m_RunEvent[STD_RENDER]};
    for (;;) {
        KeWaitForSingleObject(&m_Slots[STD_RENDER], Executive, KernelMode, FALSE, nullptr);
        NTSTATUS wait = KeWaitForMultipleObjects(3, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (wait == STATUS_WAIT_0) {
            KeReleaseSemaphore(&m_Slots[STD_RENDER], IO_NO_INCREMENT, 1, FALSE);
            KeWaitForSingleObject(&m_IdleEvent[STD_RENDER], Executive, KernelMode, FALSE, nullptr);
            break;
        }
        if (wait == STATUS_WAIT_1) {
            KeReleaseSemaphore(&m_Slots[STD_RENDER], IO_NO_INCREMENT, 1, FALSE);
            RecoverPipe(STD_RENDER);
            continue;
        }
        BeginTransfer(STD_RENDER);
        if (!RenderFill(nullptr)) {
            // Nothing was sent (the queue ran dry): wait a little for the port to refill it
            // instead of spinning round the slot at once.
            LARGE_INTEGER retry;
            retry.QuadPart = EMPTY_QUEUE_RETRY_100NS;
            KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, &retry, nullptr);
        }
    }
}

VOID CAdapterCommon::CaptureThread()
{
    for (;;) {
        KeWaitForSingleObject(&m_Slots[STD_CAPTURE], Executive, KernelMode, FALSE, nullptr);
        if (IsSet(&m_StopEvent[STD_CAPTURE])) {
            KeReleaseSemaphore(&m_Slots[STD_CAPTURE], IO_NO_INCREMENT, 1, FALSE);
            KeWaitForSingleObject(&m_IdleEvent[STD_CAPTURE], Executive, KernelMode, FALSE, nullptr);
            break;
        }
        if (IsSet(&m_ErrorEvent[STD_CAPTURE])) {
            KeReleaseSemaphore(&m_Slots[STD_CAPTURE], IO_NO_INCREMENT, 1, FALSE);
            RecoverPipe(STD_CAPTURE);
            continue;
        }
        BeginTransfer(STD_CAPTURE);
        CaptureSubmit(nullptr);
    }
}

// PASSIVE_LEVEL, on the direction's thread: the pipe is aborted, every transfer is awaited and
// the pipe is reset before streaming goes on.
VOID CAdapterCommon::RecoverPipe(ULONG Direction)
{
    ++m_Recoveries[Direction];
    m_Usb.AbortPipe(m_Usb.GetStreamPipe(Direction));
    KeWaitForSingleObject(&m_IdleEvent[Direction], Executive, KernelMode, FALSE, nullptr);
    m_Usb.ResetPipe(m_Usb.GetStreamPipe(Direction));
    KeClearEvent(&m_ErrorEvent[Direction]);
}

VOID CAdapterCommon::BeginTransfer(ULONG Direction)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_InFlightLock[Direction], &irql);
    if (m_InFlight[Direction]++ == 0) {
        KeClearEvent(&m_IdleEvent[Direction]);
    }
    KeReleaseSpinLock(&m_InFlightLock[Direction], irql);
}

VOID CAdapterCommon::GiveUp(ULONG Direction, STD_TRANSFER_CONTEXT *Context)
{
    KeReleaseSemaphore(&m_Slots[Direction], IO_NO_INCREMENT, 1, FALSE);
    if (Context != nullptr) {
        if (Context->Buffer != nullptr) {
            ExFreePoolWithTag(Context->Buffer, STD_TAG);
        }
        ExFreeToNPagedLookasideList(&m_ContextPool, Context);
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_InFlightLock[Direction], &irql);
    if (--m_InFlight[Direction] == 0) {
        KeSetEvent(&m_IdleEvent[Direction], IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&m_InFlightLock[Direction], irql);
}

// The chain's own context, or a new one with a buffer of the direction's bytes per transfer.
// On an allocation failure the chain is given up and null returned.
STD_TRANSFER_CONTEXT *CAdapterCommon::TakeContext(ULONG Direction, STD_TRANSFER_CONTEXT *Context)
{
    if (Context != nullptr) {
        return Context;
    }
    auto context = static_cast<STD_TRANSFER_CONTEXT *>(ExAllocateFromNPagedLookasideList(&m_ContextPool));
    if (context != nullptr) {
        context->Capacity = m_BytesPerTransfer[Direction];
        context->Length = 0;
        context->Adapter = this;
        context->Buffer = context->Capacity != 0
                              ? static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, context->Capacity, STD_TAG))
                              : nullptr;
        if (context->Buffer == nullptr) {
            ExFreeToNPagedLookasideList(&m_ContextPool, context);
            context = nullptr;
        }
    }
    if (context == nullptr) {
        GiveUp(Direction, nullptr);
    }
    return context;
}

VOID CAdapterCommon::NoteTransferFailure(ULONG Direction, NTSTATUS Status)
{
    if (IsDeviceGone(Status)) {
        KeSetEvent(&m_StopEvent[Direction], IO_NO_INCREMENT, FALSE);
    }
    KeSetEvent(&m_ErrorEvent[Direction], IO_NO_INCREMENT, FALSE);
}

VOID CAdapterCommon::NotifyCallback(BOOLEAN Capture)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_CallbackLock, &irql);
    if (m_Callback != nullptr) {
        m_Callback->NotifyStream(Capture);
    }
    KeReleaseSpinLock(&m_CallbackLock, irql);
}

VOID CAdapterCommon::ReportPosition(BOOLEAN Capture, PUCHAR Address)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_CallbackLock, &irql);
    if (m_Callback != nullptr) {
        if (Capture) {
            m_Callback->SetCapturePosition(Address);
        } else {
            m_Callback->SetRenderPosition(Address);
        }
    }
    KeReleaseSpinLock(&m_CallbackLock, irql);
}

// Expects the render fill lock. Copies queued render bytes in order into Destination, frees the
// pieces used up and returns the bytes copied; LastEnd receives the address just past the last
// byte taken from a piece.
ULONG CAdapterCommon::CopyRenderPieces(PUCHAR Destination, ULONG Wanted, PUCHAR *LastEnd)
{
    ULONG copied = 0;
    KeAcquireSpinLockAtDpcLevel(&m_QueueLock[STD_RENDER]);
    while (!IsListEmpty(&m_Queue[STD_RENDER]) && copied < Wanted) {
        auto piece = CONTAINING_RECORD(m_Queue[STD_RENDER].Flink, STD_QUEUE_PIECE, Link);
        const ULONG bytes = piece->BytesLeft < Wanted - copied ? piece->BytesLeft : Wanted - copied;
        RtlCopyMemory(Destination + copied, piece->Current, bytes);
        piece->Current += bytes;
        piece->BytesLeft -= bytes;
        copied += bytes;
        *LastEnd = piece->Current;
        if (piece->BytesLeft == 0) {
            RemoveHeadList(&m_Queue[STD_RENDER]);
            ExFreeToNPagedLookasideList(&m_PiecePool, piece);
        }
    }
    KeReleaseSpinLockFromDpcLevel(&m_QueueLock[STD_RENDER]);
    return copied;
}

// DISPATCH_LEVEL or below: from the render thread with no context, from a completion with the
// chain's own. Holds one slot and one in-flight count, which a submitted transfer keeps.
BOOLEAN CAdapterCommon::RenderFill(STD_TRANSFER_CONTEXT *Context)
{
    PKTHREAD self = KeGetCurrentThread();
    BOOLEAN queueEmpty;
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock[STD_RENDER], &irql);
    queueEmpty = IsListEmpty(&m_Queue[STD_RENDER]);
    KeReleaseSpinLock(&m_QueueLock[STD_RENDER], irql);
    const BOOLEAN reentered =
        InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile *>(&m_RenderFillOwner), nullptr, nullptr) ==
        self;
    if (reentered || IsSet(&m_ErrorEvent[STD_RENDER]) || !IsSet(&m_RunEvent[STD_RENDER]) ||
        (queueEmpty && IsSet(&m_StopEvent[STD_RENDER]))) {
        GiveUp(STD_RENDER, Context);
        return FALSE;
    }
    Context = TakeContext(STD_RENDER, Context);
    if (Context == nullptr) {
        return FALSE;
    }
    BOOLEAN submitted = FALSE;
    KeAcquireSpinLock(&m_RenderFillLock, &irql);
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&m_RenderFillOwner), self);
    ULONG wanted = m_Usb.GetRenderBytesPerTransfer(m_Tuning[STD_RENDER].MsPerTransfer);
    // The buffer was sized from the endpoint's packet size; a device whose packets are smaller
    // than the rate needs must not make the fill write past it.
    if (wanted > Context->Capacity) {
        wanted = Context->Capacity;
    }
    PUCHAR lastEnd = nullptr;
    const ULONG copied = CopyRenderPieces(Context->Buffer, wanted, &lastEnd);
    if (copied != 0) {
        ReportPosition(FALSE, lastEnd);
        Context->Length = copied;
        NTSTATUS status = m_Usb.BuildRenderIsochUrb(Context->Buffer, copied, RenderComplete, Context);
        if (NT_SUCCESS(status)) {
            submitted = TRUE;
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "%s: transfer of %lu bytes not sent: 0x%08X\n",
                        TRACE_DIRECTION(FALSE), copied, status);
            NoteTransferFailure(STD_RENDER, status);
        }
    }
    if (!IsSet(&m_StopEvent[STD_RENDER])) {
        NotifyCallback(FALSE);
    }
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&m_RenderFillOwner), nullptr);
    KeReleaseSpinLock(&m_RenderFillLock, irql);
    if (!submitted) {
        GiveUp(STD_RENDER, Context);
    }
    return submitted;
}

VOID CAdapterCommon::RenderComplete(NTSTATUS Status, ULONG Bytes, PVOID ClientContext)
{
    UNREFERENCED_PARAMETER(Bytes);
    auto context = static_cast<STD_TRANSFER_CONTEXT *>(ClientContext);
    CAdapterCommon *adapter = context->Adapter;
    if (!NT_SUCCESS(Status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "%s: transfer failed 0x%08X, bus at frame %lu\n",
                    TRACE_DIRECTION(FALSE), Status, adapter->m_Usb.GetBusFrame());
        adapter->NoteTransferFailure(STD_RENDER, Status);
    }
    adapter->RenderFill(context);
}

// DISPATCH_LEVEL or below. Holds one slot and one in-flight count, which a submitted transfer
// keeps.
VOID CAdapterCommon::CaptureSubmit(STD_TRANSFER_CONTEXT *Context)
{
    if (IsSet(&m_StopEvent[STD_CAPTURE]) || IsSet(&m_ErrorEvent[STD_CAPTURE])) {
        GiveUp(STD_CAPTURE, Context);
        return;
    }
    Context = TakeContext(STD_CAPTURE, Context);
    if (Context == nullptr) {
        return;
    }
    Context->Length = Context->Capacity;
    NTSTATUS status = m_Usb.BuildCaptureIsochUrb(Context->Buffer, Context->Capacity, CaptureComplete, Context);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "%s: transfer of %lu bytes not sent: 0x%08X\n",
                    TRACE_DIRECTION(TRUE), Context->Capacity, status);
        NoteTransferFailure(STD_CAPTURE, status);
        GiveUp(STD_CAPTURE, Context);
    }
}

// Places received bytes into the queued capture pieces in order; bytes beyond the queued space
// are dropped. Reports the last whole frame written.
VOID CAdapterCommon::DeliverCapture(const UCHAR *Data, ULONG Bytes)
{
    const ULONG frameBytes = m_Format[STD_CAPTURE].BytesPerFrame;
    PUCHAR lastStart = nullptr;
    PUCHAR lastEnd = nullptr;
    ULONG placed = 0;
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock[STD_CAPTURE], &irql);
    while (!IsListEmpty(&m_Queue[STD_CAPTURE]) && placed < Bytes) {
        auto piece = CONTAINING_RECORD(m_Queue[STD_CAPTURE].Flink, STD_QUEUE_PIECE, Link);
        const ULONG bytes = piece->BytesLeft < Bytes - placed ? piece->BytesLeft : Bytes - placed;
        RtlCopyMemory(piece->Current, Data + placed, bytes);
        piece->Current += bytes;
        piece->BytesLeft -= bytes;
        placed += bytes;
        lastStart = piece->Start;
        lastEnd = piece->Current;
        if (piece->BytesLeft == 0) {
            RemoveHeadList(&m_Queue[STD_CAPTURE]);
            ExFreeToNPagedLookasideList(&m_PiecePool, piece);
        }
    }
    KeReleaseSpinLock(&m_QueueLock[STD_CAPTURE], irql);
    // The frame before the end lies inside the piece last written; a piece holding less than a
    // frame says nothing about where the last whole frame starts.
    if (placed != 0 && frameBytes != 0 && (ULONG)(lastEnd - lastStart) >= frameBytes) {
        ReportPosition(TRUE, lastEnd - frameBytes);
    }
}

VOID CAdapterCommon::CaptureComplete(NTSTATUS Status, ULONG Bytes, PVOID ClientContext)
{
    auto context = static_cast<STD_TRANSFER_CONTEXT *>(ClientContext);
    CAdapterCommon *adapter = context->Adapter;
    if (!NT_SUCCESS(Status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "%s: transfer failed 0x%08X, bus at frame %lu\n",
                    TRACE_DIRECTION(TRUE), Status, adapter->m_Usb.GetBusFrame());
        adapter->NoteTransferFailure(STD_CAPTURE, Status);
    } else if (IsSet(&adapter->m_RunEvent[STD_CAPTURE])) {
        if (Bytes != 0) {
            adapter->DeliverCapture(context->Buffer, Bytes < context->Capacity ? Bytes : context->Capacity);
        }
        adapter->NotifyCallback(TRUE);
    }
    adapter->CaptureSubmit(context);
}
