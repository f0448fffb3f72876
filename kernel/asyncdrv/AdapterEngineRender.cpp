// CAdapterCommon's streaming engine, render direction: the render thread with its recovery,
// building and submitting render transfers, and their completion through the render DPC.
#include "AdapterCommon.h"
#include "AsyncDriver.h"

VOID CAdapterCommon::RenderThreadMain(PVOID Context)
{
    static_cast<CAdapterCommon *>(Context)->RenderThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// The pacing source of render: implicit feedback measures the captured amount (blocking),
// explicit feedback lets the feedback reads run. PASSIVE_LEVEL, in the render thread.
VOID CAdapterCommon::StartRenderPacing()
{
    if (m_Engine.Pacing == EnginePacingImplicit) {
        MeasureDuplex();
    } else if (m_Engine.Pacing == EnginePacingExplicit) {
        KeSetEvent(&m_Engine.FeedbackEnable, IO_NO_INCREMENT, FALSE);
    }
}

// Takes Count render slots back without waiting; used when fewer entries exist than slots.
VOID CAdapterCommon::WithdrawRenderSlots(ULONG Count)
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    for (ULONG i = 0; i < Count; ++i) {
        KeWaitForSingleObject(&m_Engine.Slots[ENGINE_RENDER], Executive, KernelMode, FALSE, &zero);
    }
}

