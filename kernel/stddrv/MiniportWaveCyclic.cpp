// CMiniportWaveCyclic: describes the "Wave" filter, checks the formats of new streams against
// its limits, creates one stream per direction, and implements IMiniportCallback, through
// which the adapter's transfer engine moves the streams' positions and asks for service.
#include "MiniportWaveCyclic.h"
#include "StdPoolTags.h"

namespace {

// The data-range limits of both streaming pins.
constexpr ULONG kMinChannels = 2;
constexpr ULONG kMaxChannels = 2;
constexpr ULONG kMinBits = 16;
constexpr ULONG kMaxBits = 16;
constexpr ULONG kMinRate = 44100;
constexpr ULONG kMaxRate = 48000;

// The WAVEFORMATEX of a connection format: after the KSDATAFORMAT with the WAVEFORMATEX
// specifier, inside the buffer description with the DirectSound one; null otherwise or when the
// format is too short to hold it.
const WAVEFORMATEX *WaveFormatOf(const KSDATAFORMAT *Format)
{
    if (Format == nullptr) {
        return nullptr;
    }
    if (IsEqualGUID(Format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) &&
        Format->FormatSize >= sizeof(KSDATAFORMAT_WAVEFORMATEX)) {
        return &reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX *>(Format)->WaveFormatEx;
    }
    if (IsEqualGUID(Format->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND) &&
        Format->FormatSize >= sizeof(KSDATAFORMAT_DSOUND)) {
        return &reinterpret_cast<const KSDATAFORMAT_DSOUND *>(Format)->BufferDesc.WaveFormatEx;
    }
    return nullptr;
}

} // namespace

NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType)
{
    UNREFERENCED_PARAMETER(ClassId);
    if (Unknown == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Unknown = nullptr;
    CMiniportWaveCyclic *miniport = new (PoolType, STD_ADAPTER_TAG) CMiniportWaveCyclic(UnknownOuter);
    if (miniport == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Unknown = static_cast<IMiniportWaveCyclic *>(miniport);
    (*Unknown)->AddRef();
    return STATUS_SUCCESS;
}

CMiniportWaveCyclic::CMiniportWaveCyclic(PUNKNOWN UnknownOuter) : CUnknown(UnknownOuter)
{
    KeInitializeSpinLock(&m_StreamLock);
}

CMiniportWaveCyclic::~CMiniportWaveCyclic()
{
    if (m_pAdapter != nullptr) {
        m_pAdapter->SetCallback(nullptr);
        m_pAdapter->Release();
    }
    if (m_pServiceGroup != nullptr) {
        m_pServiceGroup->Release();
    }
    if (m_pPort != nullptr) {
        m_pPort->Release();
    }
}

STDMETHODIMP CMiniportWaveCyclic::NonDelegatingQueryInterface(REFIID Interface, PVOID *Object)
{
    if (Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(Interface, IID_IUnknown) || IsEqualGUID(Interface, IID_IMiniportCallback)) {
        *Object = static_cast<IMiniportCallback *>(this);
    } else if (IsEqualGUID(Interface, IID_IMiniport) || IsEqualGUID(Interface, IID_IMiniportWaveCyclic)) {
        *Object = static_cast<IMiniportWaveCyclic *>(this);
    } else {
        *Object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<IUnknown *>(*Object)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportWaveCyclic::GetDescription(PPCFILTER_DESCRIPTOR *Description)
{
    if (Description == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Description = const_cast<PPCFILTER_DESCRIPTOR>(m_pFilter != nullptr ? m_pFilter : &g_StdWaveFilter);
    return STATUS_SUCCESS;
}

// The port's own intersection serves the single range of each streaming pin.
STDMETHODIMP CMiniportWaveCyclic::DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,
                                                        PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,
                                                        PVOID ResultantFormat, PULONG ResultantFormatLength)
{
    UNREFERENCED_PARAMETER(PinId);
    UNREFERENCED_PARAMETER(DataRange);
    UNREFERENCED_PARAMETER(MatchingDataRange);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(ResultantFormat);
    UNREFERENCED_PARAMETER(ResultantFormatLength);
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP CMiniportWaveCyclic::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port)
{
    UNREFERENCED_PARAMETER(ResourceList);
    if (UnknownAdapter == nullptr || Port == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    m_MinChannels = kMinChannels;
    m_MaxChannels = kMaxChannels;
    m_MinBits = kMinBits;
    m_MaxBits = kMaxBits;
    m_MinRate = kMinRate;
    m_MaxRate = kMaxRate;

    PADAPTERCOMMON adapter = nullptr;
    PSERVICEGROUP group = nullptr;
    NTSTATUS status = UnknownAdapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID *>(&adapter));
    if (NT_SUCCESS(status) && adapter == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) {
        status = PcNewServiceGroup(&group, nullptr);
    }
    if (!NT_SUCCESS(status)) {
        if (adapter != nullptr) {
            adapter->Release();
        }
        return status;
    }
    Port->AddRef();
    m_pPort = Port;
    m_pAdapter = adapter;
    m_pServiceGroup = group;
    m_pCaptureStream = nullptr;
    m_pRenderStream = nullptr;
    m_pFilter = &g_StdWaveFilter;
    m_pAdapter->SetCallback(static_cast<IMiniportCallback *>(this));
    return STATUS_SUCCESS;
}

BOOLEAN CMiniportWaveCyclic::FormatInLimits(const WAVEFORMATEX *Format) const
{
    return Format->nChannels >= m_MinChannels && Format->nChannels <= m_MaxChannels &&
           Format->wBitsPerSample >= m_MinBits && Format->wBitsPerSample <= m_MaxBits &&
           Format->nSamplesPerSec >= m_MinRate && Format->nSamplesPerSec <= m_MaxRate;
}

STDMETHODIMP CMiniportWaveCyclic::NewStream(PMINIPORTWAVECYCLICSTREAM *Stream, PUNKNOWN OuterUnknown,
                                            POOL_TYPE PoolType, ULONG Pin, BOOLEAN Capture,
                                            PKSDATAFORMAT DataFormat, PDMACHANNEL *DmaChannel,
                                            PSERVICEGROUP *ServiceGroup)
{
    UNREFERENCED_PARAMETER(PoolType);
    if (Stream == nullptr || DmaChannel == nullptr || ServiceGroup == nullptr || DataFormat == nullptr ||
        m_pAdapter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Stream = nullptr;
    *DmaChannel = nullptr;
    *ServiceGroup = nullptr;
    if (m_pAdapter->IsDeviceRemoved()) {
        return STATUS_DEVICE_REMOVED;
    }
    if ((Capture ? m_pCaptureStream : m_pRenderStream) != nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const WAVEFORMATEX *wave = WaveFormatOf(DataFormat);
    if (!IsEqualGUID(DataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
        !IsEqualGUID(DataFormat->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) || wave == nullptr ||
        (wave->wFormatTag != WAVE_FORMAT_PCM && wave->wFormatTag != WAVE_FORMAT_EXTENSIBLE) ||
        !FormatInLimits(wave)) {
        return STATUS_INVALID_PARAMETER;
    }

    // Plain non-paged pool, for the stream and its buffer alike: the driver also runs on systems
    // that have no no-execute pool.
    CMiniportWaveCyclicStream *stream = new (NonPagedPool, STD_TAG) CMiniportWaveCyclicStream(OuterUnknown);
    if (stream == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    stream->AddRef();
    NTSTATUS status = stream->Init(this, Pin, Capture, DataFormat);
    if (!NT_SUCCESS(status)) {
        stream->Release();
        return status;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamLock, &irql);
    if (Capture) {
        m_pCaptureStream = stream;
    } else {
        m_pRenderStream = stream;
    }
    KeReleaseSpinLock(&m_StreamLock, irql);

    *Stream = static_cast<IMiniportWaveCyclicStream *>(stream);
    *DmaChannel = static_cast<IDmaChannel *>(stream);
    (*DmaChannel)->AddRef();
    m_pServiceGroup->AddRef();
    *ServiceGroup = m_pServiceGroup;
    return STATUS_SUCCESS;
}

VOID CMiniportWaveCyclic::StreamClosing(BOOLEAN Capture)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamLock, &irql);
    if (Capture) {
        m_pCaptureStream = nullptr;
    } else {
        m_pRenderStream = nullptr;
    }
    KeReleaseSpinLock(&m_StreamLock, irql);
}

STDMETHODIMP_(void) CMiniportWaveCyclic::NotifyStream(BOOLEAN Capture)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamLock, &irql);
    if ((Capture ? m_pCaptureStream : m_pRenderStream) != nullptr && m_pPort != nullptr) {
        m_pPort->Notify(m_pServiceGroup);
    }
    KeReleaseSpinLock(&m_StreamLock, irql);
}

STDMETHODIMP_(void) CMiniportWaveCyclic::SetRenderPosition(PUCHAR Address)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamLock, &irql);
    if (m_pRenderStream != nullptr) {
        m_pRenderStream->SetPositionFromAddress(Address);
    }
    KeReleaseSpinLock(&m_StreamLock, irql);
}

STDMETHODIMP_(void) CMiniportWaveCyclic::SetCapturePosition(PUCHAR Address)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamLock, &irql);
    if (m_pCaptureStream != nullptr) {
        m_pCaptureStream->SetPositionFromAddress(Address);
    }
    KeReleaseSpinLock(&m_StreamLock, irql);
}
