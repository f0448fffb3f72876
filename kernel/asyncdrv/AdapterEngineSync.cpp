// CAdapterCommon's streaming engine, render pacing: the explicit feedback reads that size render
// transfers and release the render slots, and the duplex measuring and frame debt that keep
// render in step with capture in implicit-feedback mode.
#include "AdapterCommon.h"
#include "AsyncDriver.h"

// Submits one feedback read with Entry (a new entry and buffer when null). Refused or failed:
// the entry is freed, the feedback slot released and feedback work ends. DISPATCH_LEVEL or
// below.
VOID CAdapterCommon::QueueFeedbackRead(TransferEntry *Entry)
{
    ADAPTER_ENGINE &e = m_Engine;
    TransferEntry *entry = Entry;
    ULONG size = m_Usb.GetFeedbackBufferSize();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    BOOLEAN noMemory = FALSE;
    if (KeReadStateEvent(&e.ErrorEvent[ENGINE_RENDER]) != 0 || KeReadStateEvent(&e.FeedbackEnable) == 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM, "o: feedback read refused (error pending or disabled)");
    } else if (size != 0) {
        if (entry == nullptr) {
            entry = AllocateEntry(TRANSFER_ENTRY_FEEDBACK, size, FALSE);
            noMemory = entry == nullptr;
        }
        if (entry != nullptr && size <= entry->BufferBytes) {
            entry->BytesRequested = size;
            status = m_Usb.RecvFeedback(entry->Buffer, size, FeedbackComplete, entry);
            if (!NT_SUCCESS(status)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "o: RecvFeedback failed: 0x%08X", status);
            }
        } else if (noMemory) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "o: no memory for a feedback read, slot retired");
        }
    }
    if (NT_SUCCESS(status)) {
        ++e.Counters.FeedbackReads;
        return;
    }
    if (entry != nullptr) {
        FreeEntry(entry);
    }
    if (!noMemory) {
        KeReleaseSemaphore(&e.FeedbackSlots, IO_NO_INCREMENT, 1, FALSE);
    } else {
        // No memory for the read: its slot is retired until the next start rather than taken
        // and handed back by the render thread for as long as allocations fail.
        ++e.Counters.RetiredSlots;
    }
    WorkEnd(ENGINE_FEEDBACK_WORK);
}

// The 16.16 value a feedback read may report, or the nominal value in its place: 0, less than
// one frame, or more than a frame away from nominal is taken for noise.
ULONG CAdapterCommon::CheckFeedbackValue(ULONG Value, ULONG Nominal)
{
    LONG64 value = Value;
    LONG64 nominal = Nominal;
    if (Value == 0) {
        return Nominal;
    }
    if (value < 0x10000 || value < nominal - 0x10000 || value > nominal + 0x10000) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "o: feedback value 0x%08lX replaced by 0x%08lX", Value,
                    Nominal);
        ++m_Engine.Counters.FeedbackReplaced;
        return Nominal;
    }
    return Value;
}

// Completion of a feedback read, at DISPATCH_LEVEL: the value is checked and stored, the first
// good value after a start or recovery releases the render slots, and the read goes out again.
VOID CAdapterCommon::FeedbackComplete(NTSTATUS Status, ULONG Value, ULONG StartFrame, PVOID Context, ULONG Frames)
{
    UNREFERENCED_PARAMETER(StartFrame);
    UNREFERENCED_PARAMETER(Frames);
    auto entry = static_cast<TransferEntry *>(Context);
    CAdapterCommon *adapter = entry->Adapter;
    ADAPTER_ENGINE &e = adapter->m_Engine;
    entry->Status = Status;
    if (!NT_SUCCESS(Status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "o: feedback read failed: 0x%08X", Status);
        if (IsDeviceGoneStatus(Status)) {
            adapter->MarkRemoving();
        }
        KeSetEvent(&e.ErrorEvent[ENGINE_RENDER], IO_NO_INCREMENT, FALSE);
        if (!adapter->QueueEntryWork(entry, FeedbackWorkItem)) {
            adapter->FreeEntry(entry);
            KeReleaseSemaphore(&e.FeedbackSlots, IO_NO_INCREMENT, 1, FALSE);
            adapter->WorkEnd(ENGINE_FEEDBACK_WORK);
        }
        return;
    }
    USB_STREAMING_INTERFACE *record = adapter->m_Usb.GetRecord(0);
    if (record != nullptr) {
        ULONG value = adapter->CheckFeedbackValue(Value, adapter->m_Usb.NominalFeedback(record->SampleRate));
        KLOCK_QUEUE_HANDLE lockHandle;
        KeAcquireInStackQueuedSpinLock(&record->FeedbackLock, &lockHandle);
        record->LatestFeedbackValue = value;
        KeReleaseInStackQueuedSpinLock(&lockHandle);
    }
    if (InterlockedCompareExchange(&e.SlotsGranted, 1, 0) == 0 && e.RenderEntries != 0) {
        KeReleaseSemaphore(&e.Slots[ENGINE_RENDER], IO_NO_INCREMENT, static_cast<LONG>(e.RenderEntries), FALSE);
    }
    adapter->QueueFeedbackRead(entry);
}

