// CAdapterCommon's streaming engine, capture direction: the capture thread with its recovery,
// capture submissions, their completion through the capture DPC, and the delivery of captured
// data to the mix sources, the device channel and the operating-system capture stream.
#include "AdapterCommon.h"
#include "AsyncDriver.h"

VOID EngineConvertCapture(PUCHAR Destination, ULONG DestinationChannels, ULONG DestinationBytes,
                          const UCHAR *Source, ULONG SourceChannels, ULONG SourceBytes, ULONG Frames)
{
    if (DestinationChannels == SourceChannels && DestinationBytes == SourceBytes) {
        RtlCopyMemory(Destination, Source, static_cast<SIZE_T>(Frames) * SourceChannels * SourceBytes);
        return;
    }
    // Unsigned 8-bit samples meet signed wider ones: the top byte moves by 128.
    UCHAR offset = (DestinationBytes == 1) != (SourceBytes == 1) ? 0x80 : 0;
    UCHAR silence = DestinationBytes == 1 ? 0x80 : 0;
    ULONG kept = DestinationBytes < SourceBytes ? DestinationBytes : SourceBytes;
    for (ULONG f = 0; f < Frames; ++f) {
        for (ULONG c = 0; c < DestinationChannels; ++c) {
            PUCHAR out = Destination + c * DestinationBytes;
            if (c >= SourceChannels) {
                RtlFillMemory(out, DestinationBytes, silence);
                continue;
            }
            const UCHAR *in = Source + c * SourceBytes;
            ULONG low = DestinationBytes - kept;
            RtlZeroMemory(out, low);
            RtlCopyMemory(out + low, in + (SourceBytes - kept), kept);
            out[DestinationBytes - 1] = static_cast<UCHAR>(out[DestinationBytes - 1] ^ offset);
        }
        Destination += DestinationChannels * DestinationBytes;
        Source += SourceChannels * SourceBytes;
    }
}

VOID CAdapterCommon::CaptureThreadMain(PVOID Context)
{
    static_cast<CAdapterCommon *>(Context)->CaptureThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID CAdapterCommon::CaptureThread()
{
    ADAPTER_ENGINE &e = m_Engine;
    BOOLEAN holding = FALSE;
    KeClearEvent(&e.ErrorEvent[ENGINE_CAPTURE]);
    for (;;) {
        PVOID slotObjects[2] = {&e.StopEvent[ENGINE_CAPTURE], &e.Slots[ENGINE_CAPTURE]};
        NTSTATUS slot =
            KeWaitForMultipleObjects(2, slotObjects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (slot == STATUS_WAIT_0) {
            break;
        }
        holding = TRUE;
        PVOID runObjects[3] = {&e.StopEvent[ENGINE_CAPTURE], &e.ErrorEvent[ENGINE_CAPTURE],
                               &e.RunEvent[ENGINE_CAPTURE]};
        NTSTATUS wait =
            KeWaitForMultipleObjects(3, runObjects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (wait == STATUS_WAIT_0) {
            break;
        }
        holding = FALSE;
        if (wait == STATUS_WAIT_1) {
            RecoverCapture();
        } else {
            WorkBegin(ENGINE_CAPTURE);
            SubmitCaptureData(nullptr);
        }
    }
    if (holding) {
        KeReleaseSemaphore(&e.Slots[ENGINE_CAPTURE], IO_NO_INCREMENT, 1, FALSE);
    }
    KeWaitForSingleObject(&e.IdleEvent[ENGINE_CAPTURE], Executive, KernelMode, FALSE, nullptr);
    USB_STREAMING_INTERFACE *record = m_Usb.GetRecord(1);
    NTSTATUS status = m_Usb.ResetPipe(record != nullptr ? record->DataPipe : nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "i: pipe reset failed: 0x%08X", status);
    }
}

// Capture error: abort and drain the pipe, reset it, resynchronise, and let render and the
// device channel's client recover with it. PASSIVE_LEVEL, with a capture slot taken.
VOID CAdapterCommon::RecoverCapture()
{
    ADAPTER_ENGINE &e = m_Engine;
    ++e.Counters.Recoveries[ENGINE_CAPTURE];
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_STREAM, "i: recovery");
    KeReleaseSemaphore(&e.Slots[ENGINE_CAPTURE], IO_NO_INCREMENT, 1, FALSE);
    USB_STREAMING_INTERFACE *record = m_Usb.GetRecord(1);
    PUSBD_PIPE_INFORMATION pipe = record != nullptr ? record->DataPipe : nullptr;
    if (pipe != nullptr && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        URB urb;
        RtlZeroMemory(&urb, sizeof(urb));
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        urb.UrbPipeRequest.PipeHandle = pipe->PipeHandle;
        NTSTATUS status = m_Usb.SubmitUrbSync(&urb);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "i: pipe abort failed: 0x%08X", status);
        }
    }
    KeWaitForSingleObject(&e.IdleEvent[ENGINE_CAPTURE], Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = m_Usb.ResetPipe(pipe);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "i: pipe reset failed: 0x%08X", status);
    }
    InterlockedExchange(&e.Resync[ENGINE_CAPTURE], 1);
    KeClearEvent(&e.FirstCompletion[ENGINE_CAPTURE]);
    KeClearEvent(&e.ErrorEvent[ENGINE_CAPTURE]);
    BOOLEAN asioPaced = EngineAsioCapturePaced();
    if (asioPaced || e.Pacing == EnginePacingImplicit) {
        KeSetEvent(&e.ErrorEvent[ENGINE_RENDER], IO_NO_INCREMENT, FALSE);
    }
    if (asioPaced) {
        EngineRaiseStreamReset();
    }
}

