// CMiniportWaveRT: the filter description, data-range intersection at the current rate, stream
// creation with its reservation, the stream slots, power notification, signal-processing
// modes, the component-ID property and subdevice unregistration.
#include "MiniportWaveRT.h"
#include "AdapterCommon.h"
#include "AdapterFilter.h"
#include "AdapterProperties.h"
#include "AsyncDriver.h"
#include "AsyncPoolTags.h"
#include "MiniportWaveRTStream.h"
#include "UsbAudioTrace.h"

namespace {

// {D5A47FA8-6D98-11D1-A21A-00A0C9223196}
DEFINE_GUID(g_ComponentManufacturer, 0xD5A47FA8, 0x6D98, 0x11D1, 0xA2, 0x1A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
// {586EF37E-7A60-42C5-B2B0-9A804A6020E3}
DEFINE_GUID(g_ComponentProduct, 0x586EF37E, 0x7A60, 0x42C5, 0xB2, 0xB0, 0x9A, 0x80, 0x4A, 0x60, 0x20, 0xE3);
// {DA69171E-6FFB-4C68-AB3C-1590E8336201}
DEFINE_GUID(g_ComponentName, 0xDA69171E, 0x6FFB, 0x4C68, 0xAB, 0x3C, 0x15, 0x90, 0xE8, 0x33, 0x62, 0x01);

constexpr ULONG RESULT_FORMAT_SIZE = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);

} // namespace

NTSTATUS CreateMiniportWaveRT(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter, POOL_TYPE PoolType)
{
    UNREFERENCED_PARAMETER(ClassId);
    auto miniport = new (PoolType, ASYNC_ADAPTER_TAG) CMiniportWaveRT(UnknownOuter);
    if (miniport == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Unknown = reinterpret_cast<PUNKNOWN>(static_cast<IMiniportWaveRTExt *>(miniport));
    (*Unknown)->AddRef();
    return STATUS_SUCCESS;
}

CMiniportWaveRT::CMiniportWaveRT(PUNKNOWN UnknownOuter)
    : CUnknown(UnknownOuter), m_pAdapter(nullptr), m_pPort(nullptr), m_Filter(), m_pStream(), m_PowerState(PowerDeviceD0)
{
    for (STREAM_SLOT &slot : m_Slot) {
        KeInitializeSpinLock(&slot.Lock);
        KeInitializeEvent(&slot.Drained, NotificationEvent, TRUE);
        slot.Count = 0;
        slot.Closing = 1;
    }
}

CMiniportWaveRT::~CMiniportWaveRT()
{
    if (m_pAdapter != nullptr) {
        // The adapter and the miniport live in this one driver; a miniport that dies must not
        // leave the adapter pointing at it, nor clear a successor registered after a rate change.
        static_cast<CAdapterCommon *>(m_pAdapter)->ForgetMiniport(this);
        static_cast<CAdapterCommon *>(m_pAdapter)->FreeOwnedFilter(&m_Filter);
        m_pAdapter->Release();
    }
    if (m_pPort != nullptr) {
        m_pPort->Release();
    }
}

STDMETHODIMP CMiniportWaveRT::NonDelegatingQueryInterface(REFIID iid, PVOID *ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppvObject = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveRT) ||
        IsEqualGUID(iid, IID_IMiniportWaveRTExt)) {
        *ppvObject = QICAST(IMiniportWaveRTExt *);
    } else if (IsEqualGUID(iid, IID_IPowerNotify)) {
        *ppvObject = QICAST(IPowerNotify *);
    } else if (IsEqualGUID(iid, IID_IMiniportAudioSignalProcessing)) {
        *ppvObject = QICAST(IMiniportAudioSignalProcessing *);
    } else if (IsEqualGUID(iid, IID_IPinCount)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "IPinCount refused");
    }
    if (*ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<IUnknown *>(*ppvObject)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportWaveRT::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVERT Port)
{
    if (ResourceList != nullptr) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "resource list %p", ResourceList);
    }
    if (UnknownAdapter == nullptr || Port == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    m_pPort = Port;
    m_pPort->AddRef();
    NTSTATUS status = UnknownAdapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<void **>(&m_pAdapter));
    if (!NT_SUCCESS(status)) {
        m_pAdapter = nullptr;
        m_pPort->Release();
        m_pPort = nullptr;
        return status;
    }
    m_pStream[0] = m_pStream[1] = nullptr;
    m_PowerState = PowerDeviceD0;
    m_pAdapter->SetMiniport(this);
    status = m_pAdapter->BuildFilter();
    if (NT_SUCCESS(status)) {
        status = static_cast<CAdapterCommon *>(m_pAdapter)->BuildOwnedFilter(&m_Filter);
    }
    if (!NT_SUCCESS(status)) {
        static_cast<CAdapterCommon *>(m_pAdapter)->ForgetMiniport(this);
        m_pAdapter->Release();
        m_pAdapter = nullptr;
        m_pPort->Release();
        m_pPort = nullptr;
    }
    return status;
}

