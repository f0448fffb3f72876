// Isochronous streaming of sim::audio_device. The device clock of a stream runs at its
// current rate +/- ppm; the frames it moves between two bus times are the difference of
// floor(t x rate x (1e6 + ppm) / 8e9) at both ends, so long runs are exact and repeatable.
// An adaptive render endpoint instead carries the fraction of a frame from step to step, as
// its recovered clock is pulled towards a half-full FIFO.
#include "audio_device_state.h"

#include "descriptor_bytes.h"

#include <algorithm>

namespace sim {

namespace {

using wide = unsigned __int128;

constexpr std::uint64_t ppm_scale = 1'000'000;

// Clock recovery of an adaptive render endpoint: ppm of pull per frame the FIFO is off half
// full, and the most the recovered clock can be pulled away from the local one.
constexpr std::int64_t adaptive_pull_per_frame = 10;
constexpr std::int64_t adaptive_pull_range = 1000;

std::uint64_t clock_position(std::uint64_t microframe, std::uint32_t rate, std::int32_t ppm)
{
    const std::uint64_t scaled_rate = std::uint64_t{rate} * static_cast<std::uint64_t>(
                                                                 static_cast<std::int64_t>(ppm_scale) + ppm);
    return static_cast<std::uint64_t>(wide{microframe} * scaled_rate / (wide{8000} * ppm_scale));
}

// Packet period of an isochronous endpoint in microframes.
std::uint64_t packet_period(const endpoint_info &ep, bool high_speed, bool uac2)
{
    const unsigned interval = std::clamp<unsigned>(ep.interval, 1, 16);
    if (high_speed) {
        return std::uint64_t{1} << (interval - 1);
    }
    return uac2 ? std::uint64_t{8} << (interval - 1) : 8;
}

void write_sample(std::uint8_t *out, std::uint32_t value, std::uint32_t size)
{
    for (std::uint32_t i = 0; i < size; ++i) {
        out[i] = static_cast<std::uint8_t>(i < 4 ? value >> (8 * i) : 0);
    }
}

} // namespace

std::uint32_t capture_pattern_sample(std::uint64_t frame, std::uint32_t channel, std::uint32_t channels)
{
    return static_cast<std::uint32_t>(frame * channels + channel);
}

void audio_device::state::select_alternate(std::uint8_t interface_number, std::uint8_t alt)
{
    alternates[interface_number] = alt;
    streams.erase(interface_number);
    const stream_alternate *a = topology.alternate(interface_number, alt);
    if (alt == 0 || a == nullptr || !a->data) {
        return;
    }
    stream_state stream;
    stream.alt = a;
    stream.render = !a->data->is_in();
    stream.frame_bytes = a->has_format ? a->format.frame_bytes() : 0;
    stream.adaptive = stream.render && (a->data->attributes & 0x08) != 0;
    streams[interface_number] = std::move(stream);
}

std::uint32_t audio_device::state::rate_of(std::uint8_t interface_number) const
{
    auto current = alternates.find(interface_number);
    const stream_alternate *a =
        topology.alternate(interface_number, current == alternates.end() ? 1 : std::max<std::uint8_t>(current->second, 1));
    if (a == nullptr) {
        return options.initial_rate;
    }
    if (!topology.uac2()) {
        // An alternate with one fixed rate runs at it, whatever the endpoint was set to before.
        if (!a->continuous && a->rates.size() == 1) {
            return a->rates[0];
        }
        if (!a->data) {
            return options.initial_rate;
        }
        auto it = endpoint_rates.find(a->data->address);
        return it == endpoint_rates.end() ? options.initial_rate : it->second;
    }
    const audio_entity *terminal = topology.entity(a->terminal_link);
    const std::uint8_t clock =
        terminal == nullptr ? 0 : topology.resolve_clock(terminal->clock_source, selector_pins);
    auto it = clock_rates.find(clock);
    return it == clock_rates.end() || it->second == 0 ? options.initial_rate : it->second;
}

std::int32_t audio_device::state::ppm_of(std::uint8_t interface_number) const
{
    if (topology.uac2()) {
        auto current = alternates.find(interface_number);
        const stream_alternate *a = topology.alternate(
            interface_number, current == alternates.end() ? 1 : std::max<std::uint8_t>(current->second, 1));
        const audio_entity *terminal = a == nullptr ? nullptr : topology.entity(a->terminal_link);
        if (terminal != nullptr) {
            auto it = options.clock_ppm.find(topology.resolve_clock(terminal->clock_source, selector_pins));
            if (it != options.clock_ppm.end()) {
                return it->second;
            }
        }
    }
    return options.ppm;
}

std::uint64_t audio_device::state::clock_frames(std::uint8_t interface_number, std::uint64_t from,
                                                std::uint64_t to) const
{
    if (to <= from) {
        return 0;
    }
    const std::uint32_t rate = rate_of(interface_number);
    const std::int32_t ppm = ppm_of(interface_number);
    return clock_position(to, rate, ppm) - clock_position(from, rate, ppm);
}

std::uint64_t audio_device::state::adaptive_frames(std::uint8_t interface_number, stream_state &stream,
                                                   std::uint64_t to, std::uint64_t capacity)
{
    if (to <= stream.last_microframe || stream.frame_bytes == 0) {
        return 0;
    }
    const std::int64_t fill = static_cast<std::int64_t>(stream.fifo.size() / stream.frame_bytes);
    const std::int64_t pull = std::clamp((fill - static_cast<std::int64_t>(capacity / 2)) * adaptive_pull_per_frame,
                                         -adaptive_pull_range, adaptive_pull_range);
    const std::int64_t ppm = static_cast<std::int64_t>(ppm_scale) + ppm_of(interface_number) + pull;
    const wide per_frame = wide{8000} * ppm_scale;
    const wide position = wide{to - stream.last_microframe} * rate_of(interface_number) *
                              static_cast<std::uint64_t>(std::max<std::int64_t>(ppm, 0)) +
                          stream.clock_remainder;
    stream.clock_remainder = static_cast<std::uint64_t>(position % per_frame);
    return static_cast<std::uint64_t>(position / per_frame);
}

std::uint32_t audio_device::state::feedback_bytes(const endpoint_info &feedback) const
{
    if (!high_speed() && options.full_speed_feedback_bytes) {
        return *options.full_speed_feedback_bytes;
    }
    const std::uint32_t stated = feedback.max_packet_raw & 0x7FFu;
    return stated == 3 ? 3 : 4;
}

std::uint32_t audio_device::state::feedback_value(std::uint8_t interface_number, std::uint32_t size) const
{
    const wide numerator = wide{rate_of(interface_number)} *
                           static_cast<std::uint64_t>(static_cast<std::int64_t>(ppm_scale) + ppm_of(interface_number));
    // Frames per (micro)frame of the bus: 10.14 in three bytes, 16.16 in four.
    const wide scale = size == 3 ? 16384 : 65536;
    const wide units = high_speed() ? 8000 : 1000;
    const wide denominator = units * ppm_scale;
    return static_cast<std::uint32_t>((numerator * scale + denominator / 2) / denominator);
}

void audio_device::state::advance_to(std::uint64_t microframe)
{
    microframe = std::max(microframe, now);
    for (auto &[number, stream] : streams) {
        if (!stream.render || stream.frame_bytes == 0) {
            continue;
        }
        const std::uint32_t fb = stream.frame_bytes;
        const std::uint64_t capacity =
            std::max<std::uint64_t>(2, std::uint64_t{rate_of(number)} * options.render_fifo_us / 1'000'000);
        if (!stream.playing) {
            stream.last_microframe = microframe;
            if (stream.fifo.size() / fb >= capacity / 2) {
                stream.playing = true;
            }
            continue;
        }
        const std::uint64_t frames = stream.adaptive ? adaptive_frames(number, stream, microframe, capacity)
                                                     : clock_frames(number, stream.last_microframe, microframe);
        stream.last_microframe = microframe;
        if (frames == 0) {
            continue;
        }
        std::vector<std::uint8_t> played_bytes(frames * fb, 0);
        const std::size_t available = std::min<std::size_t>(stream.fifo.size(), played_bytes.size());
        std::copy_n(stream.fifo.begin(), available, played_bytes.begin());
        stream.fifo.erase(stream.fifo.begin(), stream.fifo.begin() + static_cast<std::ptrdiff_t>(available));
        if (available < played_bytes.size()) {
            ++counters.render_underruns;
            counters.render_underrun_frames += (played_bytes.size() - available) / fb;
        }
        counters.render_frames_played += frames;
        if (options.record_played) {
            std::deque<std::uint8_t> &kept = played[number];
            kept.insert(kept.end(), played_bytes.begin(), played_bytes.end());
            const std::size_t limit = std::size_t{rate_of(number)} * fb * 4;
            if (kept.size() > limit) {
                kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(kept.size() - limit));
            }
        }
        if (options.capture != capture_source::loopback) {
            continue;
        }
        const pcm_format &in = stream.alt->format;
        for (auto &[other, capture] : streams) {
            if (capture.render || capture.frame_bytes == 0) {
                continue;
            }
            const pcm_format &out = capture.alt->format;
            for (std::uint64_t f = 0; f < frames; ++f) {
                const std::uint8_t *frame = played_bytes.data() + f * fb;
                for (std::uint32_t c = 0; c < out.channels; ++c) {
                    const int source = c < options.loopback_channel_map.size()
                                           ? options.loopback_channel_map[c]
                                           : (options.loopback_channel_map.empty() ? static_cast<int>(c) : -1);
                    // Samples keep their most significant bytes when the sample sizes differ.
                    for (std::uint32_t byte = 0; byte < out.subslot_bytes; ++byte) {
                        const int from = static_cast<int>(byte) + in.subslot_bytes - out.subslot_bytes;
                        const bool present = source >= 0 && source < in.channels && from >= 0 &&
                                             from < in.subslot_bytes;
                        capture.loopback.push_back(present ? frame[source * in.subslot_bytes + from] : 0);
                    }
                }
            }
            const std::size_t limit = std::size_t{rate_of(other)} * capture.frame_bytes;
            if (capture.loopback.size() > limit) {
                capture.loopback.erase(capture.loopback.begin(),
                                       capture.loopback.begin() +
                                           static_cast<std::ptrdiff_t>(capture.loopback.size() - limit));
            }
        }
    }
    now = microframe;
}

