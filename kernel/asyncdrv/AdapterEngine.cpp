// CAdapterCommon's streaming engine, common part: creation and teardown of the engine objects,
// thread start and stop, the run and stop signals, the start wait, work-in-progress counting,
// transfer entries, the bus frame and the diagnostic dump.
#include <ntstrsafe.h>
#include "AdapterCommon.h"
#include "AsyncDriver.h"
#include "AsyncPoolTags.h"
#include "USBAudioClock.h"
#include "USBAudioTerminal.h"

namespace {

LARGE_INTEGER RelativeMs(ULONG Milliseconds)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(Milliseconds) * 10000;
    return timeout;
}

} // namespace

VOID CAdapterCommon::InitializeEngine()
{
    ADAPTER_ENGINE &e = m_Engine;
    for (ULONG d = 0; d < 2; ++d) {
        e.Thread[d] = nullptr;
        KeInitializeEvent(&e.StopEvent[d], NotificationEvent, TRUE);
        KeInitializeEvent(&e.ErrorEvent[d], NotificationEvent, FALSE);
        KeInitializeEvent(&e.RunEvent[d], NotificationEvent, FALSE);
        KeInitializeEvent(&e.IdleEvent[d], NotificationEvent, TRUE);
        KeInitializeEvent(&e.FirstCompletion[d], NotificationEvent, FALSE);
        KeInitializeSemaphore(&e.Slots[d], 0, IN_FLIGHT_MAXIMUM);
        KeInitializeSpinLock(&e.WorkLock[d]);
        KeInitializeSpinLock(&e.CompletionLock[d]);
        InitializeListHead(&e.CompletionList[d]);
        e.WorkInProgress[d] = 0;
        e.StartFailure[d] = STATUS_SUCCESS;
    }
    KeInitializeDpc(&e.Dpc[ENGINE_RENDER], RenderDpc, this);
    KeInitializeDpc(&e.Dpc[ENGINE_CAPTURE], CaptureDpc, this);
    KeInitializeSpinLock(&e.RenderListLock);
    InitializeListHead(&e.RenderFree);
    KeInitializeEvent(&e.FeedbackEnable, NotificationEvent, FALSE);
    KeInitializeEvent(&e.FeedbackIdle, NotificationEvent, TRUE);
    KeInitializeSemaphore(&e.FeedbackSlots, 0, ENGINE_FEEDBACK_SLOTS);
    KeInitializeSpinLock(&e.FeedbackWorkLock);
    KeInitializeSpinLock(&e.MeasureLock);
    KeInitializeEvent(&e.Measured, NotificationEvent, FALSE);
    KeInitializeSpinLock(&e.DebtLock);
    KeInitializeEvent(&e.WorkItemsDone, NotificationEvent, TRUE);
    ExInitializeNPagedLookasideList(&e.EntryPool, nullptr, nullptr, g_PoolType, sizeof(TransferEntry), ASYNC_TAG, 0);
    e.EntryPoolReady = TRUE;
}

// PASSIVE_LEVEL, from the destructor: no thread, DPC or work item of the engine survives it.
VOID CAdapterCommon::DestroyEngine()
{
    ADAPTER_ENGINE &e = m_Engine;
    StopStreamingThread(FALSE);
    StopStreamingThread(TRUE);
    KeWaitForSingleObject(&e.WorkItemsDone, Executive, KernelMode, FALSE, nullptr);
    // A DPC may still be returning after it reported the direction idle.
    KeFlushQueuedDpcs();
    if (e.EntryPoolReady) {
        ExDeleteNPagedLookasideList(&e.EntryPool);
        e.EntryPoolReady = FALSE;
    }
}

