// Audio endpoints over a loaded driver's WaveCyclic filter: the pins an exclusive client's
// stream opens, render periods sent as write requests and capture periods taken from read
// requests kept in flight, so that the device's clock paces the audio.
#include <sim/audio_endpoints.h>

#include <cstring>
#include <mutex>
#include <platform/pnp.h>
#include <sim/audio_engine.h>

namespace sim {

struct ks_filter_state {
    std::unique_ptr<wavert_filter> filter;
    std::mutex lock; // pins are created one at a time
};

namespace {

// Requests in flight per stream: enough to ride out a late period of either clock.
constexpr ULONG k_render_depth = 4;
constexpr ULONG k_capture_depth = 4;
constexpr ULONG k_render_prefill = 2;
constexpr ULONG k_candidate_rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};
constexpr USHORT k_candidate_bits[] = {16, 24, 32};

// Frees the pin after stopping it, which cancels what is still in flight.
void stop_pin(std::unique_ptr<wavecyclic_pin> &pin)
{
    if (pin) {
        pin->set_state(KSSTATE_STOP);
        pin.reset();
    }
}

class ks_render_stream final : public platform::audio_endpoint_stream {
public:
    explicit ks_render_stream(std::unique_ptr<wavecyclic_pin> pin) : m_pin(std::move(pin)) {}
    ~ks_render_stream() override { stop_pin(m_pin); }
    void render(const BYTE *data, UINT32 frames) override
    {
        // A device that fell behind loses this period rather than growing the queue.
        if (m_pin->in_flight() >= k_render_depth * 2) {
            return;
        }
        const ULONG bytes = frames * m_pin->block_align();
        if (!m_running) {
            // The device starts with silence queued ahead of the first period, so that a late
            // period of the engine's clock does not leave it without audio.
            std::vector<UCHAR> silence(bytes, 0);
            for (ULONG i = 0; i < k_render_prefill; ++i) {
                m_pin->submit_write(silence.data(), bytes);
            }
        }
        m_pin->submit_write(data, bytes);
        if (!m_running) {
            m_running = NT_SUCCESS(m_pin->set_state(KSSTATE_RUN));
        }
    }
    bool capture(BYTE *, UINT32) override { return false; }

private:
    std::unique_ptr<wavecyclic_pin> m_pin;
    bool m_running = false;
};

class ks_capture_stream final : public platform::audio_endpoint_stream {
public:
    ks_capture_stream(std::unique_ptr<wavecyclic_pin> pin, UINT32 period_frames)
        : m_pin(std::move(pin)), m_request_bytes(period_frames * m_pin->block_align())
    {
        refill();
        m_pin->set_state(KSSTATE_RUN);
    }
    ~ks_capture_stream() override { stop_pin(m_pin); }
    void render(const BYTE *, UINT32) override {}
    bool capture(BYTE *data, UINT32 frames) override
    {
        const size_t bytes = static_cast<size_t>(frames) * m_pin->block_align();
        m_pin->take_completed(&m_recorded);
        refill();
        if (m_recorded.size() < bytes) {
            std::memset(data, 0, bytes);
            return false;
        }
        std::memcpy(data, m_recorded.data(), bytes);
        m_recorded.erase(m_recorded.begin(), m_recorded.begin() + static_cast<std::ptrdiff_t>(bytes));
        return true;
    }

private:
    void refill()
    {
        while (m_pin->in_flight() < k_capture_depth && m_pin->submit_read(m_request_bytes) == STATUS_PENDING) {
        }
    }
    std::unique_ptr<wavecyclic_pin> m_pin;
    ULONG m_request_bytes;
    std::vector<UCHAR> m_recorded;
};

class ks_backend final : public platform::audio_endpoint_backend {
public:
    ks_backend(std::shared_ptr<ks_filter_state> filter, ULONG pin, bool capture)
        : m_filter(std::move(filter)), m_pin(pin), m_capture(capture)
    {
    }
    std::unique_ptr<platform::audio_endpoint_stream> open(const platform::audio_pcm_format &format,
                                                          UINT32 period_frames) override
    {
        std::unique_ptr<wavecyclic_pin> pin;
        {
            std::lock_guard<std::mutex> guard(m_filter->lock);
            if (!m_filter->filter ||
                !NT_SUCCESS(create_wavecyclic_pin(*m_filter->filter, m_pin,
                                                  pcm_connection_format(format.channels, format.container_bits, format.rate),
                                                  &pin))) {
                return nullptr;
            }
        }
        if (!NT_SUCCESS(pin->set_state(KSSTATE_ACQUIRE)) || !NT_SUCCESS(pin->set_state(KSSTATE_PAUSE))) {
            stop_pin(pin);
            return nullptr;
        }
        if (m_capture) {
            return std::make_unique<ks_capture_stream>(std::move(pin), period_frames);
        }
        return std::make_unique<ks_render_stream>(std::move(pin));
    }

private:
    std::shared_ptr<ks_filter_state> m_filter;
    ULONG m_pin;
    bool m_capture;
};

// The formats a pin's audio data ranges admit, 16-bit ones first.
std::vector<platform::audio_pcm_format> range_formats(const std::vector<KSDATARANGE_AUDIO> &ranges)
{
    std::vector<platform::audio_pcm_format> formats;
    for (USHORT bits : k_candidate_bits) {
        for (const KSDATARANGE_AUDIO &range : ranges) {
            if (range.DataRange.SubFormat != KSDATAFORMAT_SUBTYPE_PCM || bits < range.MinimumBitsPerSample ||
                bits > range.MaximumBitsPerSample) {
                continue;
            }
            for (ULONG rate : k_candidate_rates) {
                if (rate >= range.MinimumSampleFrequency && rate <= range.MaximumSampleFrequency) {
                    formats.push_back({rate, static_cast<USHORT>(range.MaximumChannels), bits, bits});
                }
            }
        }
    }
    return formats;
}

GUID endpoint_guid(const std::wstring &path, platform::audio_flow flow)
{
    ULONG hash = 2166136261u;
    for (WCHAR c : path) {
        hash = (hash ^ static_cast<ULONG>(towlower(c))) * 16777619u;
    }
    GUID guid{};
    guid.Data1 = hash;
    guid.Data2 = 0x4B53; // "KS"
    guid.Data3 = static_cast<USHORT>(0x4000 | static_cast<USHORT>(flow));
    guid.Data4[0] = 0x80;
    for (int i = 1; i < 8; ++i) {
        guid.Data4[i] = static_cast<UCHAR>(hash >> ((i % 4) * 8)) ^ static_cast<UCHAR>(i);
    }
    return guid;
}

} // namespace

