// The audio function of a configuration descriptor as the device model needs it: interfaces
// with their endpoints, the class entities of the control interface and the formats of the
// streaming alternates. Read from raw bytes, tolerant of malformed descriptors: what cannot be
// read is left out, and nothing is read past a descriptor's bLength or the buffer.
#pragma once
#include <sim/uac_descriptors.h>
#include <sim/usb_device.h>

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace sim {

struct audio_entity {
    std::uint8_t id = 0;
    std::uint8_t subtype = 0;
    std::vector<std::uint8_t> bytes;       // the descriptor as it stands
    std::vector<std::uint8_t> sources;     // bSourceID / baSourceID / baCSourceID
    std::uint8_t clock_source = 0;         // bCSourceID of a terminal or multiplier
    std::uint32_t controls = 0;            // bmControls of a terminal, clock or selector
    std::uint8_t channels = 0;             // terminal cluster; feature unit: channels without master
    std::vector<std::uint32_t> channel_controls; // feature unit bmaControls, master first
};

struct stream_alternate {
    std::uint8_t interface_number = 0;
    std::uint8_t alternate_setting = 0;
    std::uint8_t terminal_link = 0;
    pcm_format format;
    bool has_format = false;
    std::vector<std::uint32_t> rates;      // audio class 1: discrete list
    bool continuous = false;               // audio class 1: rates[0]..rates[1]
    bool sampling_frequency_control = false; // audio class 1 CS endpoint bit 0
    std::optional<endpoint_info> data;
    std::optional<endpoint_info> feedback;
};

struct audio_topology {
    std::uint16_t adc_version = 0;         // 0x0100 or 0x0200; 0 without a header
    std::uint8_t control_interface = 0;
    std::vector<interface_info> interfaces;
    std::map<std::uint8_t, audio_entity> entities;
    std::vector<stream_alternate> alternates;

    bool uac2() const { return adc_version >= 0x0200; }
    const audio_entity *entity(std::uint8_t id) const;
    const stream_alternate *alternate(std::uint8_t interface_number, std::uint8_t alt) const;
    const interface_info *interface_alt(std::uint8_t interface_number, std::uint8_t alt) const;
    // The clock source a clock entity resolves to, following selectors by their current pin.
    std::uint8_t resolve_clock(std::uint8_t id, const std::map<std::uint8_t, std::uint8_t> &pins) const;
};

audio_topology parse_audio_topology(std::span<const std::uint8_t> configuration);

} // namespace sim
