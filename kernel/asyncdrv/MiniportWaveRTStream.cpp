// CMiniportWaveRTStream: format checks and recording, the cyclic buffer, RUN-state streaming
// through the adapter, position, and the pieces queued for the mix path.
#include "MiniportWaveRTStream.h"
#include "AsyncDriver.h"
#include "AsyncPoolTags.h"
#include "MiniportWaveRT.h"

CMiniportWaveRTStream::CMiniportWaveRTStream(PUNKNOWN UnknownOuter) : CUnknown(UnknownOuter)
{
    m_State = KSSTATE_STOP;
}

CMiniportWaveRTStream::~CMiniportWaveRTStream()
{
    if (m_pMiniport != nullptr) {
        PADAPTERCOMMON adapter = m_pMiniport->Adapter();
        if (m_Running) {
            adapter->StopStream(m_Capture);
            m_Running = FALSE;
        }
        if (m_pMdl != nullptr) {
            FreeAudioBuffer(m_pMdl, m_BufferSize);
        }
        if (m_FormatSet) {
            adapter->ClearFormat(m_Capture);
        }
        m_pMiniport->StreamClosing(m_Capture);
        m_pMiniport->Release();
    }
    if (m_pPortStream != nullptr) {
        m_pPortStream->Release();
    }
}

