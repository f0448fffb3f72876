// sim::audio_device: construction, the standard requests of the default pipe, stall rules
// and the model's accessors and fault setters.
#include "audio_device_state.h"

#include "descriptor_bytes.h"

#include <algorithm>

namespace sim {

namespace {

bool rule_matches(const stall_rule &r, const setup_packet &s)
{
    return (!r.bmRequestType || *r.bmRequestType == s.bmRequestType) &&
           (!r.bRequest || *r.bRequest == s.bRequest) && (!r.wValue || *r.wValue == s.wValue) &&
           (!r.entity || *r.entity == (s.wIndex >> 8)) &&
           (!r.interface_number || *r.interface_number == (s.wIndex & 0xFF));
}

} // namespace

control_outcome answer_bytes(const setup_packet &setup, std::span<std::uint8_t> data,
                             std::span<const std::uint8_t> answer)
{
    const std::size_t n = std::min({answer.size(), std::size_t{setup.wLength}, data.size()});
    std::copy_n(answer.begin(), n, data.begin());
    return {false, static_cast<std::uint32_t>(n)};
}

audio_device::audio_device(device_descriptors descriptors, audio_device_options options)
    : m_state(std::make_unique<state>())
{
    state &s = *m_state;
    s.descriptors = std::move(descriptors);
    s.options = std::move(options);
    s.topology = parse_audio_topology(s.descriptors.configuration);
    s.stalls = s.options.stalls;
    for (const auto &[id, e] : s.topology.entities) {
        if (e.subtype == 0x0A && s.topology.uac2()) {
            s.clock_rates[id] = s.options.initial_rate;
        }
    }
}

audio_device::~audio_device() = default;

usb_speed audio_device::speed() const { return m_state->descriptors.speed; }

const device_descriptors &audio_device::descriptors() const { return m_state->descriptors; }

control_outcome audio_device::handle_control(const setup_packet &setup, std::span<std::uint8_t> data)
{
    state &s = *m_state;
    std::lock_guard guard(s.lock);
    ++s.counters.control_requests;
    if (s.removed) {
        return stalled();
    }
    for (auto it = s.stalls.begin(); it != s.stalls.end(); ++it) {
        if (rule_matches(*it, setup)) {
            if (it->count > 0 && --it->count == 0) {
                s.stalls.erase(it);
            }
            ++s.counters.stalls;
            return stalled();
        }
    }

    control_outcome outcome = stalled();
    const std::uint8_t type = setup.bmRequestType & 0x60;
    const std::uint8_t recipient = setup.bmRequestType & 0x1F;
    if (type == 0x00) {
        const auto &d = s.descriptors;
        switch (setup.bRequest) {
        case 0x06: { // GET_DESCRIPTOR
            if (setup.bmRequestType != 0x80) {
                break;
            }
            const std::uint8_t kind = setup.wValue >> 8;
            const std::uint8_t index = setup.wValue & 0xFF;
            if (kind == 1 && index == 0) {
                outcome = answer_bytes(setup, data, d.device);
            } else if (kind == 2 && index == 0) {
                std::span<const std::uint8_t> config(d.configuration);
                if (s.options.configuration_read_limit) {
                    config = config.first(std::min<std::size_t>(config.size(),
                                                                *s.options.configuration_read_limit));
                }
                outcome = answer_bytes(setup, data, config);
            } else if (kind == 3 && d.strings.count(index) != 0) {
                outcome = answer_bytes(setup, data, d.strings.at(index));
            }
            break;
        }
        case 0x08: // GET_CONFIGURATION
            if (setup.bmRequestType == 0x80) {
                const std::uint8_t value[1] = {s.configuration};
                outcome = answer_bytes(setup, data, value);
            }
            break;
        case 0x09: { // SET_CONFIGURATION
            const std::uint8_t value = static_cast<std::uint8_t>(bytes::get8(d.configuration, 5));
            if (setup.bmRequestType == 0x00 && (setup.wValue == 0 || setup.wValue == value)) {
                s.configuration = static_cast<std::uint8_t>(setup.wValue);
                s.alternates.clear();
                s.streams.clear();
                s.halted.clear();
                outcome = {false, 0};
            }
            break;
        }
        case 0x0A: // GET_INTERFACE
            if (setup.bmRequestType == 0x81 && s.configuration != 0 &&
                s.topology.interface_alt(static_cast<std::uint8_t>(setup.wIndex), 0) != nullptr) {
                const std::uint8_t value[1] = {s.alternates[static_cast<std::uint8_t>(setup.wIndex)]};
                outcome = answer_bytes(setup, data, value);
            }
            break;
        case 0x0B: { // SET_INTERFACE
            const auto number = static_cast<std::uint8_t>(setup.wIndex);
            const auto alt = static_cast<std::uint8_t>(setup.wValue);
            if (setup.bmRequestType == 0x01 && s.configuration != 0 && setup.wValue <= 0xFF &&
                s.topology.interface_alt(number, alt) != nullptr) {
                s.select_alternate(number, alt);
                outcome = {false, 0};
            }
            break;
        }
        case 0x00: { // GET_STATUS
            if ((setup.bmRequestType & 0x80) != 0 && recipient <= 2) {
                const bool halted = recipient == 2 && s.halted.count(setup.wIndex & 0xFF) != 0;
                const std::uint8_t value[2] = {static_cast<std::uint8_t>(halted ? 1 : 0), 0};
                outcome = answer_bytes(setup, data, value);
            }
            break;
        }
        case 0x01: // CLEAR_FEATURE(ENDPOINT_HALT)
        case 0x03: // SET_FEATURE(ENDPOINT_HALT)
            if (setup.bmRequestType == 0x02 && setup.wValue == 0) {
                const auto address = static_cast<std::uint8_t>(setup.wIndex);
                if (setup.bRequest == 0x01) {
                    s.halted.erase(address);
                } else {
                    s.halted.insert(address);
                }
                outcome = {false, 0};
            }
            break;
        default:
            break;
        }
    } else if (type == 0x20 || type == 0x40) {
        bool answered = false;
        if ((setup.bmRequestType & 0x80) != 0) {
            for (const class_answer &a : s.options.answers) {
                if (a.bmRequestType == setup.bmRequestType && a.bRequest == setup.bRequest &&
                    a.wValue == setup.wValue && a.wIndex == setup.wIndex) {
                    outcome = answer_bytes(setup, data, a.data);
                    answered = true;
                    break;
                }
            }
        }
        if (!answered) {
            outcome = type == 0x20 ? s.class_request(setup, data) : s.vendor_request(setup, data);
        }
    }
    if (outcome.stall) {
        ++s.counters.stalls;
    }
    return outcome;
}

std::vector<interface_info> audio_device::interfaces() const
{
    std::lock_guard guard(m_state->lock);
    return m_state->topology.interfaces;
}

std::optional<endpoint_info> audio_device::find_endpoint(std::uint8_t address) const
{
    const state &s = *m_state;
    std::lock_guard guard(s.lock);
    for (const interface_info &i : s.topology.interfaces) {
        auto current = s.alternates.find(i.number);
        const std::uint8_t alt = current == s.alternates.end() ? 0 : current->second;
        if (i.alternate_setting != alt) {
            continue;
        }
        for (const endpoint_info &ep : i.endpoints) {
            if (ep.address == address) {
                return ep;
            }
        }
    }
    return std::nullopt;
}

std::uint8_t audio_device::configuration_value() const
{
    std::lock_guard guard(m_state->lock);
    return m_state->configuration;
}

std::uint8_t audio_device::current_alternate(std::uint8_t interface_number) const
{
    std::lock_guard guard(m_state->lock);
    auto it = m_state->alternates.find(interface_number);
    return it == m_state->alternates.end() ? 0 : it->second;
}

void audio_device::clear_halt(std::uint8_t address)
{
    std::lock_guard guard(m_state->lock);
    m_state->halted.erase(address);
}

bool audio_device::connected() const
{
    std::lock_guard guard(m_state->lock);
    return !m_state->removed;
}

void audio_device::add_stall(const stall_rule &rule)
{
    std::lock_guard guard(m_state->lock);
    m_state->stalls.push_back(rule);
}

void audio_device::clear_stalls()
{
    std::lock_guard guard(m_state->lock);
    m_state->stalls.clear();
}

void audio_device::inject_capture_fault(std::uint64_t packet_index, capture_fault fault)
{
    std::lock_guard guard(m_state->lock);
    m_state->capture_faults[packet_index] = fault;
}

void audio_device::inject_feedback_fault(std::uint64_t packet_index, feedback_fault fault)
{
    std::lock_guard guard(m_state->lock);
    m_state->feedback_faults[packet_index] = fault;
}

void audio_device::halt_endpoint(std::uint8_t address)
{
    std::lock_guard guard(m_state->lock);
    m_state->halted.insert(address);
}

void audio_device::surprise_remove()
{
    std::lock_guard guard(m_state->lock);
    m_state->removed = true;
}

void audio_device::set_connector(std::uint8_t terminal_id, bool plugged)
{
    std::lock_guard guard(m_state->lock);
    m_state->unplugged[terminal_id] = !plugged;
}

void audio_device::set_ppm(std::int32_t ppm)
{
    std::lock_guard guard(m_state->lock);
    m_state->options.ppm = ppm;
}

void audio_device::set_clock_ppm(std::uint8_t clock_id, std::int32_t ppm)
{
    std::lock_guard guard(m_state->lock);
    m_state->options.clock_ppm[clock_id] = ppm;
}

std::uint32_t audio_device::stream_rate(std::uint8_t interface_number) const
{
    std::lock_guard guard(m_state->lock);
    return m_state->rate_of(interface_number);
}

std::uint32_t audio_device::clock_rate(std::uint8_t clock_id) const
{
    std::lock_guard guard(m_state->lock);
    auto it = m_state->clock_rates.find(clock_id);
    return it == m_state->clock_rates.end() ? 0 : it->second;
}

void audio_device::set_endpoint_rate(std::uint8_t address, std::uint32_t rate)
{
    std::lock_guard guard(m_state->lock);
    m_state->endpoint_rates[address] = rate;
}

std::uint8_t audio_device::vendor_mode(std::uint8_t interface_number) const
{
    std::lock_guard guard(m_state->lock);
    auto it = m_state->vendor_modes.find(interface_number);
    return it == m_state->vendor_modes.end() ? 0 : it->second;
}

std::int16_t audio_device::feature_volume(std::uint8_t unit_id, std::uint8_t channel) const
{
    std::lock_guard guard(m_state->lock);
    auto it = m_state->volume.find(static_cast<std::uint16_t>(unit_id << 8 | channel));
    return it == m_state->volume.end() ? 0 : it->second;
}

bool audio_device::feature_mute(std::uint8_t unit_id, std::uint8_t channel) const
{
    std::lock_guard guard(m_state->lock);
    auto it = m_state->mute.find(static_cast<std::uint16_t>(unit_id << 8 | channel));
    return it != m_state->mute.end() && it->second;
}

std::uint32_t audio_device::render_fifo_frames(std::uint8_t interface_number) const
{
    std::lock_guard guard(m_state->lock);
    auto it = m_state->streams.find(interface_number);
    if (it == m_state->streams.end() || it->second.frame_bytes == 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(it->second.fifo.size() / it->second.frame_bytes);
}

std::vector<std::uint8_t> audio_device::take_played(std::uint8_t interface_number)
{
    std::lock_guard guard(m_state->lock);
    std::deque<std::uint8_t> &played = m_state->played[interface_number];
    std::vector<std::uint8_t> taken(played.begin(), played.end());
    played.clear();
    return taken;
}

std::uint32_t audio_device::nominal_feedback(std::uint8_t interface_number) const
{
    std::lock_guard guard(m_state->lock);
    auto it = m_state->streams.find(interface_number);
    const bool has_feedback = it != m_state->streams.end() && it->second.alt->feedback;
    return m_state->feedback_value(interface_number,
                                   has_feedback ? m_state->feedback_bytes(*it->second.alt->feedback)
                                                : (m_state->high_speed() ? 4 : 3));
}

device_counters audio_device::counters() const
{
    std::lock_guard guard(m_state->lock);
    return m_state->counters;
}

} // namespace sim
