// The audio engine's role: KS handles over the simulated I/O manager, the WaveRT filter's pin
// and property requests, and pin creation.
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <wdm.h>
#include <sim/audio_engine.h>
#include <platform/ks_client.h>
#include <platform/pnp.h>
#include <platform/user_io.h>

namespace sim {
namespace {

ks_result call(platform::user_file *file, const void *in, ULONG in_len, void *out, ULONG out_len)
{
    std::mutex lock;
    std::condition_variable done_changed;
    bool done = false;
    ks_result result;
    NTSTATUS sent = platform::user_io_ioctl(file, IOCTL_KS_PROPERTY, in, in_len, out, out_len,
                                            [&](NTSTATUS status, ULONG_PTR information) {
                                                std::lock_guard<std::mutex> guard(lock);
                                                result.status = status;
                                                result.information = information;
                                                done = true;
                                                done_changed.notify_all();
                                            });
    std::unique_lock<std::mutex> guard(lock);
    if (sent != STATUS_PENDING && !done) {
        result.status = sent;
        return result;
    }
    done_changed.wait(guard, [&] { return done; });
    return result;
}

KSP_PIN pin_request(const GUID &set, ULONG id, ULONG pin)
{
    KSP_PIN request{};
    request.Property.Set = set;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pin;
    return request;
}

ULONG align8(ULONG n) { return (n + 7) & ~7u; }

} // namespace

ks_handle::~ks_handle()
{
    if (m_file != nullptr) {
        platform::user_io_close(m_file);
    }
}

ks_result ks_handle::get(const void *request, ULONG request_size, void *value, ULONG value_size)
{
    return call(m_file, request, request_size, value, value_size);
}

ks_result ks_handle::set(const void *request, ULONG request_size, const void *value, ULONG value_size)
{
    std::vector<UCHAR> input(request_size + value_size);
    if (request_size != 0) {
        std::memcpy(input.data(), request, request_size);
    }
    if (value_size != 0) {
        std::memcpy(input.data() + request_size, value, value_size);
    }
    std::vector<UCHAR> output(value_size);
    return call(m_file, input.data(), (ULONG)input.size(), output.empty() ? nullptr : output.data(), value_size);
}

NTSTATUS wavert_filter::open(const std::wstring &path, std::unique_ptr<wavert_filter> *filter)
{
    platform::user_file *file = nullptr;
    NTSTATUS status = platform::user_io_open(path.c_str(), GENERIC_READ | GENERIC_WRITE, &file);
    if (NT_SUCCESS(status)) {
        filter->reset(new wavert_filter(file, path));
    }
    return status;
}

NTSTATUS wavert_filter::pin_count(ULONG *count)
{
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Pin;
    request.Id = KSPROPERTY_PIN_CTYPES;
    request.Flags = KSPROPERTY_TYPE_GET;
    return m_handle.get(&request, sizeof(request), count, sizeof(*count)).status;
}

NTSTATUS wavert_filter::pin_dataflow(ULONG pin, KSPIN_DATAFLOW *flow)
{
    KSP_PIN request = pin_request(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, pin);
    ULONG value = 0;
    NTSTATUS status = m_handle.get(&request, sizeof(request), &value, sizeof(value)).status;
    *flow = (KSPIN_DATAFLOW)value;
    return status;
}

NTSTATUS wavert_filter::pin_communication(ULONG pin, KSPIN_COMMUNICATION *communication)
{
    KSP_PIN request = pin_request(KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, pin);
    ULONG value = 0;
    NTSTATUS status = m_handle.get(&request, sizeof(request), &value, sizeof(value)).status;
    *communication = (KSPIN_COMMUNICATION)value;
    return status;
}

NTSTATUS wavert_filter::pin_data_ranges(ULONG pin, std::vector<UCHAR> *ranges)
{
    KSP_PIN request = pin_request(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, pin);
    ks_result size = m_handle.get(&request, sizeof(request), nullptr, 0);
    if (size.status != STATUS_BUFFER_OVERFLOW) {
        return NT_SUCCESS(size.status) ? STATUS_UNSUCCESSFUL : size.status;
    }
    ranges->assign(size.information, 0);
    return m_handle.get(&request, sizeof(request), ranges->data(), (ULONG)ranges->size()).status;
}

NTSTATUS wavert_filter::pin_audio_ranges(ULONG pin, std::vector<KSDATARANGE_AUDIO> *ranges,
                                         std::vector<bool> *attributed)
{
    std::vector<UCHAR> raw;
    NTSTATUS status = pin_data_ranges(pin, &raw);
    ranges->clear();
    attributed->clear();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, raw.data(), sizeof(header));
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < header.Count && offset + sizeof(KSDATARANGE) <= raw.size(); ++i) {
        KSDATARANGE range;
        std::memcpy(&range, raw.data() + offset, sizeof(range));
        if (range.FormatSize >= sizeof(KSDATARANGE_AUDIO) && offset + sizeof(KSDATARANGE_AUDIO) <= raw.size()) {
            KSDATARANGE_AUDIO audio;
            std::memcpy(&audio, raw.data() + offset, sizeof(audio));
            ranges->push_back(audio);
            attributed->push_back((range.Flags & KSDATARANGE_ATTRIBUTES) != 0);
        }
        offset += align8(range.FormatSize);
        if ((range.Flags & KSDATARANGE_ATTRIBUTES) != 0 && offset + sizeof(KSMULTIPLE_ITEM) <= raw.size()) {
            KSMULTIPLE_ITEM attributes;
            std::memcpy(&attributes, raw.data() + offset, sizeof(attributes));
            offset += align8(attributes.Size);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS wavert_filter::intersect(ULONG pin, const KSDATARANGE_AUDIO &client, std::vector<UCHAR> *format,
                                  ks_result *probe)
{
    struct {
        KSP_PIN pin;
        KSMULTIPLE_ITEM items;
        KSDATARANGE_AUDIO range;
    } request{};
    request.pin = pin_request(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, pin);
    request.items.Size = sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO);
    request.items.Count = 1;
    request.range = client;
    *probe = m_handle.get(&request, sizeof(request), nullptr, 0);
    if (probe->status != STATUS_BUFFER_OVERFLOW) {
        return NT_SUCCESS(probe->status) ? STATUS_UNSUCCESSFUL : probe->status;
    }
    format->assign(probe->information, 0);
    ks_result result = m_handle.get(&request, sizeof(request), format->data(), (ULONG)format->size());
    format->resize(NT_SUCCESS(result.status) ? result.information : 0);
    return result.status;
}

NTSTATUS wavert_filter::create_pin(ULONG pin, const std::vector<UCHAR> &format, std::unique_ptr<wavert_pin> *created)
{
    if (format.size() < sizeof(KSDATAFORMAT_WAVEFORMATEX)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<UCHAR> connect(sizeof(KSPIN_CONNECT) + format.size());
    KSPIN_CONNECT header{};
    header.Interface.Set = KSINTERFACESETID_Standard;
    header.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    header.Medium.Set = KSMEDIUMSETID_Standard;
    header.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    header.PinId = pin;
    header.Priority.PriorityClass = KSPRIORITY_NORMAL;
    header.Priority.PrioritySubClass = 1;
    std::memcpy(connect.data(), &header, sizeof(header));
    std::memcpy(connect.data() + sizeof(header), format.data(), format.size());

    std::wstring path = m_path + platform::ks_pin_create_name(reinterpret_cast<const KSPIN_CONNECT *>(connect.data()),
                                                              (ULONG)connect.size());
    platform::user_file *file = nullptr;
    NTSTATUS status = platform::user_io_open(path.c_str(), GENERIC_READ | GENERIC_WRITE, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WAVEFORMATEX wave;
    std::memcpy(&wave, format.data() + sizeof(KSDATAFORMAT), sizeof(wave));
    created->reset(new wavert_pin(file, wave.nChannels, wave.wBitsPerSample));
    KSPIN_DATAFLOW flow = KSPIN_DATAFLOW_IN;
    pin_dataflow(pin, &flow);
    (*created)->m_capture = flow == KSPIN_DATAFLOW_OUT;
    return STATUS_SUCCESS;
}

NTSTATUS wavert_filter::get_node_value(ULONG node, ULONG id, ULONG channel, LONG *value)
{
    KSNODEPROPERTY_AUDIO_CHANNEL request{};
    request.NodeProperty.Property.Set = KSPROPSETID_Audio;
    request.NodeProperty.Property.Id = id;
    request.NodeProperty.Property.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
    request.NodeProperty.NodeId = node;
    request.Channel = (LONG)channel;
    return m_handle.get(&request, sizeof(request), value, sizeof(*value)).status;
}

NTSTATUS wavert_filter::set_node_value(ULONG node, ULONG id, ULONG channel, LONG value)
{
    KSNODEPROPERTY_AUDIO_CHANNEL request{};
    request.NodeProperty.Property.Set = KSPROPSETID_Audio;
    request.NodeProperty.Property.Id = id;
    request.NodeProperty.Property.Flags = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY;
    request.NodeProperty.NodeId = node;
    request.Channel = (LONG)channel;
    return m_handle.set(&request, sizeof(request), &value, sizeof(value)).status;
}

NTSTATUS wavert_filter::component_id(KSCOMPONENTID *id)
{
    KSPROPERTY request{};
    request.Set = KSPROPSETID_General;
    request.Id = KSPROPERTY_GENERAL_COMPONENTID;
    request.Flags = KSPROPERTY_TYPE_GET;
    return m_handle.get(&request, sizeof(request), id, sizeof(*id)).status;
}

NTSTATUS wavert_filter::jack_description(ULONG pin, KSJACK_DESCRIPTION *jack)
{
    KSP_PIN request = pin_request(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, pin);
    UCHAR answer[sizeof(KSMULTIPLE_ITEM) + sizeof(KSJACK_DESCRIPTION)] = {};
    ks_result result = m_handle.get(&request, sizeof(request), answer, sizeof(answer));
    if (NT_SUCCESS(result.status) && result.information == sizeof(answer)) {
        std::memcpy(jack, answer + sizeof(KSMULTIPLE_ITEM), sizeof(*jack));
    } else if (NT_SUCCESS(result.status)) {
        return STATUS_NOT_FOUND;
    }
    return result.status;
}

NTSTATUS wavert_filter::signal_processing_modes(ULONG pin, std::vector<GUID> *modes)
{
    KSP_PIN request = pin_request(KSPROPSETID_AudioSignalProcessing, KSPROPERTY_AUDIOSIGNALPROCESSING_MODES, pin);
    ks_result size = m_handle.get(&request, sizeof(request), nullptr, 0);
    if (size.status != STATUS_BUFFER_OVERFLOW) {
        return NT_SUCCESS(size.status) ? STATUS_UNSUCCESSFUL : size.status;
    }
    std::vector<UCHAR> answer(size.information);
    ks_result result = m_handle.get(&request, sizeof(request), answer.data(), (ULONG)answer.size());
    modes->clear();
    if (NT_SUCCESS(result.status) && answer.size() >= sizeof(KSMULTIPLE_ITEM)) {
        KSMULTIPLE_ITEM header;
        std::memcpy(&header, answer.data(), sizeof(header));
        for (ULONG i = 0; i < header.Count && sizeof(header) + (i + 1) * sizeof(GUID) <= answer.size(); ++i) {
            GUID mode;
            std::memcpy(&mode, answer.data() + sizeof(header) + i * sizeof(GUID), sizeof(mode));
            modes->push_back(mode);
        }
    }
    return result.status;
}

std::vector<std::wstring> audio_interfaces()
{
    std::vector<std::wstring> paths;
    for (const platform::device_interface &item : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        paths.push_back(item.user_path);
    }
    return paths;
}

} // namespace sim
