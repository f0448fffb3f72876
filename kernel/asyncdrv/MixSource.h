// CMixSource: a producer of render samples that adds into the device's render transfers, either
// when a transfer is built (direct mode) or ahead of the bus from capture completions
// (capture-paced mode). The producer-specific operations are virtual, in a fixed slot order.
#pragma once
#include <wdm.h>
#include "MixKernels.h"

struct TransferEntry;

// What the mix path needs to know of the device: its render format, its capture transfers and
// the engine's tuning values. Set before priming; kept until the next device start.
struct MIX_DEVICE_FORMAT {
    ULONG RenderChannels;
    ULONG RenderBitsPerSample;
    ULONG RenderSampleRate;
    ULONG RenderBytesPerFrame;
    ULONG RenderMaxTransferBytes;
    BOOLEAN HasCapture;
    ULONG CaptureBytesPerFrame;
    ULONG CaptureTransferBytes;
    MIX_TIMING Timing;
    POOL_TYPE PoolType;
};

class CMixSource {
public:
    CMixSource();
    CMixSource(const CMixSource &) = delete;
    CMixSource &operator=(const CMixSource &) = delete;

    // Slot 0. Releases the source (bounce buffer and kernel).
    virtual ~CMixSource();
    // Slot 1. Decided at priming: TRUE when the source is written ahead from capture completions.
    virtual BOOLEAN IsCapturePaced() = 0;
    // Slot 2. TRUE once the producer has data flowing.
    virtual BOOLEAN IsSourceStarted() = 0;
    // Slots 3 and 4. This source's link in a render transfer entry, and back.
    virtual PLIST_ENTRY PieceLink(TransferEntry *Entry) = 0;
    virtual TransferEntry *PieceFromLink(PLIST_ENTRY Link) = 0;
    // Slot 5. DISPATCH_LEVEL. Delivers up to Frames frames of the source format into Destination;
    // returns the frames delivered.
    virtual ULONG ReadFrames(ULONG Frames, PUCHAR Destination) = 0;
    // Slot 6. MIX_MODE_PCM or MIX_MODE_DSD.
    virtual ULONG GetMode() = 0;
    // Slots 7 and 8. The source format.
    virtual ULONG GetBitsPerSample() = 0;
    virtual ULONG GetChannels() = 0;
    // Slot 9. DISPATCH_LEVEL. Called after every mix that read the source.
    virtual VOID NotifyConsumed();

    // PASSIVE_LEVEL, before priming. Taken under the lock, so the engine may still be calling in.
    VOID SetDeviceFormat(const MIX_DEVICE_FORMAT &Format);

    // PASSIVE_LEVEL. Chooses the kernel, allocates the zero-filled bounce buffer and re-primes.
    // STATUS_NOT_SUPPORTED for a width outside 8/16/24/32 or a pair with no kernel,
    // STATUS_INSUFFICIENT_RESOURCES without memory; either failure leaves the source released.
    NTSTATUS Prime();
    // Any IRQL up to DISPATCH_LEVEL for the fields; the bounce buffer is freed under the lock.
    VOID Release();
    // DISPATCH_LEVEL or below. Back to unprimed with the write offset at the prefill distance.
    VOID Reprime();
    // PASSIVE_LEVEL. Waits up to Milliseconds for a capture-paced source to be primed by a render
    // completion; FALSE when it was not (released, re-primed or not primed in time).
    BOOLEAN WaitPrimed(ULONG Milliseconds);

    // Render prefill: the percent (capped at 100), or the length in milliseconds of a producer
    // buffer of BufferBytes at the device's render rate and BytesPerFrame.
    VOID SetPrefillPercent(ULONG Percent);
    VOID SetPrefillFromBuffer(ULONG BufferBytes, ULONG BytesPerFrame);
    ULONG GetPrefillPercent() const { return m_PrefillPercent; }

    // DISPATCH_LEVEL or below. Adds up to Bytes / device bytes per frame frames of the source to
    // the start of TransferBuffer, never more than the bounce buffer holds. Nothing without a
    // bounce buffer or in capture-paced mode. Returns the frames mixed.
    ULONG MixDirect(ULONG Bytes, PUCHAR TransferBuffer);

    // DISPATCH_LEVEL or below, before each render submission (its completion may commit at
    // once): the transfer joins the tail of this source's piece queue. The entry stays linked
    // until CommitPiece or WithdrawPiece.
    VOID QueuePiece(TransferEntry *Entry);
    // DISPATCH_LEVEL or below: a queued transfer that will not complete (its submission failed,
    // or its entry is about to be freed) leaves the queue wherever it is. Unlinked: nothing.
    VOID WithdrawPiece(TransferEntry *Entry);
    // DISPATCH_LEVEL or below, at each render completion: the oldest piece leaves the queue and
    // the write offset follows it; an unprimed capture-paced source becomes primed at NextFrame
    // (the frame after the completed transfer).
    VOID CommitPiece(ULONG NextFrame);
    // DISPATCH_LEVEL or below, at each capture completion of CapturedBytes starting so that
    // NextFrame follows it. Capture-paced sources only: once primed, moves the write offset on
    // by as many frames as were captured (at most a bounce buffer, and at most what the queued
    // transfers have room for past the offset) and, once the producer has started, reads that
    // many frames and adds them into the queued transfers at the offset. Returns the frames
    // written into transfers.
    ULONG MixFromCapture(ULONG CapturedBytes, ULONG NextFrame);
    BOOLEAN IsPrimed() const { return m_Primed; }

    BOOLEAN IsPrimedForCapture() const { return m_CapturePaced; }
    LONG GetWriteOffset() const { return m_WriteOffset; }
    ULONG GetBounceFrames() const { return m_BounceFrames; }
    BOOLEAN HasBounceBuffer() const { return m_Bounce != NULL; }

protected:
    // Frames of the source format: channels x bytes per sample.
    ULONG SourceBytesPerFrame();
    // With the lock held: mixes Frames frames from Source (in the bounce buffer) into Device.
    VOID MixFramesLocked(PUCHAR Device, const UCHAR *Source, ULONG Frames);
    // With the lock held: adds Frames bounce frames into the queued pieces from the write offset
    // on; what lies past the last queued piece is not written. Returns the frames written.
    ULONG WriteAheadLocked(ULONG Frames);
    // With the lock held: frames the queued pieces hold past the write offset (0 when the
    // offset is at or past their end). A negative offset counts the distance to their start.
    ULONG RoomAheadLocked();

    MIX_DEVICE_FORMAT m_Device;
    KSPIN_LOCK m_Lock;
    KEVENT m_PrimedEvent; // set while primed
    LIST_ENTRY m_Pieces;
    BOOLEAN m_CapturePaced;
    BOOLEAN m_Primed;
    ULONG m_PrimingFrame;
    BOOLEAN m_Aligned;
    ULONG m_PrefillPercent;
    PUCHAR m_Bounce;
    ULONG m_BounceFrames;
    LONG m_WriteOffset;
    PMIX_KERNEL m_Kernel;
};