STDMETHODIMP CMiniportWaveRT::GetDescription(PPCFILTER_DESCRIPTOR *Description)
{
    if (Description == nullptr || m_pAdapter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_Filter.Built) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    *Description = &m_Filter.Descriptor;
    return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportWaveRT::DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                                    ULONG OutputBufferLength, PVOID ResultantFormat,
                                                    PULONG ResultantFormatLength)
{
    if (DataRange == nullptr || MatchingDataRange == nullptr || ResultantFormatLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(DataRange->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) {
        return STATUS_NOT_SUPPORTED;
    }
    if (OutputBufferLength == 0 || ResultantFormat == nullptr) {
        *ResultantFormatLength = RESULT_FORMAT_SIZE;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (OutputBufferLength < RESULT_FORMAT_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // Both ranges must be whole audio ranges before their audio fields are read.
    if (DataRange->FormatSize < sizeof(KSDATARANGE_AUDIO) || MatchingDataRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) {
        return STATUS_NO_MATCH;
    }
    auto client = reinterpret_cast<PKSDATARANGE_AUDIO>(DataRange);
    auto own = reinterpret_cast<PKSDATARANGE_AUDIO>(MatchingDataRange);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL,
                "pin %lu client: %lu channels, %lu to %lu bits, %lu to %lu Hz; own: %lu channels, %lu to %lu bits, "
                "%lu to %lu Hz",
                PinId, client->MaximumChannels, client->MinimumBitsPerSample, client->MaximumBitsPerSample,
                client->MinimumSampleFrequency, client->MaximumSampleFrequency, own->MaximumChannels,
                own->MinimumBitsPerSample, own->MaximumBitsPerSample, own->MinimumSampleFrequency,
                own->MaximumSampleFrequency);
    if (client->MaximumChannels <= 1) {
        return STATUS_NO_MATCH;
    }
    ULONG channels = client->MaximumChannels < own->MaximumChannels ? client->MaximumChannels : own->MaximumChannels;
    ULONG maxRate = client->MaximumSampleFrequency < own->MaximumSampleFrequency ? client->MaximumSampleFrequency
                                                                                 : own->MaximumSampleFrequency;
    ULONG minRate = client->MinimumSampleFrequency > own->MinimumSampleFrequency ? client->MinimumSampleFrequency
                                                                                 : own->MinimumSampleFrequency;
    ULONG maxBits = client->MaximumBitsPerSample < own->MaximumBitsPerSample ? client->MaximumBitsPerSample
                                                                             : own->MaximumBitsPerSample;
    ULONG minBits = client->MinimumBitsPerSample > own->MinimumBitsPerSample ? client->MinimumBitsPerSample
                                                                             : own->MinimumBitsPerSample;
    if (!NT_SUCCESS(m_pAdapter->GetDataRangeInfo(PinId, &channels, &minBits, &maxBits, &minRate, &maxRate))) {
        return STATUS_NO_MATCH;
    }
    if (maxRate < minRate || maxBits < minBits || channels == 0 || maxBits == 0) {
        return STATUS_NO_MATCH;
    }

    auto result = static_cast<PKSDATAFORMAT_WAVEFORMATEXTENSIBLE>(ResultantFormat);
    RtlZeroMemory(result, RESULT_FORMAT_SIZE);
    RtlCopyMemory(&result->DataFormat, &own->DataRange, sizeof(KSDATAFORMAT));
    result->DataFormat.FormatSize = RESULT_FORMAT_SIZE;
    WAVEFORMATEXTENSIBLE &wave = result->WaveFormatExt;
    ULONG blockAlign = maxBits * channels / 8;
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = static_cast<WORD>(channels);
    wave.Format.nSamplesPerSec = maxRate;
    wave.Format.wBitsPerSample = static_cast<WORD>(maxBits);
    wave.Format.nBlockAlign = static_cast<WORD>(blockAlign);
    wave.Format.nAvgBytesPerSec = maxRate * blockAlign;
    wave.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    wave.Samples.wValidBitsPerSample = static_cast<WORD>(maxBits);
    wave.dwChannelMask = channels == 2 ? KSAUDIO_SPEAKER_STEREO : 0;
    wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    result->DataFormat.SampleSize = blockAlign;
    *ResultantFormatLength = RESULT_FORMAT_SIZE;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "pin %lu: %lu channels, %lu bits, %lu Hz", PinId,
                channels, maxBits, maxRate);
    return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportWaveRT::NewStream(PMINIPORTWAVERTSTREAM *Stream, PPORTWAVERTSTREAM PortStream, ULONG Pin,
                                        BOOLEAN Capture, PKSDATAFORMAT DataFormat)
{
    ULONG index = Capture ? 1 : 0;
    if (Stream == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Stream = nullptr;
    if (m_pStream[index] != nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = m_pAdapter->ReserveStreams(Capture, !Capture, FALSE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto stream = new (g_PoolType, ASYNC_TAG) CMiniportWaveRTStream(nullptr);
    if (stream == nullptr) {
        // Nothing owns the reservation yet: give it back here.
        m_pAdapter->ReleaseStreams(Capture, !Capture);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    stream->AddRef();
    status = stream->Init(this, PortStream, Pin, Capture, DataFormat);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s: stream Init failed: 0x%08X", TRACE_DIRECTION(Capture),
                    status);
        // The stream's teardown gives the reservation back.
        stream->Release();
        return status;
    }
    m_pStream[index] = stream;
    KIRQL irql;
    KeAcquireSpinLock(&m_Slot[index].Lock, &irql);
    m_Slot[index].Closing = 0;
    KeReleaseSpinLock(&m_Slot[index].Lock, irql);
    *Stream = static_cast<IMiniportWaveRTStreamNotification *>(stream);
    return STATUS_SUCCESS;
}

VOID CMiniportWaveRT::StreamClosing(BOOLEAN Capture)
{
    ULONG index = Capture ? 1 : 0;
    STREAM_SLOT &slot = m_Slot[index];
    KIRQL irql;
    KeAcquireSpinLock(&slot.Lock, &irql);
    slot.Closing = 1;
    KeReleaseSpinLock(&slot.Lock, irql);
    KeWaitForSingleObject(&slot.Drained, Executive, KernelMode, FALSE, nullptr);
    m_pStream[index] = nullptr;
    m_pAdapter->ReleaseStreams(Capture, !Capture);
}

CMiniportWaveRTStream *CMiniportWaveRT::EnterSlot(BOOLEAN Capture)
{
    ULONG index = Capture ? 1 : 0;
    STREAM_SLOT &slot = m_Slot[index];
    CMiniportWaveRTStream *stream = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&slot.Lock, &irql);
    if (slot.Closing == 0 && m_pStream[index] != nullptr) {
        if (slot.Count++ == 0) {
            KeClearEvent(&slot.Drained);
        }
        stream = m_pStream[index];
    }
    KeReleaseSpinLock(&slot.Lock, irql);
    return stream;
}

VOID CMiniportWaveRT::LeaveSlot(BOOLEAN Capture)
{
    STREAM_SLOT &slot = m_Slot[Capture ? 1 : 0];
    KIRQL irql;
    KeAcquireSpinLock(&slot.Lock, &irql);
    if (slot.Count != 0 && --slot.Count == 0) {
        KeSetEvent(&slot.Drained, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&slot.Lock, irql);
}

STDMETHODIMP CMiniportWaveRT::GetDeviceDescription(PDEVICE_DESCRIPTION DeviceDescription)
{
    if (DeviceDescription == nullptr) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "no description to fill");
    } else {
        RtlZeroMemory(DeviceDescription, sizeof(*DeviceDescription));
        DeviceDescription->Master = TRUE;
        DeviceDescription->ScatterGather = TRUE;
        DeviceDescription->Dma32BitAddresses = TRUE;
        DeviceDescription->InterfaceType = PCIBus;
        DeviceDescription->MaximumLength = 0xFFFFFFFF;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveRT::FillSilence(BOOLEAN Capture, PVOID Buffer, ULONG Length)
{
    CMiniportWaveRTStream *stream = EnterSlot(Capture);
    if (stream != nullptr) {
        RtlFillMemory(Buffer, Length, stream->BitsPerSample() == 8 ? 0x80 : 0);
        LeaveSlot(Capture);
    }
}

STDMETHODIMP_(void) CMiniportWaveRT::AdvancePosition(BOOLEAN Capture, ULONG Bytes)
{
    CMiniportWaveRTStream *stream = EnterSlot(Capture);
    if (stream != nullptr) {
        stream->AdvancePosition(Bytes);
        LeaveSlot(Capture);
    }
}

STDMETHODIMP_(BOOLEAN) CMiniportWaveRT::LockStream(BOOLEAN Capture) { return EnterSlot(Capture) != nullptr; }

STDMETHODIMP_(void) CMiniportWaveRT::UnlockStream(BOOLEAN Capture) { LeaveSlot(Capture); }

STDMETHODIMP_(void) CMiniportWaveRT::QueueStreamData(BOOLEAN Capture, ULONG Bytes)
{
    CMiniportWaveRTStream *stream = EnterSlot(Capture);
    if (stream != nullptr) {
        stream->QueueData(Bytes);
        LeaveSlot(Capture);
    }
}

STDMETHODIMP_(void) CMiniportWaveRT::TouchStream(BOOLEAN Capture)
{
    if (EnterSlot(Capture) != nullptr) {
        LeaveSlot(Capture);
    }
}

STDMETHODIMP CMiniportWaveRT::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject)
{
    if (m_pPort == nullptr) {
        return STATUS_DEVICE_NOT_READY;
    }
    PUNREGISTERSUBDEVICE unregister = nullptr;
    NTSTATUS status = m_pPort->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<void **>(&unregister));
    if (NT_SUCCESS(status)) {
        status = unregister->UnregisterSubdevice(DeviceObject, m_pPort);
        unregister->Release();
    }
    if (NT_SUCCESS(status)) {
        PPORTWAVERT port = m_pPort;
        m_pPort = nullptr;
        port->Release();
    }
    return status;
}

STDMETHODIMP_(void) CMiniportWaveRT::PowerChangeNotify(POWER_STATE PowerState)
{
    ULONG state = static_cast<ULONG>(PowerState.DeviceState);
    if (state == m_PowerState) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "already in D%lu", state - PowerDeviceD0);
        return;
    }
    if (state < PowerDeviceD0 || state > PowerDeviceD3) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "power state %lu ignored", state);
        return;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "D%lu to D%lu, streams i %lu o %lu",
                m_PowerState - PowerDeviceD0, state - PowerDeviceD0, static_cast<ULONG>(m_pStream[1] != nullptr),
                static_cast<ULONG>(m_pStream[0] != nullptr));
    m_PowerState = state;
}