// Submits one capture transfer with Entry (a new entry and buffer when null). A call that
// submits nothing frees the entry and gives back its capture slot. DISPATCH_LEVEL or below.
VOID CAdapterCommon::SubmitCaptureData(TransferEntry *Entry)
{
    ADAPTER_ENGINE &e = m_Engine;
    TransferEntry *entry = Entry;
    BOOLEAN submitted = FALSE;
    BOOLEAN noMemory = FALSE;
    if (KeReadStateEvent(&e.StopEvent[ENGINE_CAPTURE]) != 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM, "i: stopping, nothing submitted");
    } else if (KeReadStateEvent(&e.RunEvent[ENGINE_CAPTURE]) == 0 && e.Pacing != EnginePacingImplicit) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM, "i: not running, nothing submitted");
    } else if (KeReadStateEvent(&e.ErrorEvent[ENGINE_CAPTURE]) != 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM, "i: error pending, nothing submitted");
    } else if (e.CaptureBytes != 0) {
        if (entry == nullptr) {
            entry = AllocateEntry(TRANSFER_ENTRY_CAPTURE, e.CaptureBytes, FALSE);
            noMemory = entry == nullptr;
            if (noMemory) {
                TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "i: no memory for a capture transfer, slot retired");
            }
        }
        if (entry != nullptr && e.CaptureBytes <= entry->BufferBytes) {
            entry->BytesRequested = e.CaptureBytes;
            ULONG frame = QueryBusFrame();
            ULONG &next = e.NextStartFrame[ENGINE_CAPTURE];
            if (InterlockedExchange(&e.Resync[ENGINE_CAPTURE], 0) != 0) {
                next = frame + ENGINE_CAPTURE_LEAD_FRAMES;
            } else {
                ULONG candidate = next + g_Tuning.Param3;
                // Frame numbers wrap: "behind" is a negative distance.
                if (static_cast<LONG>(candidate - frame) < 0) {
                    TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "i: fell behind the bus (%lu < %lu)", candidate,
                                frame);
                    next = frame + ENGINE_CAPTURE_LEAD_FRAMES;
                } else {
                    next = candidate;
                }
            }
            entry->SubmitFrame = next;
            NTSTATUS status = m_Usb.SubmitCaptureTransfer(entry->Buffer, e.CaptureBytes, CaptureComplete, entry, next);
            if (NT_SUCCESS(status)) {
                submitted = TRUE;
            } else {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "i: submission failed: 0x%08X", status);
                ++e.Counters.Failures[ENGINE_CAPTURE];
                KeSetEvent(&e.ErrorEvent[ENGINE_CAPTURE], IO_NO_INCREMENT, FALSE);
            }
        }
    }
    if (!submitted) {
        if (!noMemory) {
            KeReleaseSemaphore(&e.Slots[ENGINE_CAPTURE], IO_NO_INCREMENT, 1, FALSE);
        } else {
            // No memory for the transfer: its slot is retired until the next start, so the
            // capture thread does not take and hand it back while allocations fail.
            ++e.Counters.RetiredSlots;
        }
        if (entry != nullptr) {
            FreeEntry(entry);
        }
        WorkEnd(ENGINE_CAPTURE);
    }
}

