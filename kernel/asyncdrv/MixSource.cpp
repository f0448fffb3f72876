// CMixSource: priming, release, prefill distance and direct-mode mixing of a render producer.
#include "MixSource.h"
#include "AsyncPoolTags.h"

CMixSource::CMixSource()
    : m_Device{}, m_Lock(0), m_CapturePaced(FALSE), m_Primed(FALSE), m_PrimingFrame(0),
      m_Aligned(FALSE), m_PrefillPercent(0), m_Bounce(NULL), m_BounceFrames(0), m_WriteOffset(0),
      m_Kernel(NULL)
{
    KeInitializeSpinLock(&m_Lock);
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
    m_Device = Format;
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
        status = STATUS_NOT_SUPPORTED;
        goto Exit;
    }
    bounce = static_cast<PUCHAR>(ExAllocatePoolWithTag(m_Device.PoolType, bytes, ASYNC_TAG));
    if (bounce == NULL) {
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
    KeReleaseInStackQueuedSpinLock(&lockHandle);
}

VOID CMixSource::SetPrefillPercent(ULONG Percent)
{
    m_PrefillPercent = Percent > 100 ? 100 : Percent;
}

VOID CMixSource::SetPrefillFromBuffer(ULONG BufferBytes)
{
    m_PrefillPercent =
        MixPrefillPercent(BufferBytes, m_Device.RenderSampleRate, m_Device.RenderBytesPerFrame);
}

VOID CMixSource::MixFramesLocked(PUCHAR Device, ULONG Frames)
{
    ULONG sourceBits = GetBitsPerSample();
    MixFrames(m_Kernel, Device,
              MIX_LAYOUT{m_Device.RenderChannels, m_Device.RenderBitsPerSample / 8}, m_Bounce,
              MIX_LAYOUT{GetChannels(), sourceBits / 8}, Frames);
}

ULONG CMixSource::MixDirect(ULONG Bytes, PUCHAR TransferBuffer)
{
    ULONG mixed = 0;
    KLOCK_QUEUE_HANDLE lockHandle;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lockHandle);
    if (m_Bounce != NULL && m_Device.RenderBytesPerFrame != 0) {
        ULONG frames = MixClampFrames(Bytes / m_Device.RenderBytesPerFrame, m_BounceFrames);
        ULONG delivered = MixClampFrames(ReadFrames(frames, m_Bounce), frames);
        MixFramesLocked(TransferBuffer, delivered);
        mixed = delivered;
        NotifyConsumed();
    }
    KeReleaseInStackQueuedSpinLock(&lockHandle);
    return mixed;
}
