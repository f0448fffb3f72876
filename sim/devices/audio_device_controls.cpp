// Class requests of the audio classes 1 and 2 (clock, selector, feature unit, connector,
// endpoint sampling frequency) and the vendor mode request. A control the descriptors do not
// declare, or declare read-only for a SET, stalls.
#include "audio_device_state.h"

#include "descriptor_bytes.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::uint8_t uac2_cur = 0x01;
constexpr std::uint8_t uac2_range = 0x02;
constexpr std::uint8_t uac1_set_cur = 0x01;
constexpr std::uint8_t uac1_get_cur = 0x81;
constexpr std::uint8_t uac1_get_min = 0x82;
constexpr std::uint8_t uac1_get_max = 0x83;
constexpr std::uint8_t uac1_get_res = 0x84;

// The two-bit control field of a class 2 bmControls: 0 absent, 1 read-only, 3 read-write.
unsigned control_bits(std::uint32_t controls, unsigned index) { return (controls >> (2 * index)) & 3u; }

std::vector<std::uint8_t> le(std::uint32_t value, std::size_t size)
{
    std::vector<std::uint8_t> b;
    for (std::size_t i = 0; i < size; ++i) {
        b.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return b;
}

std::uint32_t read_le(std::span<const std::uint8_t> data, std::size_t size)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < size && i < data.size(); ++i) {
        v |= std::uint32_t{data[i]} << (8 * i);
    }
    return v;
}

} // namespace

volume_range audio_device::state::volume_range_of(std::uint8_t channel) const
{
    auto it = options.channel_volume_ranges.find(channel);
    if (it != options.channel_volume_ranges.end()) {
        return it->second;
    }
    return {options.volume_min, options.volume_max, options.volume_res};
}