// Before a direction starts, with its thread stopped. Under the stream mutex.
VOID CAdapterCommon::ResetEngineState(BOOLEAN Capture)
{
    ADAPTER_ENGINE &e = m_Engine;
    ULONG d = Capture ? ENGINE_CAPTURE : ENGINE_RENDER;
    KeClearEvent(&e.ErrorEvent[d]);
    KeClearEvent(&e.RunEvent[d]);
    KeClearEvent(&e.FirstCompletion[d]);
    e.Resync[d] = 1;
    e.PreviousFrame[d] = 0;
    e.StartFailure[d] = STATUS_SUCCESS;
    if (Capture) {
        KeInitializeSemaphore(&e.Slots[ENGINE_CAPTURE], static_cast<LONG>(g_Tuning.Param4),
                              static_cast<LONG>(g_Tuning.Param4));
    } else {
        e.RenderInFlight = 0;
        e.Debt = 0;
        KeClearEvent(&e.Measured);
        e.Measuring = FALSE;
    }
    if (m_Usb.IsImplicitFeedbackMode()) {
        e.Pacing = EnginePacingImplicit;
    } else if (m_Usb.GetRecord(0) != nullptr && m_Usb.GetRecord(0)->FeedbackPipe != nullptr) {
        e.Pacing = EnginePacingExplicit;
    } else {
        e.Pacing = EnginePacingPlain;
    }
}

// Explicit feedback: render waits for the first feedback value; otherwise every render slot is
// free from the start. Called with the render thread stopped.
VOID CAdapterCommon::ArmRenderPacing()
{
    ADAPTER_ENGINE &e = m_Engine;
    LONG limit = static_cast<LONG>(g_Tuning.Param2);
    BOOLEAN explicitMode = !m_Usb.IsImplicitFeedbackMode() && m_Usb.GetRecord(0) != nullptr &&
                           m_Usb.GetRecord(0)->FeedbackPipe != nullptr;
    if (explicitMode) {
        e.Pacing = EnginePacingExplicit;
        KeInitializeSemaphore(&e.Slots[ENGINE_RENDER], 0, limit);
        KeInitializeSemaphore(&e.FeedbackSlots, ENGINE_FEEDBACK_SLOTS, ENGINE_FEEDBACK_SLOTS);
        e.SlotsGranted = 0;
    } else {
        KeInitializeSemaphore(&e.Slots[ENGINE_RENDER], limit, limit);
        KeInitializeSemaphore(&e.FeedbackSlots, 0, ENGINE_FEEDBACK_SLOTS);
        e.SlotsGranted = 1;
    }
}

BOOLEAN CAdapterCommon::IsClockStable(ULONG TimeoutMs, BOOLEAN Capture)
{
    if (!m_Usb.IsUac2()) {
        return TRUE;
    }
    USB_STREAMING_INTERFACE *record = m_Usb.GetRecord(Capture ? 1 : 0);
    CUSBAudioClock *clock = nullptr;
    if (record != nullptr && record->Terminal != nullptr) {
        clock = m_Usb.FindClock(static_cast<UCHAR>(record->Terminal->GetClockSourceID()));
    }
    if (clock == nullptr) {
        return TRUE;
    }
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due = RelativeMs(TimeoutMs);
    KeSetTimer(&timer, due, nullptr);
    BOOLEAN valid = FALSE;
    for (;;) {
        valid = clock->IsValid();
        if (valid || KeReadStateTimer(&timer)) {
            break;
        }
        LARGE_INTEGER pause = RelativeMs(1);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    KeCancelTimer(&timer);
    if (!valid) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: clock not valid within %lu ms", TRACE_DIRECTION(Capture),
                    TimeoutMs);
    }
    return valid;
}

NTSTATUS CAdapterCommon::StartStreamingThreads(BOOLEAN Capture)
{
    ADAPTER_ENGINE &e = m_Engine;
    ULONG d = Capture ? ENGINE_CAPTURE : ENGINE_RENDER;
    NTSTATUS status = STATUS_SUCCESS;
    HANDLE handle = nullptr;
    PKTHREAD thread = nullptr;

    KeClearEvent(&e.StopEvent[d]);
    if (!Capture) {
        e.RenderInFlight = 0;
    }
    if (!IsClockStable(ENGINE_CLOCK_WAIT_MS, Capture)) {
        status = STATUS_UNSUCCESSFUL;
        goto Exit;
    }
    status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                  Capture ? CaptureThreadMain : RenderThreadMain, this);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s: PsCreateSystemThread failed: 0x%08X",
                    TRACE_DIRECTION(Capture), status);
        goto Exit;
    }
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       reinterpret_cast<PVOID *>(&thread), nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s: ObReferenceObjectByHandle failed: 0x%08X",
                    TRACE_DIRECTION(Capture), status);
        // The thread runs on; stopping it needs the object, so it is told to leave at once.
        KeSetEvent(&e.StopEvent[d], IO_NO_INCREMENT, FALSE);
        goto Exit;
    }
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&e.Thread[d]), thread);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_STREAM, "%s: streaming thread started (pacing %lu)",
                TRACE_DIRECTION(Capture), e.Pacing);

