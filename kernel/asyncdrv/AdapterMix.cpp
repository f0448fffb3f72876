// CAdapterCommon's render mix sources: their wiring, the device format they mix into, the
// prefill and reset slots of IAdapterCommon, and the reading of the WaveRT render stream's
// queued pieces for the operating-system source.
#include "AdapterCommon.h"
#include "AsyncDriver.h"

VOID CAdapterCommon::InitMixSources()
{
    m_AsioMix.Attach(&m_Channel);
    m_OsMix.Attach(this);
    AttachMixSources(&m_AsioMix, &m_OsMix);
}

MIX_DEVICE_FORMAT CAdapterCommon::MixDeviceFormat()
{
    MIX_DEVICE_FORMAT format{};
    const ADAPTER_FORMAT &render = m_DeviceFormat[0];
    const ADAPTER_FORMAT &capture = m_DeviceFormat[1];
    format.RenderChannels = render.Channels;
    format.RenderBitsPerSample = render.BitsPerSample;
    format.RenderSampleRate = render.SampleRate;
    format.RenderBytesPerFrame = render.FrameBytes;
    format.RenderMaxTransferBytes = m_TransferBytes[0];
    format.HasCapture = m_Usb.GetRecord(1) != nullptr;
    format.CaptureBytesPerFrame = format.HasCapture ? capture.FrameBytes : 0;
    format.CaptureTransferBytes = format.HasCapture ? m_TransferBytes[1] : 0;
    format.Timing = MIX_TIMING{g_Tuning.Param1, g_Tuning.Param2, g_Tuning.Param3};
    format.PoolType = g_PoolType;
    return format;
}

// The prefill is the operating-system buffer's length in milliseconds (at most 100), measured
// in the stream's own frames; the source is primed for the device format the stream started.
STDMETHODIMP CAdapterCommon::SetMixPrefill(BOOLEAN Capture, ULONG Bytes)
{
    if (Capture) {
        return STATUS_SUCCESS;
    }
    const ADAPTER_FORMAT &stream = m_StreamFormat[0];
    m_OsMix.SetStreamFormat(stream.Channels, stream.BitsPerSample);
    m_OsMix.SetDeviceFormat(MixDeviceFormat());
    m_OsMix.SetPrefillFromBuffer(Bytes, stream.FrameBytes);
    return m_OsMix.Prime();
}

STDMETHODIMP CAdapterCommon::ResetMix(BOOLEAN Capture)
{
    if (!Capture) {
        m_OsMix.Release();
    }
    return STATUS_SUCCESS;
}

ULONG CAdapterCommon::ReadOsRender(PUCHAR Destination, ULONG Bytes)
{
    ULONG delivered = 0;
    KIRQL irql;
    // Held throughout, so the miniport cannot be forgotten and released meanwhile.
    KeAcquireSpinLock(&m_MiniportLock, &irql);
    PMINIPORTWAVERTEXT miniport = m_pMiniport;
    if (miniport != nullptr && miniport->LockStream(FALSE)) {
        miniport->QueueStreamData(FALSE, Bytes);
        KIRQL queueIrql;
        KeAcquireSpinLock(&m_QueueLock[0], &queueIrql);
        while (delivered < Bytes && !IsListEmpty(&m_Queue[0])) {
            auto piece = CONTAINING_RECORD(m_Queue[0].Flink, QUEUE_PIECE, Links);
            ULONG used = static_cast<ULONG>(piece->Current - piece->Start);
            ULONG left = used < piece->Length ? piece->Length - used : 0;
            ULONG take = Bytes - delivered < left ? Bytes - delivered : left;
            RtlCopyMemory(Destination + delivered, piece->Current, take);
            // Played data is silenced, so a stream that stops feeding plays silence, not a loop.
            miniport->FillSilence(FALSE, piece->Current, take);
            piece->Current += take;
            delivered += take;
            if (take == left) {
                RemoveEntryList(&piece->Links);
                ExFreeToNPagedLookasideList(&m_PiecePool, piece);
            }
        }
        KeReleaseSpinLock(&m_QueueLock[0], queueIrql);
        miniport->AdvancePosition(FALSE, delivered);
        miniport->UnlockStream(FALSE);
    }
    KeReleaseSpinLock(&m_MiniportLock, irql);
    return delivered;
}