stream_state *audio_device::state::stream_for_endpoint(std::uint8_t address, std::uint8_t *interface_number)
{
    for (auto &[number, stream] : streams) {
        if ((stream.alt->data && stream.alt->data->address == address) ||
            (stream.alt->feedback && stream.alt->feedback->address == address)) {
            *interface_number = number;
            return &stream;
        }
    }
    return nullptr;
}

packet_status audio_device::state::out_packet(std::uint8_t address, std::uint64_t microframe,
                                              std::span<const std::uint8_t> packet)
{
    if (removed) {
        return packet_status::no_response;
    }
    if (halted.count(address) != 0) {
        ++counters.packets_while_halted;
        return packet_status::stall;
    }
    advance_to(microframe);
    std::uint8_t number = 0;
    stream_state *stream = stream_for_endpoint(address, &number);
    if (stream == nullptr || !stream->render || stream->alt->data->address != address) {
        ++counters.out_invalid;
        return packet_status::error;
    }
    ++counters.out_packets;
    counters.out_bytes += packet.size();
    std::span<const std::uint8_t> payload = packet;
    if (packet.size() > stream->alt->data->max_bytes_per_interval()) {
        ++counters.out_invalid;
    }
    if (options.length_prefixed_render && !packet.empty()) {
        const std::uint32_t count = bytes::get32(packet, 0);
        if (packet.size() < 4 || std::uint64_t{count} + 4 != packet.size()) {
            ++counters.length_prefix_errors;
        }
        payload = packet.size() < 4 ? packet.first(0) : packet.subspan(4, std::min<std::size_t>(count, packet.size() - 4));
    }
    const std::uint32_t fb = stream->frame_bytes;
    if (fb == 0) {
        return packet_status::ok;
    }
    if (payload.size() % fb != 0) {
        ++counters.out_invalid;
    }
    const std::uint64_t frames = payload.size() / fb;

    // Implicit feedback: each render packet should carry what the matching capture packet did.
    const bool implicit = !stream->alt->feedback;
    if (implicit && frames != 0) {
        for (auto &[other, capture] : streams) {
            if (!capture.render && capture.alt->data && (capture.alt->data->attributes & 0x30) == 0x20 &&
                !capture.implicit_sizes.empty()) {
                if (capture.implicit_sizes.front() != frames) {
                    ++counters.implicit_slips;
                }
                capture.implicit_sizes.pop_front();
            }
        }
    }

    const std::uint64_t capacity =
        std::max<std::uint64_t>(2, std::uint64_t{rate_of(number)} * options.render_fifo_us / 1'000'000);
    const std::uint64_t held = stream->fifo.size() / fb;
    const std::uint64_t accepted = std::min(frames, capacity > held ? capacity - held : 0);
    if (accepted < frames) {
        ++counters.render_overflows;
        counters.render_overflow_frames += frames - accepted;
    }
    stream->fifo.insert(stream->fifo.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(accepted * fb));
    advance_to(microframe);
    return packet_status::ok;
}

