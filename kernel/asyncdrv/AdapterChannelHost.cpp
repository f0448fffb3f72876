// CAdapterCommon as the host of its device channel: the device's directions, rates and widest
// formats, the tuning values, the ASIO mix source and the driver's allocation choices.
#include "AdapterCommon.h"
#include "AsyncDriver.h"
#include "UsbAudioTrace.h"

namespace {

// A render transfer completes every few milliseconds while render runs; the limit only keeps a
// stalled stream from holding START.
constexpr ULONG AsioMixPrimeWaitMs = 1000;

} // namespace

PADAPTERCOMMON CAdapterCommon::ChannelAdapter() { return static_cast<IAdapterCommon *>(this); }

BOOLEAN CAdapterCommon::HasCaptureInterface() { return m_Usb.GetRecord(1) != nullptr; }

BOOLEAN CAdapterCommon::HasRenderInterface() { return m_Usb.GetRecord(0) != nullptr; }

BOOLEAN CAdapterCommon::IsDsdNative() { return m_DsdNative != 0; }

// The clock's answer is the device's: any failure means the rate cannot be used.
NTSTATUS CAdapterCommon::IsSampleRateSupported(ULONG Rate)
{
    AcquireStreamMutex();
    NTSTATUS status = m_Usb.IsSampleRateSupported(Rate);
    ReleaseStreamMutex();
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// The widest PCM format of a direction at Rate, read under the stream mutex like every other
// format query. A missing direction is 0 channels of 0 bits, not an error.
NTSTATUS CAdapterCommon::FillRateCaps(ULONG Rate, BOOLEAN Capture, PULONG Channels, PULONG Bits)
{
    *Channels = 0;
    *Bits = 0;
    const ULONG direction = Capture ? 1 : 0;
    if (m_Usb.GetRecord(direction) == nullptr) {
        return STATUS_SUCCESS;
    }
    ULONG channels = 0;
    ULONG bits = 0;
    AcquireStreamMutex();
    NTSTATUS status = m_Usb.GetStreamingFormat(direction, USB_AUDIO_TAG_PCM, Rate, &channels, &bits);
    ReleaseStreamMutex();
    if (!NT_SUCCESS(status)) {
        return STATUS_NO_MATCH;
    }
    *Channels = channels;
    *Bits = bits;
    return STATUS_SUCCESS;
}

ULONG CAdapterCommon::RenderMsPerTransfer() { return g_Tuning.Param1; }

ULONG CAdapterCommon::CaptureMsPerTransfer() { return g_Tuning.Param3; }

VOID CAdapterCommon::SetAsioMixPrefill(ULONG Percent) { m_AsioMix.SetPrefillPercent(Percent); }

// Called by START once the channel's directions run, so the device formats are selected. A
// channel without render has nothing to mix: its source stays released and START goes on.
// A capture-paced source is primed by the next render completion; START waits for it, so that
// the client's first READ, which starts the output FIFO, comes after it: the client's first
// frames then play at the prefill distance, at every start, whatever its buffer size. Not
// primed in time, it is primed later and the first frames play that much later.
NTSTATUS CAdapterCommon::StartAsioMix()
{
    if (!m_Channel.HasOutputFifo()) {
        m_AsioMix.Release();
        return STATUS_SUCCESS;
    }
    m_AsioMix.SetChannelFormat(m_Channel.RenderChannels(), m_Channel.RenderBits(), m_Channel.Mode());
    m_AsioMix.SetDeviceFormat(MixDeviceFormat());
    NTSTATUS status = m_AsioMix.Prime();
    if (NT_SUCCESS(status) && m_AsioMix.IsPrimedForCapture() && !m_AsioMix.WaitPrimed(AsioMixPrimeWaitMs)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "ASIO mix source not primed in %lu ms", AsioMixPrimeWaitMs);
    }
    return status;
}

VOID CAdapterCommon::StopAsioMix() { m_AsioMix.Release(); }

PDEVICE_OBJECT CAdapterCommon::ChannelDeviceObject() { return m_Fdo; }

POOL_TYPE CAdapterCommon::ChannelPoolType() { return g_PoolType; }

ULONG CAdapterCommon::ChannelMdlPriority() { return g_MdlPriority; }
