// Audio endpoints of simulated USB audio devices without a kernel driver: the endpoint pair, its
// loopback between render and capture, and plain endpoints for tests of endpoint discovery.
#include <sim/audio_endpoints.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

namespace sim {

// What render played, waiting for capture; frames of one format only. Capture begins to take
// once two periods wait: the two endpoint clocks tick on the same deadlines in either order,
// so with one period it would find the loop empty whenever its clock ran first, and the delay
// from render to capture would change in the middle of a stream.
struct loopback_state {
    std::mutex lock;
    bool enabled = true;
    bool flowing = false;
    platform::audio_pcm_format format{};
    std::deque<BYTE> bytes;
    std::atomic<ULONGLONG> rendered{0};
    std::atomic<ULONGLONG> captured{0};
};

namespace {

// At most one second of 8-channel 32-bit audio waits; older audio is dropped.
constexpr size_t k_loop_limit = 384000 * 8 * 4;

bool same_format(const platform::audio_pcm_format &a, const platform::audio_pcm_format &b)
{
    return a.rate == b.rate && a.channels == b.channels && a.container_bits == b.container_bits &&
           a.valid_bits == b.valid_bits;
}

class render_stream final : public platform::audio_endpoint_stream {
public:
    render_stream(std::shared_ptr<loopback_state> loop, const platform::audio_pcm_format &format)
        : m_loop(std::move(loop)), m_format(format)
    {
    }
    void render(const BYTE *data, UINT32 frames) override
    {
        m_loop->rendered += frames;
        std::lock_guard<std::mutex> guard(m_loop->lock);
        if (!m_loop->enabled) {
            return;
        }
        if (!same_format(m_loop->format, m_format)) {
            m_loop->bytes.clear();
            m_loop->flowing = false;
            m_loop->format = m_format;
        }
        m_loop->bytes.insert(m_loop->bytes.end(), data, data + static_cast<size_t>(frames) * m_format.block_align());
        while (m_loop->bytes.size() > k_loop_limit) {
            m_loop->bytes.erase(m_loop->bytes.begin(), m_loop->bytes.begin() + m_format.block_align());
        }
    }
    bool capture(BYTE *, UINT32) override { return false; }

private:
    std::shared_ptr<loopback_state> m_loop;
    platform::audio_pcm_format m_format;
};

// Takes a whole period from the loop or none, so what it hands on stays frame-exact.
class capture_stream final : public platform::audio_endpoint_stream {
public:
    capture_stream(std::shared_ptr<loopback_state> loop, const platform::audio_pcm_format &format)
        : m_loop(std::move(loop)), m_format(format)
    {
    }
    void render(const BYTE *, UINT32) override {}
    bool capture(BYTE *data, UINT32 frames) override
    {
        const size_t size = static_cast<size_t>(frames) * m_format.block_align();
        m_loop->captured += frames;
        std::lock_guard<std::mutex> guard(m_loop->lock);
        const bool same = m_loop->enabled && same_format(m_loop->format, m_format);
        m_loop->flowing = same && (m_loop->flowing || m_loop->bytes.size() >= 2 * size);
        if (!m_loop->flowing || m_loop->bytes.size() < size) {
            std::memset(data, 0, size);
            return false;
        }
        std::copy(m_loop->bytes.begin(), m_loop->bytes.begin() + static_cast<std::ptrdiff_t>(size), data);
        m_loop->bytes.erase(m_loop->bytes.begin(), m_loop->bytes.begin() + static_cast<std::ptrdiff_t>(size));
        return true;
    }

private:
    std::shared_ptr<loopback_state> m_loop;
    platform::audio_pcm_format m_format;
};

class loop_backend final : public platform::audio_endpoint_backend {
public:
    loop_backend(std::shared_ptr<loopback_state> loop, platform::audio_flow flow) : m_loop(std::move(loop)), m_flow(flow) {}
    std::unique_ptr<platform::audio_endpoint_stream> open(const platform::audio_pcm_format &format, UINT32) override
    {
        if (m_flow == platform::audio_flow::render) {
            return std::make_unique<render_stream>(m_loop, format);
        }
        return std::make_unique<capture_stream>(m_loop, format);
    }

private:
    std::shared_ptr<loopback_state> m_loop;
    platform::audio_flow m_flow;
};

// Endpoint GUIDs follow from the device and the direction, so a device that comes back gets
// the endpoints it had.
GUID endpoint_guid(const usb_endpoint_pair_options &options, platform::audio_flow flow)
{
    ULONG hash = 2166136261u;
    for (WCHAR c : options.instance) {
        hash = (hash ^ static_cast<ULONG>(c)) * 16777619u;
    }
    GUID guid{};
    guid.Data1 = (static_cast<ULONG>(options.vendor_id) << 16) | options.product_id;
    guid.Data2 = static_cast<USHORT>(hash >> 16);
    guid.Data3 = static_cast<USHORT>(0x4000 | (hash & 0x0FFF));
    guid.Data4[0] = 0x80;
    guid.Data4[1] = static_cast<UCHAR>(flow);
    for (int i = 2; i < 8; ++i) {
        guid.Data4[i] = static_cast<UCHAR>(hash >> ((i % 4) * 8));
    }
    return guid;
}

std::vector<platform::audio_pcm_format> pair_formats(const usb_endpoint_pair_options &options)
{
    std::vector<platform::audio_pcm_format> formats;
    for (USHORT bits : options.bits) {
        for (ULONG rate : options.rates) {
            formats.push_back({rate, options.channels, bits, bits});
        }
    }
    return formats;
}

class silent_stream final : public platform::audio_endpoint_stream {
public:
    void render(const BYTE *, UINT32) override {}
    bool capture(BYTE *data, UINT32 frames) override
    {
        std::memset(data, 0, static_cast<size_t>(frames) * m_block);
        return false;
    }
    ULONG m_block = 0;
};

class silent_backend final : public platform::audio_endpoint_backend {
public:
    std::unique_ptr<platform::audio_endpoint_stream> open(const platform::audio_pcm_format &format, UINT32) override
    {
        auto stream = std::make_unique<silent_stream>();
        stream->m_block = format.block_align();
        return stream;
    }
};

} // namespace

usb_endpoint_pair::usb_endpoint_pair(const usb_endpoint_pair_options &options)
    : m_options(options), m_loop(std::make_shared<loopback_state>())
{
    m_loop->enabled = options.loopback;
    WCHAR ids[32];
    std::swprintf(ids, 32, L"VID_%04X&PID_%04X", options.vendor_id, options.product_id);
    m_device_key = std::wstring(L"USB\\") + ids + L"\\" + options.instance;
    add_endpoints();
}

usb_endpoint_pair::~usb_endpoint_pair()
{
    unplug();
}

void usb_endpoint_pair::add_endpoints()
{
    const std::vector<platform::audio_pcm_format> formats = pair_formats(m_options);
    for (platform::audio_flow flow : {platform::audio_flow::render, platform::audio_flow::capture}) {
        const bool render = flow == platform::audio_flow::render;
        if (render ? !m_options.with_render : !m_options.with_capture) {
            continue;
        }
        platform::audio_endpoint_desc desc;
        desc.flow = flow;
        desc.guid = endpoint_guid(m_options, flow);
        desc.description = render ? L"Speakers" : L"Line";
        desc.friendly_name = desc.description + L" (" + m_options.device_name + L")";
        desc.interface_name = m_options.device_name;
        desc.device_path = L"{1}." + m_device_key;
        desc.formats = formats;
        desc.default_period = m_options.default_period;
        desc.minimum_period = m_options.minimum_period;
        desc.alignment_bytes = m_options.alignment_bytes;
        desc.backend = std::make_shared<loop_backend>(m_loop, flow);
        (render ? m_render_id : m_capture_id) = platform::audio_endpoint_add(desc);
    }
    m_present = true;
}

void usb_endpoint_pair::unplug()
{
    if (!m_present) {
        return;
    }
    for (const std::wstring *id : {&m_render_id, &m_capture_id}) {
        if (!id->empty()) {
            platform::audio_endpoint_remove(*id);
        }
    }
    m_present = false;
}

void usb_endpoint_pair::replug()
{
    if (!m_present) {
        add_endpoints();
    }
}

ULONGLONG usb_endpoint_pair::frames_rendered() const
{
    return m_loop->rendered;
}

ULONGLONG usb_endpoint_pair::frames_captured() const
{
    return m_loop->captured;
}

std::wstring add_plain_endpoint(platform::audio_flow flow, const GUID &guid, const std::wstring &device_path,
                                const std::wstring &device_name)
{
    platform::audio_endpoint_desc desc;
    desc.flow = flow;
    desc.guid = guid;
    desc.description = flow == platform::audio_flow::render ? L"Speakers" : L"Microphone";
    desc.friendly_name = desc.description + L" (" + device_name + L")";
    desc.interface_name = device_name;
    desc.device_path = device_path;
    desc.formats = {{44100, 2, 16, 16}, {48000, 2, 16, 16}};
    desc.backend = std::make_shared<silent_backend>();
    return platform::audio_endpoint_add(desc);
}

} // namespace sim