iso_in_result audio_device::state::in_packet(std::uint8_t address, std::uint64_t microframe,
                                             std::span<std::uint8_t> buffer)
{
    if (removed) {
        return {0, packet_status::no_response};
    }
    if (halted.count(address) != 0) {
        ++counters.packets_while_halted;
        return {0, packet_status::stall};
    }
    advance_to(microframe);
    std::uint8_t number = 0;
    stream_state *stream = stream_for_endpoint(address, &number);
    if (stream == nullptr) {
        return {0, packet_status::error};
    }

    if (stream->alt->feedback && stream->alt->feedback->address == address) {
        ++counters.feedback_packets;
        const std::uint64_t index = stream->feedback_packets++;
        const std::uint32_t size = feedback_bytes(*stream->alt->feedback);
        std::uint32_t value = feedback_value(number, size);
        std::uint32_t length = size;
        auto fault = feedback_faults.find(index);
        if (fault != feedback_faults.end()) {
            if (fault->second.kind == feedback_fault_kind::error) {
                return {0, packet_status::error};
            }
            if (fault->second.kind == feedback_fault_kind::two_bytes) {
                length = 2;
            } else {
                value = fault->second.value;
            }
        }
        const unsigned refresh = stream->alt->feedback->refresh;
        if (options.refresh_zero_length && !topology.uac2() && refresh > 0 &&
            (microframe / 8) % (std::uint64_t{1} << std::min(refresh, 9u)) != 0) {
            length = 0;
        }
        length = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(buffer.size()));
        write_sample(buffer.data(), value, length);
        return {length, packet_status::ok};
    }

    if (stream->render) {
        return {0, packet_status::error};
    }
    const std::uint64_t period = packet_period(*stream->alt->data, high_speed(), topology.uac2());
    if (!stream->has_last) {
        stream->last_microframe = microframe >= period ? microframe - period : 0;
        stream->has_last = true;
    }
    std::uint64_t frames = clock_frames(number, stream->last_microframe, microframe);
    stream->last_microframe = std::max(stream->last_microframe, microframe);
    const std::uint64_t index = stream->packets++;
    ++counters.in_packets;
    const std::uint32_t fb = stream->frame_bytes;

    // Frames the clock produced leave the loopback queue whatever the packet carries.
    const std::uint64_t produced = frames;
    bool error = false;
    auto fault = capture_faults.find(index);
    if (fault != capture_faults.end()) {
        switch (fault->second.kind) {
        case capture_fault_kind::zero_length:
            frames = 0;
            break;
        case capture_fault_kind::frames_delta:
            frames = static_cast<std::uint64_t>(std::max<std::int64_t>(0, static_cast<std::int64_t>(frames) + fault->second.frames));
            break;
        case capture_fault_kind::error:
            frames = 0;
            error = true;
            break;
        }
    }
    if (fb == 0) {
        frames = 0; // a format the descriptors do not state completely carries no samples
    } else if (frames * fb > buffer.size()) {
        ++counters.capture_truncated;
        frames = buffer.size() / fb;
    }
    const std::uint64_t bytes = frames * fb;
    if (options.capture == capture_source::pattern) {
        const std::uint32_t channels = stream->alt->format.channels;
        for (std::uint64_t f = 0; f < frames; ++f) {
            for (std::uint32_t c = 0; c < channels; ++c) {
                write_sample(buffer.data() + f * fb + c * stream->alt->format.subslot_bytes,
                             capture_pattern_sample(stream->pattern_frame + f, c, channels),
                             stream->alt->format.subslot_bytes);
            }
        }
        stream->pattern_frame += std::max(frames, produced);
    } else {
        // The output reaches the input through a path of two milliseconds: the input records
        // silence until that much was played, then takes the played frames at its own clock.
        // The delay absorbs the jitter between an output that follows the host's data rate (an
        // adaptive or synchronous endpoint) and an input on the device's clock.
        const std::size_t delay = std::size_t{rate_of(number)} * 2 / 1000 * fb;
        stream->loopback_flowing = stream->loopback_flowing || (delay != 0 && stream->loopback.size() >= delay);
        const std::size_t available =
            stream->loopback_flowing ? std::min<std::size_t>(stream->loopback.size(), bytes) : 0;
        std::copy_n(stream->loopback.begin(), available, buffer.begin());
        std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(available),
                  buffer.begin() + static_cast<std::ptrdiff_t>(bytes), 0);
        if (stream->loopback_flowing) {
            const std::size_t drop = std::min<std::size_t>(stream->loopback.size(), std::max(bytes, produced * fb));
            stream->loopback.erase(stream->loopback.begin(),
                                   stream->loopback.begin() + static_cast<std::ptrdiff_t>(drop));
        }
    }
    if ((stream->alt->data->attributes & 0x30) == 0x20) {
        stream->implicit_sizes.push_back(static_cast<std::uint32_t>(frames));
        if (stream->implicit_sizes.size() > 1024) {
            stream->implicit_sizes.pop_front();
        }
    }
    if (error) {
        return {0, packet_status::error};
    }
    counters.in_bytes += bytes;
    return {static_cast<std::uint32_t>(bytes), packet_status::ok};
}

packet_status audio_device::iso_out(std::uint8_t address, std::uint64_t microframe,
                                    std::span<const std::uint8_t> packet)
{
    std::lock_guard guard(m_state->lock);
    return m_state->out_packet(address, microframe, packet);
}

iso_in_result audio_device::iso_in(std::uint8_t address, std::uint64_t microframe,
                                   std::span<std::uint8_t> buffer)
{
    std::lock_guard guard(m_state->lock);
    return m_state->in_packet(address, microframe, buffer);
}

void audio_device::advance(std::uint64_t microframe)
{
    std::lock_guard guard(m_state->lock);
    m_state->advance_to(microframe);
}

} // namespace sim
