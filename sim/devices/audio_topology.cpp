// Reads the audio function out of a configuration descriptor's bytes.
#include "audio_topology.h"

#include "descriptor_bytes.h"

#include <optional>
#include <set>

namespace sim {

using bytes::get16;
using bytes::get24;
using bytes::get32;
using bytes::get8;

namespace {

constexpr std::uint8_t cs_interface = 0x24;
constexpr std::uint8_t cs_endpoint = 0x25;

bool audio_like(std::uint8_t cls) { return cls == 0x01 || cls == 0xFF; }

void read_entity(audio_topology &t, std::span<const std::uint8_t> d)
{
    const std::uint8_t subtype = static_cast<std::uint8_t>(get8(d, 2));
    if (subtype == 1) {
        t.adc_version = static_cast<std::uint16_t>(get16(d, 3));
        return;
    }
    if (d.size() < 4) {
        return;
    }
    audio_entity e;
    e.id = d[3];
    e.subtype = subtype;
    e.bytes.assign(d.begin(), d.end());
    const bool v2 = t.uac2();
    switch (subtype) {
    case 2: // input terminal
        if (v2) {
            e.clock_source = static_cast<std::uint8_t>(get8(d, 7));
            e.channels = static_cast<std::uint8_t>(get8(d, 8));
            e.controls = d.size() >= 16 ? get16(d, 14) : 0;
        } else {
            e.channels = static_cast<std::uint8_t>(get8(d, 7));
        }
        break;
    case 3: // output terminal
        e.sources.push_back(static_cast<std::uint8_t>(get8(d, 7)));
        if (v2) {
            e.clock_source = static_cast<std::uint8_t>(get8(d, 8));
            e.controls = d.size() >= 11 ? get16(d, 9) : 0;
        }
        break;
    case 6: { // feature unit
        e.sources.push_back(static_cast<std::uint8_t>(get8(d, 4)));
        const std::size_t first = v2 ? 5 : 6;
        const std::size_t size = v2 ? 4 : get8(d, 5);
        if (size == 0 || d.size() < first + size + 1) {
            break;
        }
        const std::size_t count = (d.size() - first - 1) / size;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint32_t v = 0;
            for (std::size_t k = 0; k < size && k < 4; ++k) {
                v |= get8(d, first + i * size + k) << (8 * k);
            }
            e.channel_controls.push_back(v);
        }
        e.channels = static_cast<std::uint8_t>(count > 0 ? count - 1 : 0);
        break;
    }
    case 0x0A: // clock source (class 2) or class 1 extension unit
        if (v2) {
            e.controls = get8(d, 5);
        }
        break;
    case 0x0B: // clock selector
        if (v2) {
            const std::size_t pins = get8(d, 4);
            for (std::size_t p = 0; p < pins && 5 + p < d.size(); ++p) {
                e.sources.push_back(d[5 + p]);
            }
            e.controls = get8(d, 5 + pins);
        }
        break;
    case 0x0C: // clock multiplier
        e.clock_source = static_cast<std::uint8_t>(get8(d, 4));
        break;
    case 5: { // selector unit
        const std::size_t pins = get8(d, 4);
        for (std::size_t p = 0; p < pins && 5 + p < d.size(); ++p) {
            e.sources.push_back(d[5 + p]);
        }
        break;
    }
    default:
        break;
    }
    t.entities[e.id] = std::move(e);
}

void read_streaming(stream_alternate &alt, std::span<const std::uint8_t> d, bool v2)
{
    const std::uint32_t subtype = get8(d, 2);
    if (subtype == 1) {
        alt.terminal_link = static_cast<std::uint8_t>(get8(d, 3));
        if (v2 && d.size() >= 11) {
            alt.format.raw_data = (get32(d, 6) & 0x80000000u) != 0;
            alt.format.channels = static_cast<std::uint8_t>(get8(d, 10));
        }
    } else if (subtype == 2 && get8(d, 3) == 1) {
        if (v2 && d.size() >= 6) {
            alt.format.subslot_bytes = static_cast<std::uint8_t>(get8(d, 4));
            alt.format.bits = static_cast<std::uint8_t>(get8(d, 5));
            alt.has_format = true;
        } else if (!v2 && d.size() >= 8) {
            alt.format.channels = static_cast<std::uint8_t>(get8(d, 4));
            alt.format.subslot_bytes = static_cast<std::uint8_t>(get8(d, 5));
            alt.format.bits = static_cast<std::uint8_t>(get8(d, 6));
            alt.has_format = true;
            const std::size_t count = get8(d, 7);
            alt.continuous = count == 0;
            const std::size_t entries = alt.continuous ? 2 : count;
            for (std::size_t i = 0; i < entries && 8 + 3 * i + 3 <= d.size(); ++i) {
                alt.rates.push_back(get24(d, 8 + 3 * i));
            }
        }
    }
}

} // namespace

const audio_entity *audio_topology::entity(std::uint8_t id) const
{
    auto it = entities.find(id);
    return it == entities.end() ? nullptr : &it->second;
}

