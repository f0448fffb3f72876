// Descriptor builder of the full-speed audio class 1 device, and the edits that turn a built
// descriptor set into the malformed variants real devices show.
#include "descriptor_bytes.h"

#include <sim/uac_descriptors.h>

#include <algorithm>
#include <optional>

namespace sim {

using bytes::append;
using bytes::put16;
using bytes::put24;
using bytes::put8;

namespace {

constexpr std::uint8_t cs_interface = 0x24;
constexpr std::uint8_t cs_endpoint = 0x25;

unsigned channel_config(std::uint8_t channels) { return channels >= 16 ? 0xFFFFu : (1u << channels) - 1u; }

void feature_unit(std::vector<std::uint8_t> &b, std::uint8_t id, std::uint8_t source,
                  std::uint8_t channels, std::uint8_t control_size)
{
    append(b, {7u + control_size * (channels + 1u), cs_interface, 6, id, source, control_size});
    for (unsigned ch = 0; ch <= channels; ++ch) {
        const unsigned controls = 0x03; // mute and volume
        put8(b, controls);
        for (unsigned i = 1; i < control_size; ++i) {
            put8(b, 0);
        }
    }
    put8(b, 0);
}

void streaming_interface(std::vector<std::uint8_t> &b, const uac1_options &o, std::uint8_t number,
                         bool render, std::uint8_t audio_class)
{
    const pcm_format &f = render ? o.render_format : o.capture_format;
    const bool sync_ep = render && o.render_sync == uac1_options::sync::sync_endpoint;
    const std::uint8_t data_ep = render ? uac1_ids::render_data_ep : uac1_ids::capture_data_ep;
    const std::uint8_t interval = o.high_speed ? o.data_interval : 1;
    append(b, {9, 4, number, 0, 0, audio_class, 2, 0, 0});
    append(b, {9, 4, number, 1, sync_ep ? 2u : 1u, audio_class, 2, 0, 0});
    append(b, {7, cs_interface, 1, render ? uac1_ids::render_usb_in : uac1_ids::capture_usb_out, 1});
    put16(b, 0x0001);
    const std::size_t rate_count = o.continuous_rates ? 2 : o.rates.size();
    append(b, {static_cast<unsigned>(8 + 3 * rate_count), cs_interface, 2, 1, f.channels,
               f.subslot_bytes, f.bits, o.continuous_rates ? 0u : static_cast<unsigned>(rate_count)});
    std::uint32_t max_rate = 0;
    for (std::size_t i = 0; i < rate_count; ++i) {
        const std::uint32_t rate = i < o.rates.size() ? o.rates[i] : 0;
        put24(b, rate);
        max_rate = std::max(max_rate, rate);
    }
    unsigned attributes = 0x05;
    unsigned synch_address = 0;
    if (render) {
        switch (o.render_sync) {
        case uac1_options::sync::sync_endpoint:
            synch_address = uac1_ids::sync_ep;
            break;
        case uac1_options::sync::implicit_in:
            synch_address = uac1_ids::capture_data_ep;
            break;
        case uac1_options::sync::adaptive:
            attributes = 0x09;
            break;
        case uac1_options::sync::synchronous:
            attributes = 0x0D;
            break;
        }
    }
    // A packet of the highest rate and one frame of slack, per packet interval.
    const std::uint32_t per = o.high_speed ? 8000 : 1000;
    const std::uint32_t period = 1u << (std::clamp<unsigned>(interval, 1, 16) - 1);
    std::uint32_t max_packet =
        std::min<std::uint32_t>(((max_rate * period + per - 1) / per + 1) * f.frame_bytes(), o.high_speed ? 1024 : 1023);
    if (render && o.render_max_packet != 0) {
        max_packet = o.render_max_packet;
    }
    append(b, {9, 5, data_ep, attributes});
    put16(b, max_packet);
    append(b, {interval, 0, synch_address});
    const bool sf_control = render ? o.render_sf_control : o.capture_sf_control;
    append(b, {7, cs_endpoint, 1, sf_control ? 0x01u : 0x00u, 0, 0, 0});
    if (sync_ep) {
        append(b, {9, 5, uac1_ids::sync_ep, 0x01, 3, 0, interval, o.refresh, 0});
    }
    if (o.vendor_alternate) {
        // A vendor mode on the same endpoint, without class-specific descriptors.
        append(b, {9, 4, number, 2, 1, 0xFF, 0xFF, 0, 0});
        append(b, {9, 5, data_ep, 0x05});
        put16(b, max_packet);
        append(b, {interval, 0, 0});
    }
}

// Finds the first class-specific AC descriptor of that subtype (inside wTotalLength).
std::optional<std::size_t> find_cs(const std::vector<std::uint8_t> &c, std::uint8_t subtype,
                                   std::uint8_t type = cs_interface)
{
    std::size_t at = 0;
    while (at + 2 < c.size() && c[at] >= 2) {
        if (c[at + 1] == type && c[at + 2] == subtype) {
            return at;
        }
        at += c[at];
    }
    return std::nullopt;
}

std::vector<std::size_t> interface_offsets(const std::vector<std::uint8_t> &c)
{
    std::vector<std::size_t> found;
    std::size_t at = 0;
    while (at + 1 < c.size() && c[at] >= 2) {
        if (c[at + 1] == 4) {
            found.push_back(at);
        }
        at += c[at];
    }
    return found;
}

} // namespace

device_descriptors build_uac1_device(const uac1_options &o)
{
    device_descriptors set;
    set.speed = o.high_speed ? usb_speed::high : usb_speed::full;
    auto &d = set.device;
    append(d, {18, 1});
    put16(d, o.high_speed ? 0x0200 : 0x0110);
    append(d, {0, 0, 0, 64});
    put16(d, o.vendor_id);
    put16(d, o.product_id);
    put16(d, o.bcd_device);
    append(d, {1, 2, 3, 1});

    const std::uint8_t audio_class = o.vendor_class ? 0xFF : 0x01;
    const std::uint8_t streams = (o.render ? 1 : 0) + (o.capture ? 1 : 0);
    auto &c = set.configuration;
    append(c, {9, 2, 0, 0, 1u + streams, 1, 0, 0x80, 50});
    append(c, {9, 4, 0, 0, 0, audio_class, 1, 0, 0});

    const std::size_t header_at = c.size();
    append(c, {8u + streams, cs_interface, 1});
    put16(c, 0x0100);
    put16(c, 0);
    put8(c, streams);
    for (std::uint8_t i = 1; i <= streams; ++i) {
        put8(c, i);
    }

    if (o.render) {
        const std::uint8_t ch = o.render_format.channels;
        append(c, {12, cs_interface, 2, uac1_ids::render_usb_in});
        put16(c, 0x0101);
        append(c, {0, ch});
        put16(c, channel_config(ch));
        append(c, {0, 0});
        std::uint8_t source = uac1_ids::render_usb_in;
        if (o.processing_unit) {
            append(c, {15, cs_interface, 7, uac1_ids::extra_unit});
            put16(c, 1);
            append(c, {1, source, ch});
            put16(c, channel_config(ch));
            append(c, {0, 1, 0, 0});
            source = uac1_ids::extra_unit;
        } else if (o.mixer_unit) {
            append(c, {12, cs_interface, 4, uac1_ids::extra_unit, 1, source, ch});
            put16(c, channel_config(ch));
            append(c, {0, 0, 0});
            source = uac1_ids::extra_unit;
        }
        feature_unit(c, uac1_ids::render_fu, source, ch, o.fu_control_size);
        append(c, {9, cs_interface, 3, uac1_ids::speaker_out});
        put16(c, 0x0301);
        append(c, {0, uac1_ids::render_fu, 0});
    }
    if (o.capture) {
        const std::uint8_t ch = o.capture_format.channels;
        append(c, {12, cs_interface, 2, uac1_ids::mic_in});
        put16(c, 0x0201);
        append(c, {0, ch});
        put16(c, channel_config(ch));
        append(c, {0, 0});
        feature_unit(c, uac1_ids::capture_fu, uac1_ids::mic_in, ch, o.fu_control_size);
        append(c, {9, cs_interface, 3, uac1_ids::capture_usb_out});
        put16(c, 0x0101);
        append(c, {0, uac1_ids::capture_fu, 0});
    }
    bytes::set16(c, header_at + 5, static_cast<unsigned>(c.size() - header_at));

    std::uint8_t number = 1;
    if (o.render) {
        streaming_interface(c, o, number++, true, audio_class);
    }
    if (o.capture) {
        streaming_interface(c, o, number++, false, audio_class);
    }
    bytes::set16(c, 2, static_cast<unsigned>(c.size()));

    set.strings[0] = encode_language_ids({0x0409});
    set.strings[1] = encode_string_descriptor(o.manufacturer);
    set.strings[2] = encode_string_descriptor(o.product);
    set.strings[3] = encode_string_descriptor(o.serial);
    return set;
}

uac1_options standard_uac1_options()
{
    uac1_options o;
    o.rates = {44100, 48000};
    o.capture_sf_control = false;
    return o;
}

device_descriptors apply_malformation(device_descriptors set, malformation kind)
{
    auto &c = set.configuration;
    const bool uac2 = find_cs(c, 1).has_value() && bytes::get16(c, *find_cs(c, 1) + 3) >= 0x0200;
    const std::size_t total_at = uac2 ? 6 : 5;
    switch (kind) {
    case malformation::no_ac_header:
        if (auto at = find_cs(c, 1)) {
            c.erase(c.begin() + static_cast<std::ptrdiff_t>(*at),
                    c.begin() + static_cast<std::ptrdiff_t>(*at + c[*at]));
        }
        break;
    case malformation::header_total_past_interface:
        if (auto at = find_cs(c, 1)) {
            bytes::set16(c, *at + total_at, bytes::get16(c, *at + total_at) + 20);
        }
        break;
    case malformation::zero_length_entity:
        if (auto at = find_cs(c, 6)) {
            c[*at] = 0;
        }
        break;
    case malformation::truncated_entity:
        if (auto at = find_cs(c, 6)) {
            const std::size_t cut = c[*at] - 4u;
            c[*at] = 4;
            c.erase(c.begin() + static_cast<std::ptrdiff_t>(*at + 4),
                    c.begin() + static_cast<std::ptrdiff_t>(*at + 4 + cut));
            if (auto header = find_cs(c, 1)) {
                bytes::set16(c, *header + total_at,
                             bytes::get16(c, *header + total_at) - static_cast<unsigned>(cut));
            }
        }
        break;
    case malformation::fu_control_size_zero:
        if (auto at = find_cs(c, 6); at && !uac2) {
            c[*at + 5] = 0;
        }
        break;
    case malformation::output_terminal_source_dangling:
        if (auto at = find_cs(c, 3)) {
            c[*at + 7] = 0xEE;
        }
        break;
    case malformation::selector_cycle:
        if (auto at = find_cs(c, 5)) {
            c[*at + 5] = c[*at + 3];
        }
        break;
    case malformation::as_interface_gap: {
        const auto offsets = interface_offsets(c);
        if (!offsets.empty()) {
            const std::uint8_t last = c[offsets.back() + 2];
            for (std::size_t at : offsets) {
                if (c[at + 2] == last) {
                    c[at + 2] = static_cast<std::uint8_t>(last + 1);
                }
            }
        }
        break;
    }
    case malformation::alternate_gap: {
        std::optional<std::size_t> last_alt;
        for (std::size_t at : interface_offsets(c)) {
            if (c[at + 2] == 1 && c[at + 3] > 0) {
                last_alt = at;
            }
        }
        if (last_alt) {
            c[*last_alt + 3] = static_cast<std::uint8_t>(c[*last_alt + 3] + 1);
        }
        break;
    }
    case malformation::data_interval_16:
        for (std::size_t at = 0; at + 6 < c.size() && c[at] >= 2; at += c[at]) {
            if (c[at + 1] == 5 && (c[at + 3] & 0x30) == 0) {
                c[at + 6] = 16;
                break;
            }
        }
        break;
    case malformation::device_descriptor_17:
        set.device.resize(17);
        break;
    }
    bytes::set16(c, 2, static_cast<unsigned>(c.size()));
    return set;
}

} // namespace sim
