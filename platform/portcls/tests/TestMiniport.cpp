// The test WaveRT miniport, its streams and the adapter that registers it through portcls.
#include <cstring>
#include <mutex>
#include "TestMiniport.h"
#include <platform/io_driver.h>
#include <platform/pnp.h>
#include <sim/audio_engine.h>

namespace pctest {
namespace {

constexpr ULONG test_tag = 0x74736554; // "Test"

// Data ranges: the streaming pins take 2 channels of 16-bit PCM at 48000 Hz only; the render
// range carries the signal-processing attribute list.
const KSATTRIBUTE g_mode_attribute = {sizeof(KSATTRIBUTE), 0, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};
struct {
    KSMULTIPLE_ITEM header;
    KSATTRIBUTE attribute;
} const g_attributes = {{sizeof(KSMULTIPLE_ITEM) + sizeof(KSATTRIBUTE), 1}, g_mode_attribute};

KSDATARANGE_AUDIO make_range(ULONG flags)
{
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.DataRange.Flags = flags;
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = test_channels;
    range.MinimumBitsPerSample = test_bits;
    range.MaximumBitsPerSample = test_bits;
    range.MinimumSampleFrequency = test_rate;
    range.MaximumSampleFrequency = test_rate;
    return range;
}

const KSDATARANGE_AUDIO g_render_range = make_range(KSDATARANGE_ATTRIBUTES);
const KSDATARANGE_AUDIO g_capture_range = make_range(0);
const KSDATARANGE g_bridge_range = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO,
                                     KSDATAFORMAT_SUBTYPE_ANALOG, KSDATAFORMAT_SPECIFIER_NONE}};
const PKSDATARANGE g_render_ranges[] = {(PKSDATARANGE)&g_render_range, (PKSDATARANGE)&g_attributes};
const PKSDATARANGE g_capture_ranges[] = {(PKSDATARANGE)&g_capture_range};
const PKSDATARANGE g_bridge_ranges[] = {(PKSDATARANGE)&g_bridge_range};