Exit:
    if (!NT_SUCCESS(status)) {
        KeSetEvent(&e.StopEvent[d], IO_NO_INCREMENT, FALSE);
    }
    return status;
}

VOID CAdapterCommon::StopStreamingThread(BOOLEAN Capture)
{
    ADAPTER_ENGINE &e = m_Engine;
    ULONG d = Capture ? ENGINE_CAPTURE : ENGINE_RENDER;
    auto thread = static_cast<PKTHREAD>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&e.Thread[d]), nullptr));
    if (thread == nullptr) {
        return;
    }
    KeSetEvent(&e.StopEvent[d], IO_NO_INCREMENT, FALSE);
    ClearRun(Capture);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    KeClearEvent(&e.FirstCompletion[d]);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_STREAM, "%s: streaming thread stopped", TRACE_DIRECTION(Capture));
}

VOID CAdapterCommon::SetRun(BOOLEAN Capture)
{
    ADAPTER_ENGINE &e = m_Engine;
    if (Capture) {
        KeClearEvent(&e.FirstCompletion[ENGINE_CAPTURE]);
        InterlockedExchange(&e.Resync[ENGINE_CAPTURE], 1);
        KeSetEvent(&e.RunEvent[ENGINE_CAPTURE], IO_NO_INCREMENT, FALSE);
    } else {
        KeClearEvent(&e.FirstCompletion[ENGINE_RENDER]);
        InterlockedExchange(&e.Resync[ENGINE_RENDER], 1);
        KeSetEvent(&e.RunEvent[ENGINE_RENDER], 8, FALSE);
        KLOCK_QUEUE_HANDLE lockHandle;
        KeAcquireInStackQueuedSpinLock(&e.DebtLock, &lockHandle);
        e.Debt = 0;
        KeReleaseInStackQueuedSpinLock(&lockHandle);
    }
}

VOID CAdapterCommon::ClearRun(BOOLEAN Capture)
{
    ADAPTER_ENGINE &e = m_Engine;
    ULONG d = Capture ? ENGINE_CAPTURE : ENGINE_RENDER;
    KeClearEvent(&e.RunEvent[d]);
    if (!Capture && KeGetCurrentIrql() <= APC_LEVEL) {
        LARGE_INTEGER timeout = RelativeMs(1000);
        KeWaitForSingleObject(&e.IdleEvent[ENGINE_RENDER], Executive, KernelMode, FALSE, &timeout);
    }
}

NTSTATUS CAdapterCommon::WaitStreamStarted(BOOLEAN Capture, ULONG TimeoutMs)
{
    ADAPTER_ENGINE &e = m_Engine;
    ULONG d = Capture ? ENGINE_CAPTURE : ENGINE_RENDER;
    PVOID objects[2] = {&e.FirstCompletion[d], &e.StopEvent[d]};
    LARGE_INTEGER timeout = RelativeMs(TimeoutMs);
    LARGE_INTEGER started;
    KeQuerySystemTime(&started);
    NTSTATUS wait = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    NTSTATUS status;
    if (wait == STATUS_WAIT_0) {
        status = STATUS_SUCCESS;
    } else if (wait == STATUS_WAIT_1) {
        status = NT_SUCCESS(e.StartFailure[d]) ? STATUS_CANCELLED : e.StartFailure[d];
    } else {
        status = STATUS_UNSUCCESSFUL;
    }
    // A stop during the wait is no fault of the stream; no first completion in time is.
    TraceEvents(NT_SUCCESS(status) || status == STATUS_CANCELLED ? TRACE_LEVEL_INFORMATION : TRACE_LEVEL_ERROR,
                TRACE_FLAG_STREAM, "%s: first completion wait took %I64d ms (pacing %lu): 0x%08X",
                TRACE_DIRECTION(Capture), (now.QuadPart - started.QuadPart) / 10000, e.Pacing, status);
    return status;
}