const stream_alternate *audio_topology::alternate(std::uint8_t interface_number, std::uint8_t alt) const
{
    for (const auto &a : alternates) {
        if (a.interface_number == interface_number && a.alternate_setting == alt) {
            return &a;
        }
    }
    return nullptr;
}

const interface_info *audio_topology::interface_alt(std::uint8_t interface_number, std::uint8_t alt) const
{
    for (const auto &i : interfaces) {
        if (i.number == interface_number && i.alternate_setting == alt) {
            return &i;
        }
    }
    return nullptr;
}

std::uint8_t audio_topology::resolve_clock(std::uint8_t id,
                                           const std::map<std::uint8_t, std::uint8_t> &pins) const
{
    std::set<std::uint8_t> seen;
    while (seen.insert(id).second) {
        const audio_entity *e = entity(id);
        if (e == nullptr) {
            return 0;
        }
        if (e->subtype == 0x0A) {
            return id;
        }
        if (e->subtype == 0x0B) {
            auto it = pins.find(id);
            const std::size_t pin = it == pins.end() ? 1 : it->second;
            if (pin == 0 || pin > e->sources.size()) {
                return 0;
            }
            id = e->sources[pin - 1];
        } else if (e->subtype == 0x0C) {
            id = e->clock_source;
        } else {
            return 0;
        }
    }
    return 0;
}

namespace {

// The AudioControl interface: the one the first audio IAD names, else the first AudioControl
// interface of the configuration. Another interface of that subclass (a vendor one after the
// audio function) is not the device's control interface.
std::optional<std::uint8_t> control_interface_of(std::span<const std::uint8_t> config)
{
    std::optional<std::uint8_t> iad;
    std::optional<std::uint8_t> first;
    for (std::size_t at = 0; at + 2 <= config.size() && config[at] >= 2 && at + config[at] <= config.size();
         at += config[at]) {
        const auto d = config.subspan(at, config[at]);
        if (d[1] == 0x0B && d.size() >= 8 && d[4] == 0x01 && !iad) {
            iad = d[2];
        } else if (d[1] == 4 && d.size() >= 9 && audio_like(d[5]) && d[6] == 1 && !first) {
            first = d[2];
        }
    }
    return iad ? iad : first;
}

} // namespace

audio_topology parse_audio_topology(std::span<const std::uint8_t> configuration)
{
    audio_topology t;
    const std::size_t total = std::min<std::size_t>(configuration.size(), get16(configuration, 2));
    const auto config = configuration.first(total);
    const std::optional<std::uint8_t> control = control_interface_of(config);
    t.control_interface = control.value_or(0);
    interface_info *current = nullptr;
    stream_alternate *alt = nullptr;
    bool in_control = false;
    std::size_t at = 0;
    while (at + 2 <= config.size()) {
        const std::size_t length = config[at];
        if (length < 2 || at + length > config.size()) {
            break;
        }
        const auto d = config.subspan(at, length);
        const std::uint8_t type = d[1];
        if (type == 4 && length >= 9) {
            interface_info info;
            info.number = d[2];
            info.alternate_setting = d[3];
            info.interface_class = d[5];
            info.interface_subclass = d[6];
            info.interface_protocol = d[7];
            t.interfaces.push_back(info);
            current = &t.interfaces.back();
            in_control = audio_like(d[5]) && d[6] == 1 && control && d[2] == *control;
            alt = nullptr;
            if (audio_like(d[5]) && d[6] == 2) {
                stream_alternate a;
                a.interface_number = d[2];
                a.alternate_setting = d[3];
                t.alternates.push_back(a);
                alt = &t.alternates.back();
            }
        } else if (type == 4) {
            current = nullptr;
            alt = nullptr;
            in_control = false;
        } else if (type == 5 && length >= 7 && current != nullptr) {
            endpoint_info ep;
            ep.address = d[2];
            ep.attributes = d[3];
            ep.max_packet_raw = static_cast<std::uint16_t>(get16(d, 4));
            ep.interval = d[6];
            ep.interface_number = current->number;
            ep.alternate_setting = current->alternate_setting;
            if (length >= 9) {
                ep.refresh = d[7];
                ep.synch_address = d[8];
            }
            current->endpoints.push_back(ep);
            if (alt != nullptr) {
                const bool feedback = (ep.attributes & 0x30) == 0x10 ||
                                      (!t.uac2() && alt->data && alt->data->synch_address == ep.address);
                if (feedback) {
                    alt->feedback = ep;
                } else if (!alt->data) {
                    alt->data = ep;
                }
            }
        } else if (type == cs_interface && in_control && length >= 3) {
            read_entity(t, d);
        } else if (type == cs_interface && alt != nullptr && length >= 3) {
            read_streaming(*alt, d, t.uac2());
        } else if (type == cs_endpoint && alt != nullptr && length >= 4 && !t.uac2()) {
            alt->sampling_frequency_control = (d[3] & 0x01) != 0;
        }
        at += length;
    }
    return t;
}

} // namespace sim
