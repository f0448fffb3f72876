// The device-side figures of a run.
#include "device_watch.h"
#include <platform/clock.h>
#include <chrono>

namespace ovmrun {

namespace {

// How often the device is sampled for the picture of the run.
constexpr auto sample_period = std::chrono::milliseconds(2);

bool has_data_endpoint(const sim::interface_info &info, bool render)
{
    for (const sim::endpoint_info &endpoint : info.endpoints) {
        const bool data_usage = (endpoint.attributes & 0x30) == 0;
        if (endpoint.type() == sim::endpoint_type::isochronous && data_usage && endpoint.is_in() != render) {
            return true;
        }
    }
    return false;
}

} // namespace

// High speed: frames per 125 us microframe in 16.16; full speed: frames per 1 ms frame in
// 10.14 (3 bytes) or 16.16 (4 bytes).
double feedback_to_rate(uint32_t value, bool high_speed, bool four_bytes)
{
    if (high_speed) {
        return value / 65536.0 * 8000.0;
    }
    return value / (four_bytes ? 65536.0 : 16384.0) * 1000.0;
}

feedback_mode async_feedback_mode(const sim::uac2_options &descriptors)
{
    // Both directions on one clock, or a capture endpoint that says it carries the feedback:
    // render follows the captured amount.
    if (descriptors.render && descriptors.capture &&
        (!descriptors.separate_clocks || descriptors.feedback == sim::feedback_kind::implicit)) {
        return feedback_mode::implicit;
    }
    if (descriptors.render && descriptors.feedback == sim::feedback_kind::explicit_endpoint) {
        return feedback_mode::explicit_endpoint;
    }
    return feedback_mode::pattern;
}

device_watch::device_watch(std::shared_ptr<sim::audio_device> device, const sim::audio_device_options &options,
                           const sim::uac2_options &descriptors)
    : m_device(std::move(device)), m_drift_ppm(options.ppm), m_four_byte_feedback(options.full_speed_feedback_bytes == 4),
      m_render_formats(descriptors.render_formats), m_capture_formats(descriptors.capture_formats),
      m_mode(async_feedback_mode(descriptors))
{
    for (const sim::interface_info &info : m_device->interfaces()) {
        if (has_data_endpoint(info, true) && !m_render_interface) {
            m_render_interface = info.number;
        } else if (has_data_endpoint(info, false) && !m_capture_interface) {
            m_capture_interface = info.number;
        }
    }
}

device_watch::~device_watch()
{
    stop_sampling();
}

void device_watch::set_feedback_mode(feedback_mode mode)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_mode = mode;
}

void device_watch::sample_while_streaming()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_sampling_wanted = true;
}

void device_watch::sample_loop()
{
    while (!m_sampling_stop) {
        device_sample sample;
        sample.time = platform::clock_now();
        if (m_render_interface) {
            sample.fifo_frames = m_device->render_fifo_frames(*m_render_interface);
            sample.feedback_value = m_device->nominal_feedback(*m_render_interface);
        }
        sample.captured_bytes = m_device->counters().in_bytes;
        m_samples.push_back(sample);
        std::this_thread::sleep_for(sample_period);
    }
}

void device_watch::stop_sampling()
{
    m_sampling_stop = true;
    if (m_sampler.joinable()) {
        m_sampler.join();
    }
}

std::optional<sim::interface_info> device_watch::streaming_interface(bool render) const
{
    for (const sim::interface_info &info : m_device->interfaces()) {
        if (m_device->current_alternate(info.number) == info.alternate_setting && has_data_endpoint(info, render)) {
            return info;
        }
    }
    return std::nullopt;
}

sim::pcm_format device_watch::current_format(bool render) const
{
    const std::optional<sim::interface_info> info = streaming_interface(render);
    const std::vector<sim::pcm_format> &formats = render ? m_render_formats : m_capture_formats;
    if (!info || info->alternate_setting == 0 || info->alternate_setting > formats.size()) {
        return {0, 0, 0};
    }
    return formats[info->alternate_setting - 1];
}

void device_watch::watch_bus(const sim::host_controller &bus)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_bus = &bus;
}

void device_watch::streaming_started()
{
    const sim::device_counters now = m_device->counters();
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_start) {
        m_start = now;
        m_stalls_start = m_bus != nullptr ? m_bus->counters().timer_stalls : 0;
        if (m_sampling_wanted) {
            m_sampler = std::thread([this] { sample_loop(); });
        }
    }
}

void device_watch::streaming_midway()
{
    const std::optional<sim::interface_info> render = streaming_interface(true);
    const sim::pcm_format render_format = current_format(true);
    const sim::pcm_format capture_format = current_format(false);
    const uint8_t render_mode = m_render_interface ? m_device->vendor_mode(*m_render_interface) : 0;
    const uint8_t capture_mode = m_capture_interface ? m_device->vendor_mode(*m_capture_interface) : 0;
    const uint32_t capture_rate = m_capture_interface ? m_device->stream_rate(*m_capture_interface) : 0;
    std::lock_guard<std::mutex> guard(m_lock);
    m_render_format = render_format;
    m_capture_format = capture_format;
    m_render_vendor_mode = render_mode;
    m_capture_vendor_mode = capture_mode;
    m_capture_rate = capture_rate;
    if (render) {
        m_feedback = m_device->nominal_feedback(render->number);
        m_rate = m_device->stream_rate(render->number);
    }
}

void device_watch::streaming_ending()
{
    const sim::device_counters now = m_device->counters();
    stop_sampling();
    std::lock_guard<std::mutex> guard(m_lock);
    m_end = now;
    m_stalls_end = m_bus != nullptr ? m_bus->counters().timer_stalls : 0;
}

device_figures device_watch::figures() const
{
    device_figures figures;
    figures.drift_ppm = m_drift_ppm;
    const bool high_speed = m_device->speed() == sim::usb_speed::high;
    for (const sim::interface_info &info : m_device->interfaces()) {
        for (const sim::endpoint_info &endpoint : info.endpoints) {
            const bool feedback_usage = (endpoint.attributes & 0x30) == 0x10;
            if (endpoint.type() == sim::endpoint_type::isochronous && endpoint.is_in() && feedback_usage) {
                figures.feedback_endpoint = true;
            }
        }
    }
    figures.high_speed = high_speed;
    figures.four_byte_feedback = m_four_byte_feedback;
    std::lock_guard<std::mutex> guard(m_lock);
    figures.mode = m_mode;
    figures.nominal_rate = m_rate;
    figures.render_format = m_render_format;
    figures.capture_format = m_capture_format;
    figures.render_vendor_mode = m_render_vendor_mode;
    figures.capture_vendor_mode = m_capture_vendor_mode;
    figures.capture_rate = m_capture_rate;
    if (!m_sampler.joinable()) {
        figures.samples = m_samples;
    }
    if (m_feedback) {
        figures.feedback_value = *m_feedback;
        figures.feedback_rate = feedback_to_rate(*m_feedback, high_speed, m_four_byte_feedback);
    }
    if (m_start && m_end) {
        figures.feedback_packets = m_end->feedback_packets - m_start->feedback_packets;
        figures.render_underruns = m_end->render_underruns - m_start->render_underruns;
        figures.render_overflows = m_end->render_overflows - m_start->render_overflows;
        figures.frames_played = m_end->render_frames_played - m_start->render_frames_played;
        figures.timer_stalls = m_stalls_end - m_stalls_start;
    }
    return figures;
}

} // namespace ovmrun