VOID CAdapterCommon::RenderThread()
{
    ADAPTER_ENGINE &e = m_Engine;
    ULONG wanted = g_Tuning.Param2;
    ULONG allocated = 0;
    for (ULONG i = 0; i < wanted; ++i) {
        TransferEntry *entry = AllocateEntry(TRANSFER_ENTRY_RENDER, e.RenderMaxBytes, TRUE);
        if (entry != nullptr) {
            KLOCK_QUEUE_HANDLE lockHandle;
            KeAcquireInStackQueuedSpinLock(&e.RenderListLock, &lockHandle);
            InsertTailList(&e.RenderFree, &entry->Links);
            KeReleaseInStackQueuedSpinLock(&lockHandle);
            ++allocated;
        }
    }
    // The slots in play are the entries there are: a slot without an entry would be taken and
    // handed back for as long as the stream runs.
    e.RenderEntries = allocated;
    if (allocated < wanted) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "o: %lu of %lu render entries allocated", allocated,
                    wanted);
    }
    if (e.SlotsGranted != 0) {
        WithdrawRenderSlots(wanted - allocated);
    }

    enum { NoSlot, RenderSlot, FeedbackSlot } taken = NoSlot;
    if (allocated == 0) {
        e.StartFailure[ENGINE_RENDER] = STATUS_INSUFFICIENT_RESOURCES;
        KeSetEvent(&e.StopEvent[ENGINE_RENDER], IO_NO_INCREMENT, FALSE);
    } else {
        KeClearEvent(&e.ErrorEvent[ENGINE_RENDER]);
        StartRenderPacing();
    }

    for (;;) {
        // Stop is part of the slot wait, so that a thread without a free slot still leaves.
        PVOID slotObjects[3] = {&e.StopEvent[ENGINE_RENDER], &e.Slots[ENGINE_RENDER], &e.FeedbackSlots};
        NTSTATUS slot =
            KeWaitForMultipleObjects(3, slotObjects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (slot == STATUS_WAIT_0) {
            break;
        }
        taken = slot == STATUS_WAIT_1 ? RenderSlot : FeedbackSlot;
        PVOID runObjects[3] = {&e.StopEvent[ENGINE_RENDER], &e.ErrorEvent[ENGINE_RENDER], &e.RunEvent[ENGINE_RENDER]};
        NTSTATUS wait =
            KeWaitForMultipleObjects(3, runObjects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (wait == STATUS_WAIT_0) {
            break;
        }
        if (wait == STATUS_WAIT_1) {
            RecoverRender(taken == RenderSlot);
        } else if (taken == RenderSlot) {
            WorkBegin(ENGINE_RENDER);
            SubmitRenderData(nullptr);
        } else {
            WorkBegin(ENGINE_FEEDBACK_WORK);
            QueueFeedbackRead(nullptr);
        }
        taken = NoSlot;
    }

    if (taken == RenderSlot) {
        KeReleaseSemaphore(&e.Slots[ENGINE_RENDER], IO_NO_INCREMENT, 1, FALSE);
    } else if (taken == FeedbackSlot) {
        KeReleaseSemaphore(&e.FeedbackSlots, IO_NO_INCREMENT, 1, FALSE);
    }
    KeWaitForSingleObject(&e.IdleEvent[ENGINE_RENDER], Executive, KernelMode, FALSE, nullptr);
    if (e.Pacing == EnginePacingExplicit) {
        KeClearEvent(&e.FeedbackEnable);
        KeWaitForSingleObject(&e.FeedbackIdle, Executive, KernelMode, FALSE, nullptr);
    }
    // Work items resubmitting failed transfers may still be returning.
    KeWaitForSingleObject(&e.WorkItemsDone, Executive, KernelMode, FALSE, nullptr);

    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&e.RenderListLock, &lockHandle);
    LIST_ENTRY entries;
    InitializeListHead(&entries);
    while (!IsListEmpty(&e.RenderFree)) {
        PLIST_ENTRY link = RemoveHeadList(&e.RenderFree);
        InsertTailList(&entries, link);
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    while (!IsListEmpty(&entries)) {
        TransferEntry *entry = CONTAINING_RECORD(RemoveHeadList(&entries), TransferEntry, Links);
        // Every transfer has completed; a piece still queued must not outlive its entry.
        EngineMixWithdraw(entry);
        FreeEntry(entry);
    }
    e.RenderEntries = 0;
}

// Render error: drain every transfer, reset the pipes, and prime again. HeldRenderSlot tells
// which semaphore the slot the thread had just taken belongs to. PASSIVE_LEVEL.
VOID CAdapterCommon::RecoverRender(BOOLEAN HeldRenderSlot)
{
    ADAPTER_ENGINE &e = m_Engine;
    BOOLEAN explicitMode = e.Pacing == EnginePacingExplicit;
    ++e.Counters.Recoveries[ENGINE_RENDER];
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_STREAM, "o: recovery");
    KeReleaseSemaphore(HeldRenderSlot ? &e.Slots[ENGINE_RENDER] : &e.FeedbackSlots, IO_NO_INCREMENT, 1, FALSE);
    KeWaitForSingleObject(&e.IdleEvent[ENGINE_RENDER], Executive, KernelMode, FALSE, nullptr);
    if (explicitMode) {
        KeClearEvent(&e.FeedbackEnable);
        KeWaitForSingleObject(&e.FeedbackIdle, Executive, KernelMode, FALSE, nullptr);
    }
    USB_STREAMING_INTERFACE *record = m_Usb.GetRecord(0);
    NTSTATUS status = m_Usb.ResetPipe(record != nullptr ? record->DataPipe : nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "o: render pipe reset failed: 0x%08X", status);
    }
    if (explicitMode) {
        status = m_Usb.ResetPipe(record != nullptr ? record->FeedbackPipe : nullptr);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "o: feedback pipe reset failed: 0x%08X", status);
        }
        if (e.SlotsGranted != 0) {
            for (ULONG i = 0; i < e.RenderEntries; ++i) {
                KeWaitForSingleObject(&e.Slots[ENGINE_RENDER], Executive, KernelMode, FALSE, nullptr);
            }
            e.SlotsGranted = 0;
        }
    }
    KeClearEvent(&e.ErrorEvent[ENGINE_RENDER]);
    LARGE_INTEGER pause;
    pause.QuadPart = -static_cast<LONGLONG>(ENGINE_RECOVERY_PAUSE_MS) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);

    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&e.RenderListLock, &lockHandle);
    InterlockedExchange(&e.Resync[ENGINE_RENDER], 1);
    KeClearEvent(&e.FirstCompletion[ENGINE_RENDER]);
    EngineMixReprime();
    KeReleaseInStackQueuedSpinLock(&lockHandle);

    StartRenderPacing();
    if (EngineAsioCapturePaced()) {
        EngineRaiseStreamReset();
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_STREAM, "o: recovered");
}