VOID CAdapterCommon::CaptureComplete(NTSTATUS Status, ULONG Bytes, ULONG StartFrame, PVOID Context, ULONG Frames)
{
    auto entry = static_cast<TransferEntry *>(Context);
    CAdapterCommon *adapter = entry->Adapter;
    entry->CompletionFrame = adapter->QueryBusFrame();
    entry->Status = Status;
    entry->BytesTransferred = Bytes;
    entry->StartFrame = StartFrame;
    entry->FrameCount = Frames;
    adapter->QueueCompletion(ENGINE_CAPTURE, entry);
}

VOID CAdapterCommon::CaptureDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    auto adapter = static_cast<CAdapterCommon *>(Context);
    for (TransferEntry *entry = adapter->NextCompletion(ENGINE_CAPTURE); entry != nullptr;
         entry = adapter->NextCompletion(ENGINE_CAPTURE)) {
        adapter->ProcessCapture(entry);
    }
}

// One completed capture transfer: timing and status checked, data handed on, the transfer
// resubmitted. DISPATCH_LEVEL.
VOID CAdapterCommon::ProcessCapture(TransferEntry *Entry)
{
    ADAPTER_ENGINE &e = m_Engine;
    NTSTATUS status = Entry->Status;
    BOOLEAN first = KeReadStateEvent(&e.FirstCompletion[ENGINE_CAPTURE]) == 0;
    // The first transfer after a (re)synchronisation also carries what the device held while
    // the pipe was idle, so its packets can fall outside the expected sizes. Its data is
    // dropped; raising an error for it would start a recovery that ends the same way.
    if (first && status == STATUS_UNEXPECTED_IO_ERROR) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "i: first transfer after a resync dropped");
        Entry->BytesTransferred = 0;
        status = STATUS_SUCCESS;
    }
    if (!first) {
        ULONG gap = Entry->CompletionFrame - e.PreviousFrame[ENGINE_CAPTURE];
        if (gap >= g_Tuning.Param3 * g_Tuning.Param4) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "i: underrun, %lu frames since the previous completion",
                        gap);
            ++e.Counters.Underruns[ENGINE_CAPTURE];
            if (NT_SUCCESS(status)) {
                status = STATUS_UNEXPECTED_IO_ERROR;
            }
        } else if (gap > g_Tuning.Param3) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "i: late completion, %lu frames", gap);
        }
    } else {
        KeSetEvent(&e.FirstCompletion[ENGINE_CAPTURE], IO_NO_INCREMENT, FALSE);
    }
    e.PreviousFrame[ENGINE_CAPTURE] = Entry->CompletionFrame;

    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "i: transfer failed: 0x%08X", status);
        ++e.Counters.Failures[ENGINE_CAPTURE];
        if (IsDeviceGoneStatus(status)) {
            SignalStop(TRUE);
            MarkRemoving();
        }
        KeSetEvent(&e.ErrorEvent[ENGINE_CAPTURE], IO_NO_INCREMENT, FALSE);
    } else {
        ULONG bytes = Entry->BytesTransferred <= Entry->BufferBytes ? Entry->BytesTransferred : Entry->BufferBytes;
        EngineMixFromCapture(bytes, g_Tuning.Param3 + Entry->StartFrame);
        CountCaptureForSync(bytes);
        if (e.Pacing == EnginePacingImplicit && KeReadStateEvent(&e.FirstCompletion[ENGINE_RENDER]) != 0 &&
            e.CaptureFrameBytes != 0) {
            LONG64 excess = (static_cast<LONG64>(bytes) - e.CaptureNominal) / static_cast<LONG64>(e.CaptureFrameBytes);
            if (excess >= e.CaptureBelow && excess <= e.CaptureAbove) {
                KLOCK_QUEUE_HANDLE lockHandle;
                KeAcquireInStackQueuedSpinLock(&e.DebtLock, &lockHandle);
                e.Debt += static_cast<LONG>(excess);
                KeReleaseInStackQueuedSpinLock(&lockHandle);
            }
        }
        if (KeReadStateEvent(&e.RunEvent[ENGINE_CAPTURE]) != 0) {
            EngineChannelCapture(Entry->Buffer, bytes);
            DeliverOsCapture(Entry->Buffer, bytes);
        }
    }
    SubmitCaptureData(Entry);
}

