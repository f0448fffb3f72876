// CMixSource: priming, release, prefill distance, direct-mode mixing and the capture-paced
// writing ahead into render transfers already queued on the bus.
#include "MixSource.h"
#include "AsyncPoolTags.h"
#include "TransferEntry.h"
#include "UsbAudioTrace.h"

CMixSource::CMixSource()
    : m_Device{}, m_Lock(0), m_CapturePaced(FALSE), m_Primed(FALSE), m_PrimingFrame(0),
      m_Aligned(FALSE), m_PrefillPercent(0), m_Bounce(NULL), m_BounceFrames(0), m_WriteOffset(0),
      m_Kernel(NULL)
{
    KeInitializeSpinLock(&m_Lock);
    KeInitializeEvent(&m_PrimedEvent, NotificationEvent, FALSE);
    InitializeListHead(&m_Pieces);
    m_Device.PoolType = NonPagedPool;
}

CMixSource::~CMixSource()
{
    Release();
}

VOID CMixSource::NotifyConsumed()
{
}

VOID CMixSource::SetDeviceFormat(const MIX_DEVICE_FORMAT &Format)
{
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lockHandle);
    m_Device = Format;
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

ULONG CMixSource::SourceBytesPerFrame()
{
    return GetChannels() * (GetBitsPerSample() / 8);
}

NTSTATUS CMixSource::Prime()
{
    NTSTATUS status = STATUS_SUCCESS;
    PMIX_KERNEL kernel = NULL;
    ULONG frames = 0;
    ULONG bytes = 0;
    PUCHAR bounce = NULL;
    KLOCK_QUEUE_HANDLE lockHandle;

    BOOLEAN capturePaced = IsCapturePaced();
    ULONG sourceBits = GetBitsPerSample();
    Reprime();

    if (GetMode() == MIX_MODE_DSD) {
        kernel = SelectMixKernel(MIX_MODE_DSD, sourceBits, m_Device.RenderBitsPerSample);
    } else if (sourceBits == 8 || sourceBits == 16 || sourceBits == 24 || sourceBits == 32) {
        kernel = SelectMixKernel(MIX_MODE_PCM, sourceBits, m_Device.RenderBitsPerSample);
    }
    if (kernel == NULL) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "no kernel mixes %lu-bit (mode %lu) into %lu-bit",
                    sourceBits, GetMode(), m_Device.RenderBitsPerSample);
        status = STATUS_NOT_SUPPORTED;
        goto Exit;
    }

    // Sized for the larger of a capture transfer and a render transfer: a source that is not
    // capture-paced on a duplex device still asks for whole render transfers.
    frames = MixBounceFrames(m_Device.HasCapture ? m_Device.CaptureTransferBytes : 0,
                             m_Device.CaptureBytesPerFrame, m_Device.RenderMaxTransferBytes,
                             m_Device.RenderBytesPerFrame);
    bytes = MixBounceBytes(frames, SourceBytesPerFrame());
    if (bytes == 0) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "no bounce buffer for %lu frames of %lu bytes", frames,
                    SourceBytesPerFrame());
        status = STATUS_NOT_SUPPORTED;
        goto Exit;
    }
    bounce = static_cast<PUCHAR>(ExAllocatePoolWithTag(m_Device.PoolType, bytes, ASYNC_TAG));
    if (bounce == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "bounce buffer of %lu bytes not allocated", bytes);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(bounce, bytes);

    {
        KeAcquireInStackQueuedSpinLock(&m_Lock, &lockHandle);
        PUCHAR previous = m_Bounce;
        m_Bounce = bounce;
        m_BounceFrames = frames;
        m_Kernel = kernel;
        m_CapturePaced = capturePaced;
        KeReleaseInStackQueuedSpinLock(&lockHandle);
        if (previous != NULL) {
            ExFreePoolWithTag(previous, ASYNC_TAG);
        }
    }

Exit:
    if (!NT_SUCCESS(status)) {
        Release();
    }
    return status;
}