STDMETHODIMP CMiniportWaveRTStream::NonDelegatingQueryInterface(REFIID iid, PVOID *ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppvObject = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniportWaveRTStream) ||
        IsEqualGUID(iid, IID_IMiniportWaveRTStreamNotification)) {
        *ppvObject = QICAST(IMiniportWaveRTStreamNotification *);
        AddRef();
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

// A format is read only once its size covers the wave header it claims.
NTSTATUS CMiniportWaveRTStream::CheckFormat(PKSDATAFORMAT DataFormat, PULONG Channels, PULONG Bits, PULONG Rate)
{
    if (DataFormat == nullptr || DataFormat->FormatSize < sizeof(KSDATAFORMAT_WAVEFORMATEX)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto wave = &reinterpret_cast<PKSDATAFORMAT_WAVEFORMATEX>(DataFormat)->WaveFormatEx;
    if (wave->wFormatTag == WAVE_FORMAT_EXTENSIBLE && DataFormat->FormatSize < sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (wave->nChannels == 0 || wave->wBitsPerSample == 0 || wave->nSamplesPerSec == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *Channels = wave->nChannels;
    *Bits = wave->wBitsPerSample;
    *Rate = wave->nSamplesPerSec;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveRTStream::Init(CMiniportWaveRT *Miniport, PPORTWAVERTSTREAM PortStream, ULONG Pin,
                                     BOOLEAN Capture, PKSDATAFORMAT DataFormat)
{
    UNREFERENCED_PARAMETER(Pin);
    m_pMiniport = Miniport;
    m_pMiniport->AddRef();
    m_Capture = Capture;
    if (PortStream != nullptr) {
        m_pPortStream = PortStream;
        m_pPortStream->AddRef();
    }
    return SetFormat(DataFormat);
}

STDMETHODIMP CMiniportWaveRTStream::SetFormat(PKSDATAFORMAT DataFormat)
{
    ULONG channels = 0;
    ULONG bits = 0;
    ULONG rate = 0;
    NTSTATUS status = CheckFormat(DataFormat, &channels, &bits, &rate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (m_Running) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PADAPTERCOMMON adapter = m_pMiniport->Adapter();
    status = m_FormatSet ? adapter->ChangeFormat(m_Capture, WAVE_FORMAT_PCM, channels, bits, rate)
                         : adapter->SetFormat(m_Capture, WAVE_FORMAT_PCM, channels, bits, rate);
    if (NT_SUCCESS(status)) {
        m_FormatSet = TRUE;
        m_Channels = channels;
        m_BitsPerSample = bits;
        m_Rate = rate;
    }
    return status;
}

STDMETHODIMP CMiniportWaveRTStream::SetState(KSSTATE State)
{
    NTSTATUS status = STATUS_SUCCESS;
    PADAPTERCOMMON adapter = m_pMiniport->Adapter();
    if (State == KSSTATE_RUN && !m_Running) {
        status = adapter->StartStream(m_Capture);
        m_Running = NT_SUCCESS(status);
    } else if (State != KSSTATE_RUN && m_Running) {
        adapter->StopStream(m_Capture);
        m_Running = FALSE;
    }
    if (NT_SUCCESS(status)) {
        if (State == KSSTATE_STOP) {
            m_Position = 0;
            m_QueuePosition = 0;
        }
        m_State = State;
    }
    return status;
}

STDMETHODIMP CMiniportWaveRTStream::GetPosition(PKSAUDIO_POSITION Position)
{
    if (Position == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Position->PlayOffset = m_Position;
    Position->WriteOffset = m_Position;
    return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportWaveRTStream::AllocateAudioBuffer(ULONG RequestedSize, PMDL *AudioBufferMdl, ULONG *ActualSize,
                                                        ULONG *OffsetFromFirstPage, MEMORY_CACHING_TYPE *CacheType)
{
    if (AudioBufferMdl == nullptr || ActualSize == nullptr || OffsetFromFirstPage == nullptr || CacheType == nullptr ||
        RequestedSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pPortStream == nullptr || m_pMdl != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PHYSICAL_ADDRESS high;
    high.QuadPart = -1;
    PMDL mdl = m_pPortStream->AllocatePagesForMdl(high, RequestedSize);
    if (mdl == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The buffer is what the MDL describes; a short one is no buffer of the requested size.
    ULONG size = MmGetMdlByteCount(mdl);
    PVOID mapped = size >= RequestedSize ? m_pPortStream->MapAllocatedPages(mdl, MmCached) : nullptr;
    if (mapped == nullptr) {
        m_pPortStream->FreePagesFromMdl(mdl);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_pMdl = mdl;
    m_pBuffer = static_cast<PUCHAR>(mapped);
    m_BufferSize = size;
    m_Position = 0;
    m_QueuePosition = 0;
    *AudioBufferMdl = mdl;
    *ActualSize = size;
    *OffsetFromFirstPage = 0;
    *CacheType = MmCached;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveRTStream::FreeAudioBuffer(PMDL AudioBufferMdl, ULONG BufferSize)
{
    UNREFERENCED_PARAMETER(BufferSize);
    if (AudioBufferMdl == nullptr || AudioBufferMdl != m_pMdl) {
        return;
    }
    m_pPortStream->UnmapAllocatedPages(m_pBuffer, m_pMdl);
    m_pPortStream->FreePagesFromMdl(m_pMdl);
    m_pMdl = nullptr;
    m_pBuffer = nullptr;
    m_BufferSize = 0;
}

STDMETHODIMP_(void) CMiniportWaveRTStream::GetHWLatency(KSRTAUDIO_HWLATENCY *HwLatency)
{
    if (HwLatency != nullptr) {
        HwLatency->FifoSize = 0;
        HwLatency->ChipsetDelay = 0;
        HwLatency->CodecDelay = 0;
    }
}

STDMETHODIMP CMiniportWaveRTStream::GetPositionRegister(KSRTAUDIO_HWREGISTER *Register)
{
    UNREFERENCED_PARAMETER(Register);
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP CMiniportWaveRTStream::GetClockRegister(KSRTAUDIO_HWREGISTER *Register)
{
    UNREFERENCED_PARAMETER(Register);
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP CMiniportWaveRTStream::AllocateBufferWithNotification(ULONG NotificationCount, ULONG RequestedSize,
                                                                   PMDL *AudioBufferMdl, ULONG *ActualSize,
                                                                   ULONG *OffsetFromFirstPage,
                                                                   MEMORY_CACHING_TYPE *CacheType)
{
    UNREFERENCED_PARAMETER(NotificationCount);
    return AllocateAudioBuffer(RequestedSize, AudioBufferMdl, ActualSize, OffsetFromFirstPage, CacheType);
}

STDMETHODIMP_(void) CMiniportWaveRTStream::FreeBufferWithNotification(PMDL AudioBufferMdl, ULONG BufferSize)
{
    FreeAudioBuffer(AudioBufferMdl, BufferSize);
}

STDMETHODIMP CMiniportWaveRTStream::RegisterNotificationEvent(PKEVENT NotificationEvent)
{
    UNREFERENCED_PARAMETER(NotificationEvent);
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP CMiniportWaveRTStream::UnregisterNotificationEvent(PKEVENT NotificationEvent)
{
    UNREFERENCED_PARAMETER(NotificationEvent);
    return STATUS_NOT_SUPPORTED;
}

VOID CMiniportWaveRTStream::AdvancePosition(ULONG Bytes)
{
    if (m_BufferSize == 0) {
        return;
    }
    m_Position = static_cast<ULONG>((static_cast<ULONGLONG>(m_Position) + Bytes) % m_BufferSize);
    m_TotalBytes += Bytes;
}

// Queues the next Bytes of the cyclic buffer, split at the wrap. Nothing without a buffer.
VOID CMiniportWaveRTStream::QueueData(ULONG Bytes)
{
    if (m_BufferSize == 0 || m_pBuffer == nullptr) {
        return;
    }
    PADAPTERCOMMON adapter = m_pMiniport->Adapter();
    ULONG left = Bytes > m_BufferSize ? m_BufferSize : Bytes;
    while (left != 0) {
        ULONG run = m_BufferSize - m_QueuePosition;
        if (run > left) {
            run = left;
        }
        if (m_Capture) {
            adapter->QueueCaptureBuffer(m_pBuffer + m_QueuePosition, run);
        } else {
            adapter->QueueRenderBuffer(m_pBuffer + m_QueuePosition, run);
        }
        m_QueuePosition = (m_QueuePosition + run) % m_BufferSize;
        left -= run;
    }
}