VOID CAdapterCommon::SignalStop(BOOLEAN Capture)
{
    KeSetEvent(&m_Engine.StopEvent[Capture ? ENGINE_CAPTURE : ENGINE_RENDER], IO_NO_INCREMENT, FALSE);
}

BOOLEAN CAdapterCommon::EngineThreadsPending()
{
    ADAPTER_ENGINE &e = m_Engine;
    for (ULONG d = 0; d < 2; ++d) {
        if (e.Thread[d] == nullptr || KeReadStateEvent(&e.RunEvent[d]) == 0 || KeReadStateEvent(&e.StopEvent[d]) != 0) {
            continue;
        }
        // Measuring waits for captured data, also with a recovery pending behind it.
        if (d == ENGINE_RENDER && e.Measuring) {
            continue;
        }
        if (KeReadStateEvent(&e.ErrorEvent[d]) != 0) {
            // A recovery waits for the bus only until its transfers are back; the rest of it
            // (pipe reset, re-priming) is the thread's own work.
            BOOLEAN drained = KeReadStateEvent(&e.IdleEvent[d]) != 0 &&
                              (d != ENGINE_RENDER || e.Pacing != EnginePacingExplicit ||
                               KeReadStateEvent(&e.FeedbackIdle) != 0);
            if (drained) {
                return TRUE;
            }
            continue;
        }
        if (KeReadStateSemaphore(&e.Slots[d]) > 0) {
            return TRUE;
        }
        if (d == ENGINE_RENDER && KeReadStateEvent(&e.FeedbackEnable) != 0 &&
            KeReadStateSemaphore(&e.FeedbackSlots) > 0) {
            return TRUE;
        }
    }
    return FALSE;
}