// Recycles Entry (when given) and submits the next render transfer from the free list. Any
// IRQL up to DISPATCH_LEVEL. A call that submits nothing gives back the render slot it ran with.
VOID CAdapterCommon::SubmitRenderData(TransferEntry *Entry)
{
    ADAPTER_ENGINE &e = m_Engine;
    BOOLEAN recycled = Entry != nullptr;
    BOOLEAN submitted = FALSE;
    TransferEntry *entry = nullptr;
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&e.RenderListLock, &lockHandle);
    if (recycled) {
        Entry->BytesRequested = 0;
        InsertTailList(&e.RenderFree, &Entry->Links);
    }

    if (KeReadStateEvent(&e.RunEvent[ENGINE_RENDER]) == 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM, "o: not running, nothing submitted");
    } else if (KeReadStateEvent(&e.StopEvent[ENGINE_RENDER]) != 0 && IsListEmpty(&m_Queue[0])) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM, "o: stopping, nothing submitted");
    } else if (KeReadStateEvent(&e.ErrorEvent[ENGINE_RENDER]) != 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM, "o: error pending, nothing submitted");
    } else if (IsListEmpty(&e.RenderFree)) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM, "o: no free entry, nothing submitted");
    } else {
        entry = CONTAINING_RECORD(RemoveHeadList(&e.RenderFree), TransferEntry, Links);
        ULONG bytes = RenderTransferBytes(entry);
        if (bytes > e.RenderMaxBytes || bytes > entry->BufferBytes) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "o: %lu bytes exceed the transfer maximum %lu", bytes,
                        e.RenderMaxBytes);
        } else if (bytes != 0) {
            entry->BytesRequested = bytes;
            RtlFillMemory(entry->Buffer, bytes, EngineFillByte());
            // A first-primed transfer leaves as fill; recycled ones carry the direct sources.
            if (recycled) {
                EngineMixDirect(entry->Buffer, bytes);
            }
            if (g_DumpCapture == -2) {
                DumpBuffer(entry->Buffer, bytes);
            }
            NTSTATUS status;
            InterlockedIncrement(&e.RenderInFlight);
            // Queued before the submission: its completion commits the piece, and may run on
            // another processor before the submission call returns.
            EngineMixQueue(entry);
            if (m_Duplex != 0) {
                ULONG frame = QueryBusFrame();
                if (InterlockedExchange(&e.Resync[ENGINE_RENDER], 0) != 0) {
                    e.NextStartFrame[ENGINE_RENDER] = frame + 1;
                } else {
                    e.NextStartFrame[ENGINE_RENDER] += g_Tuning.Param1;
                }
                entry->SubmitFrame = e.NextStartFrame[ENGINE_RENDER];
                status = m_Usb.SubmitRenderTransferSynced(entry->Mdl, bytes, g_Tuning.Param1, RenderComplete, entry,
                                                          entry->SubmitFrame);
            } else {
                status = m_Usb.SubmitRenderTransfer(entry->Mdl, bytes, g_Tuning.Param1, RenderComplete, entry);
            }
            if (NT_SUCCESS(status)) {
                submitted = TRUE;
            } else {
                EngineMixWithdraw(entry);
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "o: submission failed: 0x%08X", status);
                ++e.Counters.Failures[ENGINE_RENDER];
                KeSetEvent(&e.ErrorEvent[ENGINE_RENDER], IO_NO_INCREMENT, FALSE);
                InterlockedDecrement(&e.RenderInFlight);
            }
        }
        if (!submitted) {
            InsertHeadList(&e.RenderFree, &entry->Links);
        }
    }
    if (!submitted) {
        ++e.Counters.IdleSlotReleases;
        KeReleaseSemaphore(&e.Slots[ENGINE_RENDER], IO_NO_INCREMENT, 1, FALSE);
        WorkEnd(ENGINE_RENDER);
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

// The byte count of the next render transfer, recorded in Entry. Under the render list lock.
ULONG CAdapterCommon::RenderTransferBytes(TransferEntry *Entry)
{
    ADAPTER_ENGINE &e = m_Engine;
    ULONG bytes = 0;
    if (e.Pacing == EnginePacingImplicit) {
        if (KeReadStateEvent(&e.FirstCompletion[ENGINE_RENDER]) == 0) {
            // Before the first completion the measured amount stands, up to what the packets
            // can carry: frames above that stay in the mix sources' FIFOs.
            bytes = Entry->BytesRequested;
            LONG64 largest = static_cast<LONG64>(e.RenderNominal) + static_cast<LONG64>(e.RenderAbove) * e.RenderFrameBytes;
            if (e.RenderNominal != 0 && static_cast<LONG64>(bytes) > largest) {
                bytes = static_cast<ULONG>(largest);
            }
        } else {
            bytes = e.RenderNominal;
            if (bytes != 0) {
                KLOCK_QUEUE_HANDLE lockHandle;
                KeAcquireInStackQueuedSpinLock(&e.DebtLock, &lockHandle);
                LONG adjustment = e.Debt < e.RenderBelow ? e.RenderBelow
                                                         : (e.Debt < e.RenderAbove ? e.Debt : e.RenderAbove);
                e.Debt -= adjustment;
                KeReleaseInStackQueuedSpinLock(&lockHandle);
                LONG64 total = static_cast<LONG64>(bytes) + static_cast<LONG64>(adjustment) * e.RenderFrameBytes;
                bytes = total > 0 ? static_cast<ULONG>(total) : 0;
            }
        }
        if (bytes == 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "o: implicit transfer of 0 bytes");
            KeSetEvent(&e.ErrorEvent[ENGINE_RENDER], IO_NO_INCREMENT, FALSE);
        }
        return bytes;
    }
    ULONG value = 0;
    USB_STREAMING_INTERFACE *record = m_Usb.GetRecord(0);
    if (record != nullptr && record->FeedbackPipe != nullptr) {
        KLOCK_QUEUE_HANDLE lockHandle;
        KeAcquireInStackQueuedSpinLock(&record->FeedbackLock, &lockHandle);
        record->FeedbackValueInUse = record->LatestFeedbackValue;
        value = record->FeedbackValueInUse;
        KeReleaseInStackQueuedSpinLock(&lockHandle);
    }
    Entry->FeedbackValue = value;
    return m_Usb.GetRenderBytesPerTransfer(g_Tuning.Param1, value);
}