NTSTATUS put_value(PPCPROPERTY_REQUEST request, const void *data, ULONG size)
{
    if (request->ValueSize == 0) {
        request->ValueSize = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < size) {
        request->ValueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(request->Value, data, size);
    request->ValueSize = size;
    return STATUS_SUCCESS;
}

NTSTATUS channel_of(PPCPROPERTY_REQUEST request, ULONG *channel)
{
    if (request->InstanceSize < sizeof(LONG)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memcpy(channel, request->Instance, sizeof(*channel));
    return *channel < test_channels ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS volume_handler(PPCPROPERTY_REQUEST request)
{
    if (request->Node != node_volume) {
        return STATUS_UNSUCCESSFUL;
    }
    if (request->Verb == KSPROPERTY_TYPE_BASICSUPPORT) {
        ULONG access = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
        return put_value(request, &access, sizeof(access));
    }
    ULONG channel = 0;
    NTSTATUS status = channel_of(request, &channel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (request->Verb == KSPROPERTY_TYPE_GET) {
        return put_value(request, &log().volume[channel], sizeof(LONG));
    }
    if (request->ValueSize != sizeof(LONG)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memcpy(&log().volume[channel], request->Value, sizeof(LONG));
    return STATUS_SUCCESS;
}

NTSTATUS mute_handler(PPCPROPERTY_REQUEST request)
{
    if (request->Verb == KSPROPERTY_TYPE_GET) {
        return put_value(request, &log().mute, sizeof(LONG));
    }
    if (request->ValueSize != sizeof(LONG)) {
        return STATUS_INVALID_PARAMETER;
    }
    LONG value;
    std::memcpy(&value, request->Value, sizeof(value));
    log().mute = value != 0;
    return STATUS_SUCCESS;
}

NTSTATUS component_handler(PPCPROPERTY_REQUEST request)
{
    KSCOMPONENTID id{};
    id.Manufacturer = KSCATEGORY_AUDIO;
    id.Product = KSNODETYPE_SPEAKER;
    id.Version = 1;
    return put_value(request, &id, sizeof(id));
}

// The jack answer of a bridge pin; a streaming pin answers without data.
NTSTATUS jack_handler(PPCPROPERTY_REQUEST request)
{
    ULONG pin = 0;
    if (request->InstanceSize < sizeof(ULONG)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::memcpy(&pin, request->Instance, sizeof(pin));
    if (pin != pin_speaker && pin != pin_microphone) {
        request->ValueSize = 0;
        return STATUS_SUCCESS;
    }
    struct {
        KSMULTIPLE_ITEM header;
        KSJACK_DESCRIPTION jack;
    } answer{};
    answer.header = {sizeof(answer), 1};
    answer.jack.ChannelMapping = KSAUDIO_SPEAKER_STEREO;
    answer.jack.GeoLocation = eGeoLocFront;
    answer.jack.IsConnected = log().jack_connected;
    static_assert(sizeof(answer) == 36);
    return put_value(request, &answer, sizeof(answer));
}

const PCPROPERTY_ITEM g_volume_items[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
     KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT, volume_handler}};
const PCPROPERTY_ITEM g_mute_items[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, mute_handler}};
const PCPROPERTY_ITEM g_filter_items[] = {
    {&KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT,
     component_handler}};
const PCPROPERTY_ITEM g_pin_items[] = {
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, jack_handler}};
DEFINE_PCAUTOMATION_TABLE_PROP(g_volume_table, g_volume_items);
DEFINE_PCAUTOMATION_TABLE_PROP(g_mute_table, g_mute_items);
DEFINE_PCAUTOMATION_TABLE_PROP(g_filter_table, g_filter_items);
DEFINE_PCAUTOMATION_TABLE_PROP(g_pin_table, g_pin_items);

// Pin elements extend PCPIN_DESCRIPTOR as a driver's may; the stride is what portcls walks.
struct pin_element {
    PCPIN_DESCRIPTOR pin;
    ULONG marker;
};

pin_element make_pin(ULONG instances, const PCAUTOMATION_TABLE *table, ULONG count, const PKSDATARANGE *ranges,
                     KSPIN_DATAFLOW flow, KSPIN_COMMUNICATION communication, const GUID *category)
{
    pin_element e{};
    e.pin.MaxGlobalInstanceCount = instances;
    e.pin.MaxFilterInstanceCount = instances;
    e.pin.AutomationTable = table;
    e.pin.KsPinDescriptor.DataRangesCount = count;
    e.pin.KsPinDescriptor.DataRanges = ranges;
    e.pin.KsPinDescriptor.DataFlow = flow;
    e.pin.KsPinDescriptor.Communication = communication;
    e.pin.KsPinDescriptor.Category = category;
    e.marker = 0x50494E21;
    return e;
}

const pin_element g_pins[pin_count] = {
    make_pin(1, &g_pin_table, 2, g_render_ranges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO),
    make_pin(0, &g_pin_table, 1, g_bridge_ranges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BRIDGE,
             &KSNODETYPE_SPEAKER),
    make_pin(1, &g_pin_table, 1, g_capture_ranges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK,
             &KSCATEGORY_AUDIO),
    make_pin(0, &g_pin_table, 1, g_bridge_ranges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BRIDGE,
             &KSNODETYPE_MICROPHONE),
};
const PCNODE_DESCRIPTOR g_nodes[node_count] = {
    {0, &g_volume_table, &KSNODETYPE_VOLUME, nullptr},
    {0, &g_mute_table, &KSNODETYPE_MUTE, nullptr},
    {0, nullptr, &KSNODETYPE_DAC, nullptr},
    {0, nullptr, &KSNODETYPE_ADC, nullptr},
};
const PCCONNECTION_DESCRIPTOR g_connections[] = {
    {PCFILTER_NODE, pin_render, node_volume, 1}, {node_volume, 0, node_mute, 1},
    {node_mute, 0, node_dac, 1},                 {node_dac, 0, PCFILTER_NODE, pin_speaker},
    {PCFILTER_NODE, pin_microphone, node_adc, 1}, {node_adc, 0, PCFILTER_NODE, pin_capture},
};
const GUID g_categories[] = {KSCATEGORY_AUDIO, KSCATEGORY_REALTIME};
PCFILTER_DESCRIPTOR g_filter = {
    0,          &g_filter_table, sizeof(pin_element), pin_count, &g_pins[0].pin, sizeof(PCNODE_DESCRIPTOR),
    node_count, g_nodes,         ARRAYSIZE(g_connections), g_connections, ARRAYSIZE(g_categories), g_categories};

class CTestMiniport;

// A stream whose hardware is a timer DPC moving tick_ms of audio per tick.
class CTestStream final : public CUnknown, public IMiniportWaveRTStreamNotification {
public:
    DECLARE_STD_UNKNOWN();
    CTestStream(CTestMiniport *miniport, PPORTWAVERTSTREAM port_stream, ULONG pin, bool capture);
    ~CTestStream() override;

    STDMETHODIMP SetFormat(PKSDATAFORMAT) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP SetState(KSSTATE State) override;
    STDMETHODIMP GetPosition(PKSAUDIO_POSITION Position) override;
    STDMETHODIMP AllocateAudioBuffer(ULONG RequestedSize, PMDL *Mdl, ULONG *ActualSize, ULONG *Offset,
                                     MEMORY_CACHING_TYPE *CacheType) override;
    STDMETHODIMP_(void) FreeAudioBuffer(PMDL Mdl, ULONG Size) override;
    STDMETHODIMP_(void) GetHWLatency(KSRTAUDIO_HWLATENCY *Latency) override { *Latency = {32, 0, 4}; }
    STDMETHODIMP GetPositionRegister(KSRTAUDIO_HWREGISTER *) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP GetClockRegister(KSRTAUDIO_HWREGISTER *) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP AllocateBufferWithNotification(ULONG NotificationCount, ULONG RequestedSize, PMDL *Mdl,
                                                ULONG *ActualSize, ULONG *Offset,
                                                MEMORY_CACHING_TYPE *CacheType) override;
    STDMETHODIMP_(void) FreeBufferWithNotification(PMDL Mdl, ULONG Size) override { FreeAudioBuffer(Mdl, Size); }
    STDMETHODIMP RegisterNotificationEvent(PKEVENT Event) override;
    STDMETHODIMP UnregisterNotificationEvent(PKEVENT Event) override;

private:
    static void tick(PKDPC, PVOID context, PVOID, PVOID);
    void advance();

    CTestMiniport *m_miniport;
    PPORTWAVERTSTREAM m_port_stream;
    ULONG m_pin;
    bool m_capture;
    KSSTATE m_state = KSSTATE_STOP;
    KSPIN_LOCK m_lock = 0;
    KTIMER m_timer{};
    KDPC m_dpc{};
    PMDL m_mdl = nullptr;
    PUCHAR m_buffer = nullptr;
    ULONG m_size = 0;
    ULONG m_notifications = 0;
    ULONG m_position = 0;
    ULONGLONG m_frames = 0;
    std::vector<PKEVENT> m_events;
};

class CTestMiniport final : public CUnknown,
                            public IMiniportWaveRT,
                            public IMiniportAudioSignalProcessing,
                            public IPowerNotify {
public:
    DECLARE_STD_UNKNOWN();
    explicit CTestMiniport(PUNKNOWN outer) : CUnknown(outer) { ++log().live_miniports; }
    ~CTestMiniport() override
    {
        if (m_port != nullptr) {
            m_port->Release();
        }
        --log().live_miniports;
    }

    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR *Description) override
    {
        *Description = &g_filter;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                       ULONG OutputBufferLength, PVOID ResultantFormat,
                                       PULONG ResultantFormatLength) override;
    STDMETHODIMP Init(PUNKNOWN, PRESOURCELIST, PPORTWAVERT Port) override
    {
        ++log().init_calls;
        m_port = Port;
        m_port->AddRef();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP NewStream(PMINIPORTWAVERTSTREAM *Stream, PPORTWAVERTSTREAM PortStream, ULONG Pin, BOOLEAN Capture,
                           PKSDATAFORMAT DataFormat) override;
    STDMETHODIMP GetDeviceDescription(PDEVICE_DESCRIPTION Description) override
    {
        std::memset(Description, 0, sizeof(*Description));
        Description->Master = TRUE;
        Description->InterfaceType = PCIBus;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetModes(ULONG, GUID *Modes, ULONG *Count) override
    {
        if (Modes == nullptr || *Count < 1) {
            *Count = 1;
            return STATUS_BUFFER_TOO_SMALL;
        }
        Modes[0] = AUDIO_SIGNALPROCESSINGMODE_RAW;
        *Count = 1;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE State) override
    {
        log().power_states.push_back(State.DeviceState);
    }

    void stream_gone(bool capture) { m_streams[capture ? 1 : 0] = false; }

private:
    PPORTWAVERT m_port = nullptr;
    bool m_streams[2] = {false, false};
};

STDMETHODIMP CTestMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID *ppv)
{
    if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveRT)) {
        *ppv = static_cast<IMiniportWaveRT *>(this);
    } else if (IsEqualGUID(iid, IID_IMiniportAudioSignalProcessing)) {
        *ppv = static_cast<IMiniportAudioSignalProcessing *>(this);
    } else if (IsEqualGUID(iid, IID_IPowerNotify)) {
        *ppv = static_cast<IPowerNotify *>(this);
    } else {
        return CUnknown::NonDelegatingQueryInterface(iid, ppv);
    }
    AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP CTestMiniport::DataRangeIntersection(ULONG, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                                  ULONG OutputBufferLength, PVOID ResultantFormat,
                                                  PULONG ResultantFormatLength)
{
    if (OutputBufferLength == 0 || ResultantFormat == nullptr) {
        *ResultantFormatLength = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (OutputBufferLength < sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto *client = reinterpret_cast<PKSDATARANGE_AUDIO>(DataRange);
    auto *own = reinterpret_cast<PKSDATARANGE_AUDIO>(MatchingDataRange);
    if (client->MaximumChannels < 2 || client->MinimumSampleFrequency > own->MaximumSampleFrequency ||
        client->MaximumSampleFrequency < own->MinimumSampleFrequency) {
        return STATUS_NO_MATCH;
    }
    auto *format = static_cast<PKSDATAFORMAT_WAVEFORMATEXTENSIBLE>(ResultantFormat);
    std::memset(format, 0, sizeof(*format));
    format->DataFormat = own->DataRange;
    format->DataFormat.FormatSize = sizeof(*format);
    format->DataFormat.Flags = 0;
    WAVEFORMATEXTENSIBLE &wave = format->WaveFormatExt;
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = (WORD)own->MaximumChannels;
    wave.Format.nSamplesPerSec = own->MaximumSampleFrequency;
    wave.Format.wBitsPerSample = (WORD)own->MaximumBitsPerSample;
    wave.Format.nBlockAlign = (WORD)(wave.Format.nChannels * wave.Format.wBitsPerSample / 8);
    wave.Format.nAvgBytesPerSec = wave.Format.nSamplesPerSec * wave.Format.nBlockAlign;
    wave.Format.cbSize = 22;
    wave.Samples.wValidBitsPerSample = wave.Format.wBitsPerSample;
    wave.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
    wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    format->DataFormat.SampleSize = wave.Format.nBlockAlign;
    *ResultantFormatLength = sizeof(*format);
    return STATUS_SUCCESS;
}

STDMETHODIMP CTestMiniport::NewStream(PMINIPORTWAVERTSTREAM *Stream, PPORTWAVERTSTREAM PortStream, ULONG Pin,
                                      BOOLEAN Capture, PKSDATAFORMAT)
{
    if (m_streams[Capture ? 1 : 0]) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    CTestStream *stream = new (NonPagedPoolNx, test_tag) CTestStream(this, PortStream, Pin, Capture != FALSE);
    if (stream == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_streams[Capture ? 1 : 0] = true;
    stream->AddRef();
    *Stream = stream;
    return STATUS_SUCCESS;
}

CTestStream::CTestStream(CTestMiniport *miniport, PPORTWAVERTSTREAM port_stream, ULONG pin, bool capture)
    : CUnknown(nullptr), m_miniport(miniport), m_port_stream(port_stream), m_pin(pin), m_capture(capture)
{
    m_miniport->AddRef();
    m_port_stream->AddRef();
    KeInitializeSpinLock(&m_lock);
    KeInitializeTimerEx(&m_timer, NotificationTimer);
    KeInitializeDpc(&m_dpc, tick, this);
    ++log().live_streams;
}

CTestStream::~CTestStream()
{
    KeCancelTimer(&m_timer);
    KeFlushQueuedDpcs();
    if (m_mdl != nullptr) {
        FreeAudioBuffer(m_mdl, m_size);
    }
    m_miniport->stream_gone(m_capture);
    m_miniport->Release();
    m_port_stream->Release();
    --log().live_streams;
}

STDMETHODIMP CTestStream::NonDelegatingQueryInterface(REFIID iid, PVOID *ppv)
{
    if (IsEqualGUID(iid, IID_IMiniportWaveRTStream) || IsEqualGUID(iid, IID_IMiniportWaveRTStreamNotification)) {
        *ppv = static_cast<IMiniportWaveRTStreamNotification *>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(iid, ppv);
}

// Only neighbouring steps; RUN starts the timer and leaving RUN stops it.
STDMETHODIMP CTestStream::SetState(KSSTATE State)
{
    if (State == m_state) {
        return STATUS_SUCCESS;
    }
    if (State != m_state + 1 && State + 1 != m_state) {
        return STATUS_INVALID_PARAMETER;
    }
    log().state_calls.push_back({m_pin, State});
    if (State == KSSTATE_RUN) {
        LARGE_INTEGER due;
        due.QuadPart = -(LONGLONG)tick_ms * 10000;
        KeSetTimerEx(&m_timer, due, tick_ms, &m_dpc);
    } else if (m_state == KSSTATE_RUN) {
        KeCancelTimer(&m_timer);
        KeFlushQueuedDpcs();
    }
    if (State == KSSTATE_PAUSE && m_state == KSSTATE_ACQUIRE) {
        m_position = 0;
    }
    m_state = State;
    return STATUS_SUCCESS;
}

STDMETHODIMP CTestStream::GetPosition(PKSAUDIO_POSITION Position)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    Position->PlayOffset = Position->WriteOffset = m_position;
    KeReleaseSpinLock(&m_lock, irql);
    return STATUS_SUCCESS;
}

STDMETHODIMP CTestStream::AllocateAudioBuffer(ULONG RequestedSize, PMDL *Mdl, ULONG *ActualSize, ULONG *Offset,
                                              MEMORY_CACHING_TYPE *CacheType)
{
    return AllocateBufferWithNotification(0, RequestedSize, Mdl, ActualSize, Offset, CacheType);
}

STDMETHODIMP CTestStream::AllocateBufferWithNotification(ULONG NotificationCount, ULONG RequestedSize, PMDL *Mdl,
                                                         ULONG *ActualSize, ULONG *Offset,
                                                         MEMORY_CACHING_TYPE *CacheType)
{
    ULONG size = RequestedSize - RequestedSize % (2 * test_block);
    if (size == 0 || m_mdl != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PHYSICAL_ADDRESS high;
    high.QuadPart = 0xFFFFFFFF;
    PMDL mdl = m_port_stream->AllocatePagesForMdl(high, size);
    if (mdl == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    PVOID address = m_port_stream->MapAllocatedPages(mdl, MmCached);
    if (address == nullptr) {
        m_port_stream->FreePagesFromMdl(mdl);
        return STATUS_UNSUCCESSFUL;
    }
    m_mdl = mdl;
    m_buffer = static_cast<PUCHAR>(address);
    m_size = size;
    m_notifications = NotificationCount;
    *Mdl = mdl;
    *ActualSize = size;
    *Offset = 0;
    *CacheType = MmCached;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CTestStream::FreeAudioBuffer(PMDL Mdl, ULONG)
{
    if (Mdl == nullptr || Mdl != m_mdl) {
        return;
    }
    m_port_stream->UnmapAllocatedPages(m_buffer, m_mdl);
    m_port_stream->FreePagesFromMdl(m_mdl);
    m_mdl = nullptr;
    m_buffer = nullptr;
    m_size = 0;
}

STDMETHODIMP CTestStream::RegisterNotificationEvent(PKEVENT Event)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    for (PKEVENT known : m_events) {
        if (known == Event) {
            status = STATUS_UNSUCCESSFUL;
        }
    }
    if (NT_SUCCESS(status)) {
        m_events.push_back(Event);
    } else {
        std::erase(m_events, Event);
    }
    KeReleaseSpinLock(&m_lock, irql);
    return status;
}

STDMETHODIMP CTestStream::UnregisterNotificationEvent(PKEVENT Event)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    size_t removed = std::erase(m_events, Event);
    KeReleaseSpinLock(&m_lock, irql);
    return removed != 0 ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

void CTestStream::tick(PKDPC, PVOID context, PVOID, PVOID) { static_cast<CTestStream *>(context)->advance(); }

// DISPATCH_LEVEL: moves one tick of audio through the buffer and notifies at each half.
void CTestStream::advance()
{
    KeAcquireSpinLockAtDpcLevel(&m_lock);
    if (m_buffer != nullptr && m_size != 0) {
        ULONG bytes = test_rate * tick_ms / 1000 * test_block;
        ULONG before = m_position;
        for (ULONG done = 0; done < bytes;) {
            ULONG span = m_size - m_position < bytes - done ? m_size - m_position : bytes - done;
            PUCHAR part = m_buffer + m_position;
            if (m_capture) {
                sim::wavert_write_pattern(part, m_frames, span / test_block, test_channels, test_bits);
            } else if (log().rendered.size() + span <= log().rendered.capacity()) {
                log().rendered.insert(log().rendered.end(), part, part + span);
            }
            m_frames += span / test_block;
            m_position = (m_position + span) % m_size;
            done += span;
        }
        ULONG half = m_size / 2;
        bool wrapped = m_position < before;
        bool crossed = m_notifications == 1 ? wrapped
                                            : m_notifications == 2 && (wrapped || (before < half && m_position >= half));
        if (crossed) {
            for (PKEVENT event : m_events) {
                KeSetEvent(event, IO_SOUND_INCREMENT, FALSE);
            }
        }
    }
    KeReleaseSpinLockFromDpcLevel(&m_lock);
}

PPORT g_port = nullptr;

// The test adapter driver: StartDevice creates the port and miniport and registers them.
NTSTATUS install_subdevice(PDEVICE_OBJECT device, const WCHAR *name)
{
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, CLSID_PortWaveRT);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PUNKNOWN miniport = nullptr;
    status = create_miniport(&miniport);
    if (NT_SUCCESS(status)) {
        status = port->Init(device, nullptr, miniport, nullptr, nullptr);
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterSubdevice(device, const_cast<PWSTR>(name), port);
    }
    if (miniport != nullptr) {
        miniport->Release();
    }
    if (NT_SUCCESS(status)) {
        g_port = port;
    } else {
        port->Release();
    }
    return status;
}

NTSTATUS start_device(PDEVICE_OBJECT device, PIRP, PRESOURCELIST resources)
{
    if (resources == nullptr || resources->NumberOfEntries() != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (start_power() != nullptr) {
        NTSTATUS status = PcRegisterAdapterPowerManagement(start_power(), device);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return install_subdevice(device, L"Wave_48000");
}

NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return PcAddAdapterDevice(driver, pdo, start_device, 1, PORT_CLASS_DEVICE_EXTENSION_SIZE + 64);
}

// The bus driver of the PDO completes every PnP and power request it is sent; it reports a
// removable device.
NTSTATUS bus_dispatch(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = stack->MajorFunction;
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) {
        status = STATUS_SUCCESS;
    }
    if (major == IRP_MJ_POWER && stack->MinorFunction == IRP_MN_SET_POWER) {
        log().bus_power_states.push_back(stack->Parameters.Power.State.DeviceState);
    }
    if (major == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
        stack->Parameters.DeviceCapabilities.Capabilities->Removable = 1;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS on_done(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    UNREFERENCED_PARAMETER(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request built by the caller to the top of the stack and waits for it.
NTSTATUS send(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, DEVICE_POWER_STATE state)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (major == IRP_MJ_POWER) {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State.DeviceState = state;
    }
    DEVICE_CAPABILITIES capabilities = {};
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    if (major == IRP_MJ_PNP && minor == IRP_MN_QUERY_CAPABILITIES) {
        next->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, on_done, &done, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

} // namespace

void miniport_log::reset()
{
    init_calls = 0;
    state_calls.clear();
    power_states.clear();
    bus_power_states.clear();
    rendered.clear();
    rendered.reserve(1 << 20);
    volume[0] = volume[1] = 0;
    mute = 0;
    jack_connected = 1;
}

miniport_log &log()
{
    static miniport_log instance;
    return instance;
}

NTSTATUS create_miniport(PUNKNOWN *unknown)
{
    CTestMiniport *miniport = new (NonPagedPoolNx, test_tag) CTestMiniport(nullptr);
    if (miniport == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    miniport->AddRef();
    *unknown = static_cast<IMiniportWaveRT *>(miniport);
    return STATUS_SUCCESS;
}

PPORT &current_port() { return g_port; }

IAdapterPowerManagement *&start_power()
{
    static IAdapterPowerManagement *power = nullptr;
    return power;
}

test_adapter::test_adapter()
{
    m_bus = platform::io_create_driver_object(L"pctestbus", "");
    for (PDRIVER_DISPATCH &entry : m_bus->MajorFunction) {
        entry = bus_dispatch;
    }
    IoCreateDevice(m_bus, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &m_pdo);
    m_pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    platform::device_node fields;
    fields.instance_id = L"USB\\VID_1234&PID_5678\\0001";
    fields.service = L"PCTEST";
    platform::pnp_create_node(m_pdo, fields);
    m_driver = platform::io_create_driver_object(L"PCTEST", "");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PCTEST");
    PcInitializeAdapterDriver(m_driver, &path, add_device);
}

test_adapter::~test_adapter() { remove(); }

NTSTATUS test_adapter::start()
{
    NTSTATUS status = m_driver->DriverExtension->AddDevice(m_driver, m_pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_fdo = m_pdo->AttachedDevice;
    return send(m_pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, PowerDeviceUnspecified);
}

NTSTATUS test_adapter::send_pnp(UCHAR minor) { return send(m_pdo, IRP_MJ_PNP, minor, PowerDeviceUnspecified); }

NTSTATUS test_adapter::send_power(UCHAR minor, DEVICE_POWER_STATE state)
{
    return send(m_pdo, IRP_MJ_POWER, minor, state);
}

NTSTATUS test_adapter::unregister_subdevice()
{
    if (g_port == nullptr) {
        return STATUS_NOT_FOUND;
    }
    PUNREGISTERSUBDEVICE unregister = nullptr;
    NTSTATUS status = g_port->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<void **>(&unregister));
    if (NT_SUCCESS(status)) {
        status = unregister->UnregisterSubdevice(m_fdo, g_port);
        unregister->Release();
    }
    if (NT_SUCCESS(status)) {
        g_port->Release();
        g_port = nullptr;
    }
    return status;
}

NTSTATUS test_adapter::rename_subdevice(const WCHAR *name)
{
    NTSTATUS status = unregister_subdevice();
    return NT_SUCCESS(status) ? install_subdevice(m_fdo, name) : status;
}

void test_adapter::remove()
{
    if (m_removed) {
        return;
    }
    m_removed = true;
    if (m_fdo != nullptr) {
        send_pnp(IRP_MN_REMOVE_DEVICE);
        m_fdo = nullptr;
    }
    if (g_port != nullptr) {
        g_port->Release();
        g_port = nullptr;
    }
    m_driver->DriverUnload(m_driver);
    platform::io_unload_driver_object(m_driver);
    platform::pnp_delete_node(m_pdo);
    IoDeleteDevice(m_pdo);
    platform::io_discard_driver_object(m_bus);
}

} // namespace pctest
