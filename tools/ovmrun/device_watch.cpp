// The device-side figures of a run.
#include "device_watch.h"

namespace ovmrun {

namespace {

// High speed: frames per 125 us microframe in 16.16; full speed: frames per 1 ms frame in
// 10.14 (3 bytes) or 16.16 (4 bytes).
double feedback_to_rate(uint32_t value, bool high_speed, bool four_bytes)
{
    if (high_speed) {
        return value / 65536.0 * 8000.0;
    }
    return value / (four_bytes ? 65536.0 : 16384.0) * 1000.0;
}

} // namespace

device_watch::device_watch(std::shared_ptr<sim::audio_device> device, const sim::audio_device_options &options,
                           const sim::uac2_options &descriptors)
    : m_device(std::move(device)), m_drift_ppm(options.ppm), m_four_byte_feedback(options.full_speed_feedback_bytes == 4),
      m_render_formats(descriptors.render_formats), m_capture_formats(descriptors.capture_formats)
{
}

std::optional<sim::interface_info> device_watch::streaming_interface(bool render) const
{
    for (const sim::interface_info &info : m_device->interfaces()) {
        if (m_device->current_alternate(info.number) != info.alternate_setting) {
            continue;
        }
        for (const sim::endpoint_info &endpoint : info.endpoints) {
            const bool data_usage = (endpoint.attributes & 0x30) == 0;
            if (endpoint.type() == sim::endpoint_type::isochronous && data_usage && endpoint.is_in() != render) {
                return info;
            }
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
    }
}

void device_watch::streaming_midway()
{
    const std::optional<sim::interface_info> render = streaming_interface(true);
    const sim::pcm_format render_format = current_format(true);
    const sim::pcm_format capture_format = current_format(false);
    std::lock_guard<std::mutex> guard(m_lock);
    m_render_format = render_format;
    m_capture_format = capture_format;
    if (render) {
        m_feedback = m_device->nominal_feedback(render->number);
        m_rate = m_device->stream_rate(render->number);
    }
}

void device_watch::streaming_ending()
{
    const sim::device_counters now = m_device->counters();
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
    std::lock_guard<std::mutex> guard(m_lock);
    figures.nominal_rate = m_rate;
    figures.render_format = m_render_format;
    figures.capture_format = m_capture_format;
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