// Completion of a render transfer: stamp it and hand it to the render DPC. DISPATCH_LEVEL or
// below.
VOID CAdapterCommon::RenderComplete(NTSTATUS Status, ULONG Bytes, ULONG StartFrame, PVOID Context, ULONG Frames)
{
    auto entry = static_cast<TransferEntry *>(Context);
    CAdapterCommon *adapter = entry->Adapter;
    entry->CompletionFrame = adapter->QueryBusFrame();
    entry->Status = Status;
    entry->BytesTransferred = Bytes;
    entry->StartFrame = StartFrame;
    entry->FrameCount = Frames;
    adapter->QueueCompletion(ENGINE_RENDER, entry);
}

VOID CAdapterCommon::QueueCompletion(ULONG Direction, TransferEntry *Entry)
{
    ADAPTER_ENGINE &e = m_Engine;
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&e.CompletionLock[Direction], &lockHandle);
    BOOLEAN wasEmpty = IsListEmpty(&e.CompletionList[Direction]);
    InsertTailList(&e.CompletionList[Direction], &Entry->Links);
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    if (wasEmpty) {
        KeInsertQueueDpc(&e.Dpc[Direction], nullptr, nullptr);
    }
}

TransferEntry *CAdapterCommon::NextCompletion(ULONG Direction)
{
    ADAPTER_ENGINE &e = m_Engine;
    TransferEntry *entry = nullptr;
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&e.CompletionLock[Direction], &lockHandle);
    if (!IsListEmpty(&e.CompletionList[Direction])) {
        entry = CONTAINING_RECORD(RemoveHeadList(&e.CompletionList[Direction]), TransferEntry, Links);
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    return entry;
}