// A failed feedback read goes out again at PASSIVE_LEVEL (refused while render recovers).
VOID CAdapterCommon::FeedbackWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto entry = static_cast<TransferEntry *>(Context);
    CAdapterCommon *adapter = entry->Adapter;
    adapter->QueueFeedbackRead(entry);
    adapter->WorkItemReturned();
}

// Implicit feedback: the free render entries are sized from what capture delivers, param1 /
// param3 capture transfers each. Blocks the render thread until measured or stopped.
VOID CAdapterCommon::MeasureDuplex()
{
    ADAPTER_ENGINE &e = m_Engine;
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&e.RenderListLock, &lockHandle);
    for (PLIST_ENTRY link = e.RenderFree.Flink; link != &e.RenderFree; link = link->Flink) {
        CONTAINING_RECORD(link, TransferEntry, Links)->BytesRequested = 0;
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);

    KeAcquireInStackQueuedSpinLock(&e.MeasureLock, &lockHandle);
    e.MeasureIndex = 0;
    e.MeasureCount = 0;
    e.Measuring = TRUE;
    KeClearEvent(&e.Measured);
    KeReleaseInStackQueuedSpinLock(&lockHandle);

    PVOID objects[3] = {&e.Measured, &e.StopEvent[ENGINE_CAPTURE], &e.StopEvent[ENGINE_RENDER]};
    NTSTATUS wait = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    if (wait == STATUS_WAIT_1) {
        // Without capture there is nothing to follow: render ends too.
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_STREAM, "o: capture stopped while measuring, render stops");
        SignalStop(FALSE);
    } else if (wait == STATUS_WAIT_0 + 2) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_STREAM, "o: stopped while measuring");
    }
    if (wait != STATUS_WAIT_0) {
        KeAcquireInStackQueuedSpinLock(&e.MeasureLock, &lockHandle);
        e.Measuring = FALSE;
        KeReleaseInStackQueuedSpinLock(&lockHandle);
        KeClearEvent(&e.Measured);
    }
}

// One capture transfer of Bytes counted into the entry being measured. DISPATCH_LEVEL or below.
VOID CAdapterCommon::CountCaptureForSync(ULONG Bytes)
{
    ADAPTER_ENGINE &e = m_Engine;
    if (e.CaptureFrameBytes == 0 || e.RenderFrameBytes == 0) {
        return;
    }
    KLOCK_QUEUE_HANDLE measureHandle;
    KeAcquireInStackQueuedSpinLock(&e.MeasureLock, &measureHandle);
    if (e.Measuring) {
        KLOCK_QUEUE_HANDLE listHandle;
        KeAcquireInStackQueuedSpinLock(&e.RenderListLock, &listHandle);
        TransferEntry *entry = nullptr;
        ULONG index = 0;
        ULONG count = 0;
        for (PLIST_ENTRY link = e.RenderFree.Flink; link != &e.RenderFree; link = link->Flink, ++count) {
            if (index++ == e.MeasureIndex) {
                entry = CONTAINING_RECORD(link, TransferEntry, Links);
            }
        }
        if (entry == nullptr) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "o: measuring ran past the entries");
            e.Measuring = FALSE;
        } else {
            entry->BytesRequested += Bytes / e.CaptureFrameBytes * e.RenderFrameBytes;
            ULONG perEntry = g_Tuning.Param3 != 0 ? g_Tuning.Param1 / g_Tuning.Param3 : 1;
            if (++e.MeasureCount >= (perEntry != 0 ? perEntry : 1)) {
                e.MeasureCount = 0;
                if (++e.MeasureIndex >= count) {
                    LONG64 excess = static_cast<LONG64>(entry->BytesRequested) - e.RenderNominal;
                    KLOCK_QUEUE_HANDLE debtHandle;
                    KeAcquireInStackQueuedSpinLock(&e.DebtLock, &debtHandle);
                    e.Debt = static_cast<LONG>(excess / static_cast<LONG64>(e.RenderFrameBytes));
                    KeReleaseInStackQueuedSpinLock(&debtHandle);
                    e.Measuring = FALSE;
                    KeSetEvent(&e.Measured, IO_NO_INCREMENT, FALSE);
                }
            }
        }
        KeReleaseInStackQueuedSpinLock(&listHandle);
    }
    KeReleaseInStackQueuedSpinLock(&measureHandle);
}