// Converts captured data into the operating-system capture stream's queued pieces.
// DISPATCH_LEVEL; the miniport lock keeps the miniport from going away meanwhile.
VOID CAdapterCommon::DeliverOsCapture(const UCHAR *Data, ULONG Bytes)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_MiniportLock, &irql);
    PMINIPORTWAVERTEXT miniport = m_pMiniport;
    if (miniport != nullptr && miniport->LockStream(TRUE)) {
        const ADAPTER_FORMAT &device = m_DeviceFormat[1];
        const ADAPTER_FORMAT &stream = m_StreamFormat[1];
        ULONG delivered = 0;
        if (device.FrameBytes != 0 && stream.FrameBytes != 0 && device.Channels != 0 && stream.Channels != 0) {
            ULONG frames = Bytes / device.FrameBytes;
            ULONG streamBytes = frames * stream.FrameBytes;
            ULONG deviceSample = device.FrameBytes / device.Channels;
            ULONG streamSample = stream.FrameBytes / stream.Channels;
            miniport->QueueStreamData(TRUE, streamBytes);
            KIRQL queueIrql;
            KeAcquireSpinLock(&m_QueueLock[1], &queueIrql);
            if (IsListEmpty(&m_Queue[1])) {
                miniport->TouchStream(TRUE);
            }
            ULONG done = 0;
            while (done < frames && !IsListEmpty(&m_Queue[1])) {
                auto piece = CONTAINING_RECORD(m_Queue[1].Flink, QUEUE_PIECE, Links);
                ULONG used = static_cast<ULONG>(piece->Current - piece->Start);
                ULONG room = used < piece->Length ? (piece->Length - used) / stream.FrameBytes : 0;
                ULONG n = frames - done < room ? frames - done : room;
                if (n != 0) {
                    EngineConvertCapture(piece->Current, stream.Channels, streamSample,
                                         Data + static_cast<SIZE_T>(done) * device.FrameBytes, device.Channels,
                                         deviceSample, n);
                    if (g_DumpCapture == 2) {
                        DumpBuffer(piece->Current, n * stream.FrameBytes);
                    }
                    piece->Current += static_cast<SIZE_T>(n) * stream.FrameBytes;
                    done += n;
                }
                if (n == room) {
                    RemoveEntryList(&piece->Links);
                    ExFreeToNPagedLookasideList(&m_PiecePool, piece);
                }
            }
            KeReleaseSpinLock(&m_QueueLock[1], queueIrql);
            delivered = done * stream.FrameBytes;
        }
        miniport->AdvancePosition(TRUE, delivered);
        miniport->UnlockStream(TRUE);
    }
    KeReleaseSpinLock(&m_MiniportLock, irql);
}
