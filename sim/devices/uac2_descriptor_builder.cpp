// Descriptor builder of the asynchronous audio class 2 device: clock source(s), optional clock
// selector, the render path (USB-streaming input terminal, units, feature unit, speaker) and
// the capture path (microphone, feature unit, USB-streaming output terminal), and the AS
// interfaces with their PCM, 24-in-32, multichannel and raw-data alternates.
#include "descriptor_bytes.h"

#include <sim/uac_descriptors.h>

#include <algorithm>

namespace sim {

using bytes::append;
using bytes::put16;
using bytes::put32;
using bytes::put8;

namespace {

constexpr std::uint8_t cs_interface = 0x24;
constexpr std::uint8_t cs_endpoint = 0x25;

std::uint32_t channel_config(std::uint8_t channels)
{
    return channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1u;
}

// wMaxPacketSize for a frame size at a rate and bInterval: one frame of slack per packet, spread
// over extra high-speed transactions when it exceeds 1024 bytes, and capped at three.
std::uint16_t max_packet(const uac2_options &o, std::uint32_t frame_bytes, std::uint32_t rate, std::uint8_t interval)
{
    const std::uint32_t units_per_second = o.high_speed ? 8000u : 1000u;
    const std::uint32_t period = 1u << (std::clamp<unsigned>(interval, 1, 16) - 1);
    const std::uint64_t frames = (std::uint64_t{rate} * period + units_per_second - 1) / units_per_second + 1;
    std::uint64_t total = frames * frame_bytes;
    if (!o.high_speed) {
        return static_cast<std::uint16_t>(std::min<std::uint64_t>(total, 1023));
    }
    total = std::min<std::uint64_t>(total, 3 * 1024);
    const std::uint32_t transactions = static_cast<std::uint32_t>((total + 1023) / 1024);
    const std::uint32_t size = static_cast<std::uint32_t>((total + transactions - 1) / transactions);
    return static_cast<std::uint16_t>(size | (transactions - 1) << 11);
}

void clock_source(std::vector<std::uint8_t> &b, std::uint8_t id)
{
    // Internal programmable clock; frequency read-write, validity read-only.
    append(b, {8, cs_interface, 0x0A, id, 0x03, 0x07, 0, 0});
}

void feature_unit(std::vector<std::uint8_t> &b, const uac2_options &o, std::uint8_t id,
                  std::uint8_t source, std::uint8_t channels)
{
    const std::uint32_t controls = (o.mute_writable ? 0x3u : 0x1u) | (o.volume_writable ? 0xCu : 0x4u);
    append(b, {6u + 4u * (channels + 1u), cs_interface, 6, id, source});
    for (unsigned ch = 0; ch <= channels; ++ch) {
        put32(b, controls);
    }
    put8(b, 0);
}

void input_terminal(std::vector<std::uint8_t> &b, std::uint8_t id, unsigned type,
                    std::uint8_t clock, std::uint8_t channels)
{
    append(b, {17, cs_interface, 2, id});
    put16(b, type);
    append(b, {0, clock, channels});
    put32(b, channel_config(channels));
    put8(b, 0);
    put16(b, 0x0004); // connector control, read-only
    put8(b, 0);
}

void output_terminal(std::vector<std::uint8_t> &b, std::uint8_t id, unsigned type,
                     std::uint8_t source, std::uint8_t clock)
{
    append(b, {12, cs_interface, 3, id});
    put16(b, type);
    append(b, {0, source, clock});
    put16(b, 0x0004);
    put8(b, 0);
}

// A minimal but well-formed unit of each kind the class defines; the host treats them as
// pass-through entities.
std::uint8_t extra_unit(std::vector<std::uint8_t> &b, std::uint8_t subtype, std::uint8_t id,
                        std::uint8_t source, std::uint8_t clock, std::uint8_t channels)
{
    switch (subtype) {
    case 4: // mixer: one input pin, as many outputs, one byte of crosspoint controls
        append(b, {15, cs_interface, 4, id, 1, source, channels});
        put32(b, channel_config(channels));
        append(b, {0, 0, 0, 0});
        return id;
    case 5: // selector
        append(b, {8, cs_interface, 5, id, 1, source, 0x03, 0});
        return id;
    case 7: // effect
        append(b, {static_cast<unsigned>(12 + 4 * channels), cs_interface, 7, id});
        put16(b, 1);
        put8(b, source);
        for (unsigned ch = 0; ch <= channels; ++ch) {
            put32(b, 0);
        }
        put8(b, 0);
        return id;
    case 8: // processing: up/down-mix
    case 9: // extension
        append(b, {subtype == 8 ? 17u : 16u, cs_interface, subtype, id});
        put16(b, 1);
        append(b, {1, source, channels});
        put32(b, channel_config(channels));
        put8(b, 0);
        if (subtype == 8) {
            put16(b, 0);
        } else {
            put8(b, 0);
        }
        put8(b, 0);
        return id;
    case 12: // clock multiplier: a clock entity beside the audio path
        append(b, {7, cs_interface, 0x0C, id, clock, 0, 0});
        return source;
    case 13: // sample-rate converter
        append(b, {8, cs_interface, 0x0D, id, source, clock, clock, 0});
        return id;
    default:
        return source;
    }
}

void interface_descriptor(std::vector<std::uint8_t> &b, std::uint8_t number, std::uint8_t alt,
                          std::uint8_t endpoints, std::uint8_t cls, std::uint8_t subclass)
{
    append(b, {9, 4, number, alt, endpoints, cls, subclass, 0x20, 0});
}

void streaming_interface(std::vector<std::uint8_t> &b, const uac2_options &o, std::uint8_t number,
                         bool render, std::uint8_t audio_class)
{
    std::vector<pcm_format> formats = render ? o.render_formats : o.capture_formats;
    if (render && o.dsd_alt) {
        formats.push_back({2, 4, 32, true});
    }
    const std::uint8_t data_ep = render ? uac2_ids::render_data_ep : uac2_ids::capture_data_ep;
    const std::uint8_t interval = render && o.render_interval != 0 ? o.render_interval : o.data_interval;
    const bool feedback_ep = render && o.feedback == feedback_kind::explicit_endpoint;
    interface_descriptor(b, number, 0, 0, audio_class, 2);
    for (std::size_t i = 0; i < formats.size(); ++i) {
        const pcm_format &f = formats[i];
        interface_descriptor(b, number, static_cast<std::uint8_t>(i + 1), feedback_ep ? 2 : 1,
                             audio_class, 2);
        append(b, {16, cs_interface, 1,
                   render ? uac2_ids::render_usb_in : uac2_ids::capture_usb_out, 0, 1});
        put32(b, f.raw_data ? 0x80000000u : 0x00000001u);
        put8(b, f.channels);
        put32(b, channel_config(f.channels));
        put8(b, 0);
        append(b, {6, cs_interface, 2, 1, f.subslot_bytes, f.bits});
        std::uint8_t attributes = 0x05; // isochronous, asynchronous, data
        if (!render && (o.feedback == feedback_kind::implicit || o.implicit_capture)) {
            attributes = 0x25; // implicit feedback data
        } else if (render && o.feedback == feedback_kind::none) {
            attributes = 0x09; // adaptive: the device follows the host's data rate
        }
        append(b, {7, 5, data_ep, attributes});
        put16(b, max_packet(o, f.frame_bytes(), f.max_rate != 0 ? f.max_rate : o.max_rate, interval));
        put8(b, interval);
        append(b, {8, cs_endpoint, 1, 0, 0, 0, 0, 0});
        if (feedback_ep) {
            append(b, {7, 5, o.feedback_address, 0x11});
            put16(b, o.high_speed ? 4 : 3);
            put8(b, o.feedback_interval);
        }
    }
    if (o.vendor_alternate) {
        // A vendor mode on the same endpoint, without class-specific descriptors.
        interface_descriptor(b, number, static_cast<std::uint8_t>(formats.size() + 1), 1, 0xFF, 0xFF);
        append(b, {7, 5, data_ep, 0x05});
        put16(b, max_packet(o, 8, o.max_rate, interval));
        put8(b, interval);
    }
}

std::uint8_t max_channels(const std::vector<pcm_format> &formats)
{
    std::uint8_t channels = 2;
    for (const pcm_format &f : formats) {
        channels = std::max(channels, f.channels);
    }
    return channels;
}

} // namespace

std::vector<std::uint8_t> encode_string_descriptor(std::u16string_view text)
{
    const std::size_t units = std::min<std::size_t>(text.size(), 126);
    std::vector<std::uint8_t> b;
    put8(b, 2 + 2 * units);
    put8(b, 3);
    for (std::size_t i = 0; i < units; ++i) {
        put16(b, static_cast<std::uint16_t>(text[i]));
    }
    return b;
}

std::vector<std::uint8_t> encode_language_ids(const std::vector<std::uint16_t> &ids)
{
    std::vector<std::uint8_t> b;
    put8(b, 2 + 2 * ids.size());
    put8(b, 3);
    for (std::uint16_t id : ids) {
        put16(b, id);
    }
    return b;
}

device_descriptors build_uac2_device(const uac2_options &o)
{
    device_descriptors set;
    set.speed = o.high_speed ? usb_speed::high : usb_speed::full;
    auto &d = set.device;
    append(d, {18, 1});
    put16(d, 0x0200);
    append(d, {0xEF, 0x02, 0x01, 64});
    put16(d, o.vendor_id);
    put16(d, o.product_id);
    put16(d, o.bcd_device);
    append(d, {1, 2, 3, 1});

    const std::uint8_t audio_class = o.vendor_class ? 0xFF : 0x01;
    const std::uint8_t stream_count = (o.render ? 1 : 0) + (o.capture ? 1 : 0);
    const std::uint8_t interface_count =
        o.ac_interface + 1 + stream_count + (o.extra_interface ? 1 : 0) + (o.gap_interface ? 1 : 0);
    const std::uint8_t ac = o.ac_interface;

    auto &c = set.configuration;
    append(c, {9, 2, 0, 0, interface_count, 1, 0, 0x80, 250});
    for (std::uint8_t n = 0; n < ac; ++n) {
        interface_descriptor(c, n, 0, 0, 0xFF, 0x00);
    }
    append(c, {8, 0x0B, ac, static_cast<unsigned>(1 + stream_count), 1, 0, 0x20, 0});
    interface_descriptor(c, ac, 0, 0, audio_class, 1);

    const std::size_t header_at = c.size();
    append(c, {9, cs_interface, 1});
    put16(c, 0x0200);
    append(c, {0x08, 0, 0, 0});

    const std::uint8_t pins = std::clamp<std::uint8_t>(o.selector_pins, 1, 3);
    std::uint8_t render_clock = uac2_ids::render_clock;
    std::uint8_t capture_clock = o.separate_clocks ? uac2_ids::capture_clock : uac2_ids::render_clock;
    if (o.clock_selector) {
        render_clock = uac2_ids::clock_selector;
        if (!o.separate_clocks) {
            capture_clock = uac2_ids::clock_selector;
        }
    }
    auto clocks = [&] {
        clock_source(c, uac2_ids::render_clock);
        if (o.separate_clocks) {
            clock_source(c, uac2_ids::capture_clock);
        }
        if (o.clock_selector) {
            for (std::uint8_t p = 1; p < pins; ++p) {
                clock_source(c, static_cast<std::uint8_t>(uac2_ids::selector_pin_clock + p - 1));
            }
            append(c, {7u + pins, cs_interface, 0x0B, uac2_ids::clock_selector, pins, uac2_ids::render_clock});
            for (std::uint8_t p = 1; p < pins; ++p) {
                put8(c, uac2_ids::selector_pin_clock + p - 1);
            }
            append(c, {0x03, 0});
        }
    };
    if (!o.clocks_after_terminals) {
        clocks();
    }

    if (o.render) {
        const std::uint8_t channels = max_channels(o.render_formats);
        input_terminal(c, uac2_ids::render_usb_in, 0x0101, render_clock, channels);
        std::uint8_t source = uac2_ids::render_usb_in;
        std::uint8_t id = uac2_ids::first_extra_unit;
        for (std::uint8_t subtype : o.extra_units) {
            source = extra_unit(c, subtype, id++, source, uac2_ids::render_clock, channels);
        }
        feature_unit(c, o, uac2_ids::render_fu, source, channels);
        output_terminal(c, uac2_ids::speaker_out, 0x0301, uac2_ids::render_fu, render_clock);
    }
    if (o.capture) {
        const std::uint8_t channels = max_channels(o.capture_formats);
        input_terminal(c, uac2_ids::mic_in, 0x0201, capture_clock, channels);
        feature_unit(c, o, uac2_ids::capture_fu, uac2_ids::mic_in, channels);
        output_terminal(c, uac2_ids::capture_usb_out, 0x0101, uac2_ids::capture_fu,
                        capture_clock);
    }
    if (o.clocks_after_terminals) {
        clocks();
    }
    bytes::set16(c, header_at + 6, static_cast<unsigned>(c.size() - header_at));

    std::uint8_t number = ac + 1;
    if (o.render) {
        streaming_interface(c, o, number++, true, audio_class);
    }
    if (o.capture) {
        streaming_interface(c, o, number++, false, audio_class);
    }
    if (o.extra_interface) {
        interface_descriptor(c, number++, 0, 0, 0xFF, o.extra_interface_subclass);
    }
    if (o.gap_interface) {
        // A second capture interface the driver never reaches: the number before it is unused.
        ++number;
        interface_descriptor(c, number, 0, 0, audio_class, 2);
        interface_descriptor(c, number, 1, 1, audio_class, 2);
        append(c, {16, cs_interface, 1, uac2_ids::capture_usb_out, 0, 1});
        put32(c, 1);
        append(c, {2, 3, 0, 0, 0, 0});
        append(c, {6, cs_interface, 2, 1, 2, 16});
        append(c, {7, 5, uac2_ids::gap_data_ep, 0x05});
        put16(c, max_packet(o, 4, o.max_rate, o.data_interval));
        put8(c, o.data_interval);
        append(c, {8, cs_endpoint, 1, 0, 0, 0, 0, 0});
    }
    bytes::set16(c, 2, static_cast<unsigned>(c.size()));

    set.strings[0] = encode_language_ids({0x0409});
    set.strings[1] = encode_string_descriptor(o.manufacturer);
    set.strings[2] = encode_string_descriptor(o.product);
    set.strings[3] = encode_string_descriptor(o.serial);
    return set;
}

uac2_options standard_uac2_options(std::uint8_t render_interval)
{
    uac2_options o;
    o.product_id = 0x0202;
    o.render_formats = {{2, 2, 16}};
    o.capture_formats = {{2, 2, 16}};
    o.data_interval = render_interval;
    o.max_rate = 48000;
    return o;
}

} // namespace sim