NTSTATUS ks_endpoint_pair::create(const std::wstring &user_path, std::unique_ptr<ks_endpoint_pair> *created)
{
    created->reset();
    std::wstring instance;
    for (const platform::device_interface &item : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        if (item.user_path == user_path) {
            instance = item.instance_id;
        }
    }
    if (instance.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto state = std::make_shared<ks_filter_state>();
    NTSTATUS status = wavert_filter::open(user_path, &state->filter);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::unique_ptr<ks_endpoint_pair> pair(new ks_endpoint_pair());
    pair->m_filter = state;
    pair->m_device_key = instance;
    ULONG pins = 0;
    status = state->filter->pin_count(&pins);
    for (ULONG pin = 0; NT_SUCCESS(status) && pin < pins; ++pin) {
        KSPIN_DATAFLOW flow{};
        KSPIN_COMMUNICATION communication{};
        std::vector<KSDATARANGE_AUDIO> ranges;
        std::vector<bool> attributed;
        if (!NT_SUCCESS(state->filter->pin_dataflow(pin, &flow)) ||
            !NT_SUCCESS(state->filter->pin_communication(pin, &communication)) ||
            communication != KSPIN_COMMUNICATION_SINK ||
            !NT_SUCCESS(state->filter->pin_audio_ranges(pin, &ranges, &attributed)) || ranges.empty()) {
            continue;
        }
        const bool capture = flow == KSPIN_DATAFLOW_OUT;
        std::wstring &id = capture ? pair->m_capture_id : pair->m_render_id;
        if (!id.empty()) {
            continue;
        }
        const platform::audio_flow direction = capture ? platform::audio_flow::capture : platform::audio_flow::render;
        platform::audio_endpoint_desc desc;
        desc.flow = direction;
        desc.guid = endpoint_guid(user_path, direction);
        desc.description = capture ? L"Line" : L"Speakers";
        desc.interface_name = instance;
        desc.friendly_name = desc.description + L" (" + instance + L")";
        desc.device_path = L"{1}." + instance;
        desc.formats = range_formats(ranges);
        desc.backend = std::make_shared<ks_backend>(state, pin, capture);
        if (!desc.formats.empty()) {
            id = platform::audio_endpoint_add(desc);
        }
    }
    if (pair->m_render_id.empty() && pair->m_capture_id.empty()) {
        return NT_SUCCESS(status) ? STATUS_NOT_FOUND : status;
    }
    *created = std::move(pair);
    return STATUS_SUCCESS;
}

ks_endpoint_pair::~ks_endpoint_pair()
{
    remove();
}

void ks_endpoint_pair::remove()
{
    for (const std::wstring *id : {&m_render_id, &m_capture_id}) {
        if (!id->empty()) {
            platform::audio_endpoint_remove(*id);
        }
    }
    // The filter closes once the endpoints' backends have let go of it too.
    m_filter.reset();
}

} // namespace sim