VOID CMixSource::Release()
{
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lockHandle);
    PUCHAR bounce = m_Bounce;
    m_CapturePaced = FALSE;
    m_Primed = FALSE;
    m_PrimingFrame = 0;
    m_Aligned = FALSE;
    m_Kernel = NULL;
    m_Bounce = NULL;
    m_BounceFrames = 0;
    KeClearEvent(&m_PrimedEvent);
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    if (bounce != NULL) {
        ExFreePoolWithTag(bounce, ASYNC_TAG);
    }
}

VOID CMixSource::Reprime()
{
    ULONG offset = MixWriteAheadBytes(m_Device.RenderBytesPerFrame, m_Device.RenderSampleRate,
                                      m_Device.Timing, m_PrefillPercent);
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lockHandle);
    m_Primed = FALSE;
    m_PrimingFrame = 0;
    m_Aligned = FALSE;
    m_WriteOffset = static_cast<LONG>(offset);
    KeClearEvent(&m_PrimedEvent);
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

BOOLEAN CMixSource::WaitPrimed(ULONG Milliseconds)
{
    PAGED_CODE();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(Milliseconds) * 10000;
    return KeWaitForSingleObject(&m_PrimedEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

VOID CMixSource::SetPrefillPercent(ULONG Percent)
{
    m_PrefillPercent = Percent > 100 ? 100 : Percent;
}

VOID CMixSource::SetPrefillFromBuffer(ULONG BufferBytes, ULONG BytesPerFrame)
{
    m_PrefillPercent = MixPrefillPercent(BufferBytes, m_Device.RenderSampleRate, BytesPerFrame);
}

VOID CMixSource::MixFramesLocked(PUCHAR Device, const UCHAR *Source, ULONG Frames)
{
    ULONG sourceBits = GetBitsPerSample();
    MixFrames(m_Kernel, Device,
              MIX_LAYOUT{m_Device.RenderChannels, m_Device.RenderBitsPerSample / 8}, Source,
              MIX_LAYOUT{GetChannels(), sourceBits / 8}, Frames);
}

ULONG CMixSource::MixDirect(ULONG Bytes, PUCHAR TransferBuffer)
{
    ULONG mixed = 0;
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lockHandle);
    if (m_Bounce != NULL && !m_CapturePaced && m_Device.RenderBytesPerFrame != 0) {
        ULONG frames = MixClampFrames(Bytes / m_Device.RenderBytesPerFrame, m_BounceFrames);
        ULONG delivered = MixClampFrames(ReadFrames(frames, m_Bounce), frames);
        MixFramesLocked(TransferBuffer, m_Bounce, delivered);
        mixed = delivered;
        NotifyConsumed();
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    return mixed;
}

VOID CMixSource::QueuePiece(TransferEntry *Entry)
{
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lockHandle);
    InsertTailList(&m_Pieces, PieceLink(Entry));
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

VOID CMixSource::WithdrawPiece(TransferEntry *Entry)
{
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lockHandle);
    PLIST_ENTRY link = PieceLink(Entry);
    if (link->Flink != nullptr && link->Flink != link) {
        RemoveEntryList(link);
        InitializeListHead(link);
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

VOID CMixSource::CommitPiece(ULONG NextFrame)
{
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lockHandle);
    if (!IsListEmpty(&m_Pieces)) {
        TransferEntry *oldest = PieceFromLink(RemoveHeadList(&m_Pieces));
        InitializeListHead(PieceLink(oldest));
        if (m_Primed) {
            // Below 0 the next capture has fallen behind the bus: WriteAhead writes nothing
            // until the offset is positive again.
            m_WriteOffset -= static_cast<LONG>(oldest->BytesRequested);
            if (m_WriteOffset < 0) {
                TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "write offset %ld is behind the bus",
                            m_WriteOffset);
            }
        }
    }
    // Primed at the first completion whether or not the producer has started: from here the
    // write offset follows the bus, so the producer's first frame, whenever it comes, is written
    // at the prefill distance and nothing of it is read before there is a place for it.
    if (m_CapturePaced && !m_Primed) {
        m_Primed = TRUE;
        m_PrimingFrame = NextFrame;
        KeSetEvent(&m_PrimedEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

ULONG CMixSource::MixFromCapture(ULONG CapturedBytes, ULONG NextFrame)
{
    ULONG written = 0;
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lockHandle);
    if (m_CapturePaced && m_Bounce != NULL && m_Device.CaptureBytesPerFrame != 0) {
        ULONG captured = CapturedBytes / m_Device.CaptureBytesPerFrame;
        ULONG frames = MixClampFrames(captured, m_BounceFrames);
        // Nothing is read before priming: what a source gives then would have nowhere to go
        // and be lost. Its transfers leave as silence meanwhile.
        if (m_Primed) {
            if (!m_Aligned) {
                // The first capture after priming does not start where the priming transfer
                // ended: one capture transfer's worth of distance is missing.
                if (NextFrame != m_PrimingFrame) {
                    m_WriteOffset += static_cast<LONG>(
                        MixAlignBytes(m_Device.RenderBytesPerFrame, m_Device.RenderSampleRate,
                                      m_Device.Timing.Param3));
                }
                m_Aligned = TRUE;
            }
            // Only what the queued transfers can take is read: frames the render side cannot
            // carry (an output that takes no more than the nominal packet while capture runs
            // fast) stay with the producer, whose FIFO then fills, instead of being lost here.
            // A producer that has not started yet is not read either: the offset moves on over
            // the silence already in the transfers, so that its first frame, whenever it comes,
            // is written at the prefill distance.
            frames = MixClampFrames(frames, RoomAheadLocked());
            if (IsSourceStarted()) {
                written = WriteAheadLocked(MixClampFrames(ReadFrames(frames, m_Bounce), frames));
            }
            LONG64 offset = static_cast<LONG64>(m_WriteOffset) +
                            static_cast<LONG64>(frames) * m_Device.RenderBytesPerFrame;
            m_WriteOffset = offset > MAXLONG ? MAXLONG : static_cast<LONG>(offset);
        }
        NotifyConsumed();
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    return written;
}

ULONG CMixSource::RoomAheadLocked()
{
    ULONG64 queued = 0;
    for (PLIST_ENTRY link = m_Pieces.Flink; link != &m_Pieces; link = link->Flink) {
        queued += PieceFromLink(link)->BytesRequested;
    }
    const LONG64 room = static_cast<LONG64>(queued) - m_WriteOffset;
    const ULONG frameBytes = m_Device.RenderBytesPerFrame;
    if (frameBytes == 0 || room <= 0) {
        return 0;
    }
    const ULONG64 frames = static_cast<ULONG64>(room) / frameBytes;
    return frames > MAXULONG ? MAXULONG : static_cast<ULONG>(frames);
}

ULONG CMixSource::WriteAheadLocked(ULONG Frames)
{
    const ULONG frameBytes = m_Device.RenderBytesPerFrame;
    if (m_WriteOffset < 0 || Frames == 0 || frameBytes == 0) {
        return 0;
    }
    ULONG64 start = 0;
    const ULONG64 offset = static_cast<ULONG64>(m_WriteOffset);
    PLIST_ENTRY link = m_Pieces.Flink;
    for (; link != &m_Pieces; link = link->Flink) {
        ULONG bytes = PieceFromLink(link)->BytesRequested;
        if (offset < start + bytes) {
            break;
        }
        start += bytes;
    }
    if (link == &m_Pieces) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "write offset %ld is past the %I64u queued bytes",
                    m_WriteOffset, start);
    }
    const ULONG sourceFrameBytes = SourceBytesPerFrame();
    const UCHAR *source = m_Bounce;
    ULONG left = Frames;
    ULONG position = static_cast<ULONG>(offset - start);
    for (; link != &m_Pieces && left != 0; link = link->Flink) {
        TransferEntry *piece = PieceFromLink(link);
        ULONG room = piece->BytesRequested > position ? (piece->BytesRequested - position) / frameBytes : 0;
        ULONG frames = MixClampFrames(left, room);
        MixFramesLocked(piece->Buffer + position, source, frames);
        source += static_cast<SIZE_T>(frames) * sourceFrameBytes;
        left -= frames;
        position = 0;
    }
    return Frames - left;
}