VOID CAdapterCommon::RenderDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    auto adapter = static_cast<CAdapterCommon *>(Context);
    for (TransferEntry *entry = adapter->NextCompletion(ENGINE_RENDER); entry != nullptr;
         entry = adapter->NextCompletion(ENGINE_RENDER)) {
        adapter->ProcessRenderCompletion(entry);
    }
}

// Checks the completion's timing and status and recycles the entry. DISPATCH_LEVEL.
VOID CAdapterCommon::ProcessRenderCompletion(TransferEntry *Entry)
{
    ADAPTER_ENGINE &e = m_Engine;
    NTSTATUS status = Entry->Status;
    InterlockedDecrement(&e.RenderInFlight);
    if (KeReadStateEvent(&e.FirstCompletion[ENGINE_RENDER]) != 0) {
        ULONG gap = Entry->CompletionFrame - e.PreviousFrame[ENGINE_RENDER];
        if (gap >= g_Tuning.Param2 * g_Tuning.Param1) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "o: underrun, %lu frames since the previous completion",
                        gap);
            ++e.Counters.Underruns[ENGINE_RENDER];
            if (NT_SUCCESS(status)) {
                status = STATUS_UNEXPECTED_IO_ERROR;
            }
        } else if (gap > g_Tuning.Param1) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "o: late completion, %lu frames", gap);
        }
    } else {
        KeSetEvent(&e.FirstCompletion[ENGINE_RENDER], IO_NO_INCREMENT, FALSE);
    }
    e.PreviousFrame[ENGINE_RENDER] = Entry->CompletionFrame;
    EngineMixCommit(g_Tuning.Param1 + Entry->StartFrame);

    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "o: transfer failed: 0x%08X", status);
        ++e.Counters.Failures[ENGINE_RENDER];
        if (IsDeviceGoneStatus(status)) {
            KeSetEvent(&e.StopEvent[ENGINE_RENDER], IO_NO_INCREMENT, FALSE);
            MarkRemoving();
        }
        InterlockedExchange(&e.Resync[ENGINE_RENDER], 1);
        KeSetEvent(&e.ErrorEvent[ENGINE_RENDER], IO_NO_INCREMENT, FALSE);
    } else if (Entry->BytesTransferred != Entry->BytesRequested) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "o: %lu of %lu bytes moved", Entry->BytesTransferred,
                    Entry->BytesRequested);
        InterlockedExchange(&e.Resync[ENGINE_RENDER], 1);
        KeSetEvent(&e.ErrorEvent[ENGINE_RENDER], IO_NO_INCREMENT, FALSE);
    }

    if (NT_SUCCESS(status)) {
        // A healthy stream keeps its transfers in flight from here, without the thread.
        SubmitRenderData(Entry);
    } else if (!QueueEntryWork(Entry, RenderWorkItem)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "o: no work item, the entry waits on the free list");
        KLOCK_QUEUE_HANDLE lockHandle;
        KeAcquireInStackQueuedSpinLock(&e.RenderListLock, &lockHandle);
        Entry->BytesRequested = 0;
        InsertTailList(&e.RenderFree, &Entry->Links);
        KeSetEvent(&e.ErrorEvent[ENGINE_RENDER], IO_NO_INCREMENT, FALSE);
        KeReleaseSemaphore(&e.Slots[ENGINE_RENDER], IO_NO_INCREMENT, 1, FALSE);
        WorkEnd(ENGINE_RENDER);
        KeReleaseInStackQueuedSpinLock(&lockHandle);
    }
}

// A failed render transfer's entry goes back through SubmitRenderData at PASSIVE_LEVEL.
VOID CAdapterCommon::RenderWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto entry = static_cast<TransferEntry *>(Context);
    CAdapterCommon *adapter = entry->Adapter;
    adapter->SubmitRenderData(entry);
    adapter->WorkItemReturned();
}
