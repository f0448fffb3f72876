// The inside of sim::audio_device, shared by its request and streaming halves. Every member
// is guarded by lock; the functions here expect it held.
#pragma once
#include "audio_topology.h"

#include <sim/audio_device.h>

#include <deque>
#include <mutex>

namespace sim {

// One streaming interface with a non-zero alternate selected.
struct stream_state {
    const stream_alternate *alt = nullptr;
    bool render = false;
    std::uint32_t frame_bytes = 0;
    std::uint64_t last_microframe = 0;      // render: consumed up to here; capture: packets up to here
    bool has_last = false;
    std::deque<std::uint8_t> fifo;          // render: frames waiting to be played
    bool playing = false;
    std::deque<std::uint8_t> loopback;      // capture: played frames in this stream's format
    bool loopback_flowing = false;          // capture: the loopback path's delay has filled
    std::uint64_t pattern_frame = 0;
    std::uint64_t packets = 0;              // capture data packets since selection
    std::uint64_t feedback_packets = 0;
    std::deque<std::uint32_t> implicit_sizes; // capture: frames per packet, for the render side
    // Render on an adaptive or synchronous endpoint: the device recovers its clock from the
    // data, so it plays at its own clock pulled towards a half-full FIFO (a bounded pull).
    bool adaptive = false;
    std::uint64_t clock_remainder = 0;      // adaptive: the fraction of a frame carried over
};

struct audio_device::state {
    mutable std::mutex lock;
    device_descriptors descriptors;
    audio_device_options options;
    audio_topology topology;

    std::uint8_t configuration = 0;
    std::map<std::uint8_t, std::uint8_t> alternates;
    std::map<std::uint8_t, std::uint32_t> clock_rates;
    std::map<std::uint8_t, std::uint64_t> clock_set_at;
    std::map<std::uint8_t, std::uint8_t> selector_pins;
    std::map<std::uint16_t, bool> mute;          // unit << 8 | channel
    std::map<std::uint16_t, std::int16_t> volume;
    std::map<std::uint8_t, std::uint32_t> endpoint_rates;
    std::map<std::uint8_t, bool> unplugged;
    std::map<std::uint8_t, std::uint8_t> vendor_modes;
    std::set<std::uint8_t> halted;
    bool removed = false;
    std::vector<stall_rule> stalls;
    std::map<std::uint64_t, capture_fault> capture_faults;
    std::map<std::uint64_t, feedback_fault> feedback_faults;
    std::map<std::uint8_t, stream_state> streams;
    std::map<std::uint8_t, std::deque<std::uint8_t>> played; // by interface, kept across alternates
    std::uint64_t now = 0;
    device_counters counters;

    bool high_speed() const { return descriptors.speed == usb_speed::high; }

    // Class and vendor requests (audio_device_controls.cpp).
    volume_range volume_range_of(std::uint8_t channel) const;
    control_outcome class_request(const setup_packet &setup, std::span<std::uint8_t> data);
    control_outcome vendor_request(const setup_packet &setup, std::span<std::uint8_t> data);

    // Streaming (audio_device_streaming.cpp).
    void select_alternate(std::uint8_t interface_number, std::uint8_t alt);
    std::uint32_t rate_of(std::uint8_t interface_number) const;
    std::int32_t ppm_of(std::uint8_t interface_number) const;
    std::uint64_t clock_frames(std::uint8_t interface_number, std::uint64_t from, std::uint64_t to) const;
    std::uint64_t adaptive_frames(std::uint8_t interface_number, stream_state &stream, std::uint64_t to,
                                  std::uint64_t capacity);
    // Bytes of a feedback packet: what the endpoint descriptor states (3: 10.14, 4: 16.16).
    std::uint32_t feedback_bytes(const endpoint_info &feedback) const;
    std::uint32_t feedback_value(std::uint8_t interface_number, std::uint32_t size) const;
    void advance_to(std::uint64_t microframe);
    stream_state *stream_for_endpoint(std::uint8_t address, std::uint8_t *interface_number);
    packet_status out_packet(std::uint8_t address, std::uint64_t microframe,
                             std::span<const std::uint8_t> packet);
    iso_in_result in_packet(std::uint8_t address, std::uint64_t microframe,
                            std::span<std::uint8_t> buffer);
};

// Copies min(answer, wLength, space) bytes of a device-to-host answer.
control_outcome answer_bytes(const setup_packet &setup, std::span<std::uint8_t> data,
                             std::span<const std::uint8_t> answer);
inline control_outcome stalled() { return {true, 0}; }

} // namespace sim