control_outcome audio_device::state::class_request(const setup_packet &setup,
                                                   std::span<std::uint8_t> data)
{
    const bool get = (setup.bmRequestType & 0x80) != 0;
    const std::uint8_t recipient = setup.bmRequestType & 0x1F;
    const std::uint8_t cs = setup.wValue >> 8;
    const std::uint8_t cn = setup.wValue & 0xFF;
    auto reply = [&](const std::vector<std::uint8_t> &answer) { return answer_bytes(setup, data, answer); };
    auto payload = [&](std::size_t size) -> std::optional<std::uint32_t> {
        if (setup.wLength < size || data.size() < size) {
            return std::nullopt;
        }
        return read_le(data, size);
    };

    if (recipient == 2 && !topology.uac2()) {
        // Audio class 1 endpoint request: sampling frequency of the endpoint in wIndex.
        const auto address = static_cast<std::uint8_t>(setup.wIndex);
        const stream_alternate *alt = nullptr;
        for (const auto &a : topology.alternates) {
            if (a.data && a.data->address == address) {
                alt = &a;
                break;
            }
        }
        if (alt == nullptr || cs != 1) {
            return stalled();
        }
        if (get && setup.bRequest == uac1_get_cur) {
            auto it = endpoint_rates.find(address);
            return reply(le(it == endpoint_rates.end() ? options.initial_rate : it->second, 3));
        }
        if (!get && setup.bRequest == uac1_set_cur &&
            (alt->sampling_frequency_control || options.uac1_rate_set_without_control)) {
            const auto rate = payload(3);
            const bool valid = rate && (alt->continuous ? alt->rates.size() == 2 &&
                                                              *rate >= alt->rates[0] && *rate <= alt->rates[1]
                                                        : std::find(alt->rates.begin(), alt->rates.end(),
                                                                    *rate) != alt->rates.end());
            if (!valid) {
                return stalled();
            }
            endpoint_rates[address] = *rate;
            return {false, 3};
        }
        return stalled();
    }
    if (recipient != 1) {
        return stalled();
    }
    const std::uint8_t entity_id = setup.wIndex >> 8;
    const std::uint8_t interface_number = setup.wIndex & 0xFF;
    const audio_entity *e = topology.entity(entity_id);
    if (entity_id == 0 || e == nullptr || interface_number != topology.control_interface) {
        return stalled();
    }

    if (!topology.uac2()) {
        if (e->subtype != 6 || cn >= e->channel_controls.size()) {
            return stalled();
        }
        const std::uint32_t controls = e->channel_controls[cn];
        const std::uint16_t key = static_cast<std::uint16_t>(entity_id << 8 | cn);
        if (cs == 1 && (controls & 1) != 0) {
            if (get && setup.bRequest == uac1_get_cur) {
                return reply({static_cast<std::uint8_t>(mute[key] ? 1 : 0)});
            }
            if (!get && setup.bRequest == uac1_set_cur) {
                const auto v = payload(1);
                if (!v) {
                    return stalled();
                }
                mute[key] = *v != 0;
                return {false, 1};
            }
        } else if (cs == 2 && (controls & 2) != 0) {
            switch (get ? setup.bRequest : 0) {
            case uac1_get_cur: {
                auto it = volume.find(key);
                return reply(le(static_cast<std::uint16_t>(it == volume.end() ? 0 : it->second), 2));
            }
            case uac1_get_min:
                return reply(le(static_cast<std::uint16_t>(volume_range_of(cn).min), 2));
            case uac1_get_max:
                return reply(le(static_cast<std::uint16_t>(volume_range_of(cn).max), 2));
            case uac1_get_res:
                return reply(le(static_cast<std::uint16_t>(volume_range_of(cn).res), 2));
            case 0:
                if (setup.bRequest == uac1_set_cur) {
                    const auto v = payload(2);
                    if (!v) {
                        return stalled();
                    }
                    volume[key] = static_cast<std::int16_t>(*v);
                    return {false, 2};
                }
                break;
            default:
                break;
            }
        }
        return stalled();
    }

    switch (e->subtype) {
    case 0x0A: { // clock source
        if (cs == 1 && control_bits(e->controls, 0) != 0) {
            if (get && setup.bRequest == uac2_cur) {
                return reply(le(clock_rates[entity_id], 4));
            }
            if (get && setup.bRequest == uac2_range) {
                std::vector<std::uint8_t> answer = le(static_cast<std::uint32_t>(options.clock_rates.size()), 2);
                for (std::uint32_t rate : options.clock_rates) {
                    for (int i = 0; i < 2; ++i) {
                        const auto v = le(rate, 4);
                        answer.insert(answer.end(), v.begin(), v.end());
                    }
                    const auto res = le(0, 4);
                    answer.insert(answer.end(), res.begin(), res.end());
                }
                return reply(answer);
            }
            if (!get && setup.bRequest == uac2_cur && control_bits(e->controls, 0) == 3) {
                const auto rate = payload(4);
                if (!rate || std::find(options.clock_rates.begin(), options.clock_rates.end(), *rate) ==
                                 options.clock_rates.end()) {
                    return stalled();
                }
                clock_rates[entity_id] = *rate;
                clock_set_at[entity_id] = now;
                return {false, 4};
            }
        } else if (cs == 2 && control_bits(e->controls, 1) != 0 && get && setup.bRequest == uac2_cur) {
            bool valid = true;
            if (options.clock_valid_after_ms != 0) {
                auto it = clock_set_at.find(entity_id);
                valid = it == clock_set_at.end() ||
                        now - it->second >= std::uint64_t{options.clock_valid_after_ms} * 8;
            }
            return reply({static_cast<std::uint8_t>(valid ? 1 : 0)});
        }
        return stalled();
    }
    case 0x0B: { // clock selector
        if (cs != 1 || control_bits(e->controls, 0) == 0 || setup.bRequest != uac2_cur) {
            return stalled();
        }
        if (get) {
            auto it = selector_pins.find(entity_id);
            const std::uint8_t pin = options.selector_answer ? *options.selector_answer
                                     : it == selector_pins.end() ? 1
                                                                  : it->second;
            return reply({pin});
        }
        const auto pin = payload(1);
        if (control_bits(e->controls, 0) != 3 || !pin || *pin == 0 || *pin > e->sources.size()) {
            return stalled();
        }
        selector_pins[entity_id] = static_cast<std::uint8_t>(*pin);
        return {false, 1};
    }
    case 6: { // feature unit
        if (cn >= e->channel_controls.size() || (cs != 1 && cs != 2)) {
            return stalled();
        }
        const unsigned bits = control_bits(e->channel_controls[cn], cs - 1u);
        const std::uint16_t key = static_cast<std::uint16_t>(entity_id << 8 | cn);
        if (bits == 0) {
            return stalled();
        }
        if (get && setup.bRequest == uac2_cur) {
            if (cs == 1) {
                return reply({static_cast<std::uint8_t>(mute[key] ? 1 : 0)});
            }
            auto it = volume.find(key);
            return reply(le(static_cast<std::uint16_t>(it == volume.end() ? 0 : it->second), 2));
        }
        if (get && setup.bRequest == uac2_range && cs == 2) {
            std::vector<std::uint8_t> answer = le(1, 2);
            const volume_range range = volume_range_of(cn);
            for (std::int16_t v : {range.min, range.max, range.res}) {
                const auto b = le(static_cast<std::uint16_t>(v), 2);
                answer.insert(answer.end(), b.begin(), b.end());
            }
            return reply(answer);
        }
        if (!get && setup.bRequest == uac2_cur && bits == 3) {
            const auto v = payload(cs == 1 ? 1 : 2);
            if (!v) {
                return stalled();
            }
            if (cs == 1) {
                mute[key] = *v != 0;
            } else {
                volume[key] = static_cast<std::int16_t>(*v);
            }
            return {false, cs == 1 ? 1u : 2u};
        }
        return stalled();
    }
    case 2:
    case 3: { // terminal: connector
        if (cs != 2 || control_bits(e->controls, 1) == 0 || !get || setup.bRequest != uac2_cur) {
            return stalled();
        }
        std::uint8_t channels = e->channels;
        if (e->subtype == 3) {
            const audio_entity *source = e->sources.empty() ? nullptr : topology.entity(e->sources[0]);
            channels = source != nullptr && source->channels != 0 ? source->channels : 2;
        }
        if (unplugged[entity_id]) {
            channels = 0;
        }
        std::vector<std::uint8_t> answer = {channels};
        const auto config = le(channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1u, 4);
        answer.insert(answer.end(), config.begin(), config.end());
        answer.push_back(0);
        return reply(answer);
    }
    default:
        return stalled();
    }
}

control_outcome audio_device::state::vendor_request(const setup_packet &setup,
                                                    std::span<std::uint8_t>)
{
    // Mode switch of a streaming interface: wValue 0 PCM, 1 raw data; no data stage.
    if (setup.bmRequestType != 0x41 || setup.bRequest != 0 || setup.wLength != 0) {
        return stalled();
    }
    const auto interface_number = static_cast<std::uint8_t>(setup.wIndex);
    const bool streaming = std::any_of(topology.alternates.begin(), topology.alternates.end(),
                                       [&](const stream_alternate &a) {
                                           return a.interface_number == interface_number;
                                       });
    if (!streaming || !options.vendor_mode_supported ||
        options.vendor_mode_stall_interfaces.count(interface_number) != 0) {
        return stalled();
    }
    vendor_modes[interface_number] = static_cast<std::uint8_t>(setup.wValue);
    return {false, 0};
}

} // namespace sim