STDMETHODIMP CMiniportWaveRT::GetModes(ULONG Pin, GUID *SignalProcessingModes, ULONG *NumSignalProcessingModes)
{
    return m_pAdapter->GetPinInfo(Pin, SignalProcessingModes, NumSignalProcessingModes);
}

NTSTATUS PropertyHandlerComponentId(PPCPROPERTY_REQUEST Request)
{
    if (Request == nullptr || Request->PropertyItem == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Request->PropertyItem->Id != KSPROPERTY_GENERAL_COMPONENTID) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if ((Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0) {
        return BasicSupportReadOnly(Request);
    }
    if (Request->ValueSize != sizeof(KSCOMPONENTID) || Request->Value == nullptr) {
        if (Request->ValueSize == 0) {
            Request->ValueSize = sizeof(KSCOMPONENTID);
        }
        return STATUS_INVALID_PARAMETER;
    }
    auto id = static_cast<PKSCOMPONENTID>(Request->Value);
    id->Manufacturer = g_ComponentManufacturer;
    id->Product = g_ComponentProduct;
    id->Component = GUID_NULL;
    id->Name = g_ComponentName;
    id->Version = 1;
    id->Revision = 0;
    Request->ValueSize = sizeof(KSCOMPONENTID);
    return STATUS_SUCCESS;
}