// Which: ENGINE_RENDER, ENGINE_CAPTURE or ENGINE_FEEDBACK_WORK. Leaving 0 clears the idle event.
VOID CAdapterCommon::WorkBegin(ULONG Which)
{
    ADAPTER_ENGINE &e = m_Engine;
    PKSPIN_LOCK lock = Which == ENGINE_FEEDBACK_WORK ? &e.FeedbackWorkLock : &e.WorkLock[Which];
    LONG *count = Which == ENGINE_FEEDBACK_WORK ? &e.FeedbackWork : &e.WorkInProgress[Which];
    PKEVENT idle = Which == ENGINE_FEEDBACK_WORK ? &e.FeedbackIdle : &e.IdleEvent[Which];
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(lock, &lockHandle);
    if ((*count)++ == 0) {
        KeClearEvent(idle);
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

// Reaching 0 sets the idle event.
VOID CAdapterCommon::WorkEnd(ULONG Which)
{
    ADAPTER_ENGINE &e = m_Engine;
    PKSPIN_LOCK lock = Which == ENGINE_FEEDBACK_WORK ? &e.FeedbackWorkLock : &e.WorkLock[Which];
    LONG *count = Which == ENGINE_FEEDBACK_WORK ? &e.FeedbackWork : &e.WorkInProgress[Which];
    PKEVENT idle = Which == ENGINE_FEEDBACK_WORK ? &e.FeedbackIdle : &e.IdleEvent[Which];
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(lock, &lockHandle);
    ASSERT(*count > 0);
    if (*count > 0 && --(*count) == 0) {
        KeSetEvent(idle, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

ULONG CAdapterCommon::QueryBusFrame()
{
    ULONG frame = 0;
    PUSB_BUS_INTERFACE_USBDI_V1 bus = m_Usb.GetBusInterfaceTable();
    if (bus->QueryBusTime != nullptr) {
        bus->QueryBusTime(bus->BusContext, &frame);
    }
    return frame;
}

// A zeroed entry with a buffer of BufferBytes (and an MDL over it when asked) and a work item;
// null when the entry or its buffer or MDL cannot be had. A missing work item is allowed.
// DISPATCH_LEVEL or below.
TransferEntry *CAdapterCommon::AllocateEntry(ULONG Kind, ULONG BufferBytes, BOOLEAN WithMdl)
{
    auto entry = static_cast<TransferEntry *>(ExAllocateFromNPagedLookasideList(&m_Engine.EntryPool));
    if (entry == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(entry, sizeof(*entry));
    entry->Kind = Kind;
    entry->Adapter = this;
    InitializeListHead(&entry->Links);
    InitializeListHead(&entry->AsioMixLink);
    InitializeListHead(&entry->OsMixLink);
    entry->Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(g_PoolType, BufferBytes, ASYNC_TAG));
    if (entry->Buffer != nullptr) {
        entry->BufferBytes = BufferBytes;
        RtlZeroMemory(entry->Buffer, BufferBytes);
    }
    if (entry->Buffer != nullptr && WithMdl) {
        entry->Mdl = IoAllocateMdl(entry->Buffer, BufferBytes, FALSE, FALSE, nullptr);
        if (entry->Mdl != nullptr) {
            MmBuildMdlForNonPagedPool(entry->Mdl);
        }
    }
    if (entry->Buffer == nullptr || (WithMdl && entry->Mdl == nullptr)) {
        FreeEntry(entry);
        return nullptr;
    }
    if (m_Fdo != nullptr) {
        entry->WorkItem = IoAllocateWorkItem(m_Fdo);
    }
    return entry;
}

VOID CAdapterCommon::FreeEntry(TransferEntry *Entry)
{
    if (Entry->WorkItem != nullptr) {
        IoFreeWorkItem(Entry->WorkItem);
    }
    if (Entry->Mdl != nullptr) {
        IoFreeMdl(Entry->Mdl);
    }
    if (Entry->Buffer != nullptr) {
        ExFreePoolWithTag(Entry->Buffer, ASYNC_TAG);
    }
    ExFreeToNPagedLookasideList(&m_Engine.EntryPool, Entry);
}

// Queues the entry's work item; FALSE when it has none. The routine must end with
// WorkItemReturned. DISPATCH_LEVEL or below.
BOOLEAN CAdapterCommon::QueueEntryWork(TransferEntry *Entry, PIO_WORKITEM_ROUTINE Routine)
{
    if (Entry->WorkItem == nullptr) {
        return FALSE;
    }
    if (InterlockedIncrement(&m_Engine.WorkItems) == 1) {
        KeClearEvent(&m_Engine.WorkItemsDone);
    }
    IoQueueWorkItem(Entry->WorkItem, Routine, DelayedWorkQueue, Entry);
    return TRUE;
}

// The last thing a work-item routine of the engine does: after it the entry may be freed.
VOID CAdapterCommon::WorkItemReturned()
{
    if (InterlockedDecrement(&m_Engine.WorkItems) == 0) {
        KeSetEvent(&m_Engine.WorkItemsDone, IO_NO_INCREMENT, FALSE);
    }
}

BOOLEAN CAdapterCommon::IsDeviceGoneStatus(NTSTATUS Status)
{
    return Status == STATUS_NO_SUCH_DEVICE || Status == STATUS_DELETE_PENDING ||
           Status == STATUS_DEVICE_NOT_CONNECTED;
}

// A completion said the device is gone: the extension's removing flag goes up. Any IRQL up to
// DISPATCH_LEVEL.
VOID CAdapterCommon::MarkRemoving()
{
    PDEVICE_OBJECT fdo = m_Fdo;
    if (fdo != nullptr) {
        InterlockedExchange(reinterpret_cast<LONG volatile *>(&AsyncExtension(fdo)->Removing), 1);
    }
}

// "gDumpCapture": one buffer as hex bytes in verbose streaming traces, 16 a line, the rest as
// "0x%02x," in a last line.
VOID CAdapterCommon::DumpBuffer(const UCHAR *Data, ULONG Bytes)
{
    if (TraceEnabled(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM)) {
        ULONG whole = Bytes / 16 * 16;
        for (ULONG i = 0; i < whole; i += 16) {
            const UCHAR *p = Data + i;
            TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM,
                        "%02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x", p[0],
                        p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
        }
        CHAR rest[16 * 5 + 1] = "";
        for (ULONG i = whole; i < Bytes; ++i) {
            RtlStringCbPrintfA(rest + (i - whole) * 5, sizeof(rest) - (i - whole) * 5, "0x%02x,", Data[i]);
        }
        if (whole != Bytes) {
            TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM, "%s", rest);
        }
    }
}
