// A simulated USB audio device: descriptors, the standard, class and vendor requests of the
// audio classes 1 and 2, and isochronous streaming against its own drifting clock, with a
// render FIFO, capture by loopback or a counting pattern, feedback values, and fault
// injection. It is driven by a host controller through the usb_device interface; tests may
// also drive it directly.
#pragma once
#include <sim/uac_descriptors.h>
#include <sim/usb_device.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace sim {

enum class capture_source { loopback, pattern };

// A feature unit's volume range in 1/256 dB, as GET MIN/MAX/RES or RANGE answer it.
struct volume_range {
    std::int16_t min = -0x6400;
    std::int16_t max = 0;
    std::int16_t res = 0x0100;
};

// A canned answer to a device-to-host class or vendor request, matched on all four fields;
// it takes precedence over the model, so that real devices' answers can be replayed.
struct class_answer {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::vector<std::uint8_t> data;
};

// A request that stalls. Unset fields match anything; entity and interface are the two bytes
// of wIndex. count < 0 stalls for ever, otherwise that many times.
struct stall_rule {
    std::optional<std::uint8_t> bmRequestType;
    std::optional<std::uint8_t> bRequest;
    std::optional<std::uint16_t> wValue;
    std::optional<std::uint8_t> entity;
    std::optional<std::uint8_t> interface_number;
    int count = -1;
};

struct audio_device_options {
    std::vector<std::uint32_t> clock_rates = {44100, 48000, 88200, 96000, 176400, 192000};
    std::uint32_t initial_rate = 48000;
    std::int32_t ppm = 0;                                 // drift of every clock
    std::map<std::uint8_t, std::int32_t> clock_ppm;       // per clock ID (class 2)
    capture_source capture = capture_source::loopback;
    // Capture channel c records render channel map[c]; -1 records silence. Empty: identity.
    std::vector<int> loopback_channel_map;
    std::uint32_t render_fifo_us = 4000;                  // capacity; playback starts half full
    std::uint32_t clock_valid_after_ms = 0;               // CLOCK_VALID reads 0 this long after a SET
    std::optional<std::uint8_t> selector_answer;          // overrides the clock selector's GET
    bool length_prefixed_render = false;                  // each OUT packet is a u32 count + data
    bool vendor_mode_supported = true;
    std::set<std::uint8_t> vendor_mode_stall_interfaces;
    // Feedback packets have the size and format their endpoint descriptor states (3 bytes:
    // 10.14, 4: 16.16); at full speed this forces 3 or 4 whatever it states, as some devices do.
    std::optional<std::uint8_t> full_speed_feedback_bytes;
    bool refresh_zero_length = false;                     // class 1 sync endpoint: empty packets between refreshes
    std::int16_t volume_min = -0x6400;                    // 1/256 dB
    std::int16_t volume_max = 0;
    std::int16_t volume_res = 0x0100;
    // Ranges of single feature-unit channels (0 = master) that differ from the one above.
    std::map<std::uint8_t, volume_range> channel_volume_ranges;
    std::vector<class_answer> answers;
    std::vector<stall_rule> stalls;                       // in force from the start
    // Render streams keep what they play (the last seconds) for take_played.
    bool record_played = false;
    std::optional<std::uint32_t> configuration_read_limit; // answers at most this many bytes of it
    // Audio class 1: an endpoint takes SET_CUR of a listed sampling frequency even when its
    // class endpoint descriptor does not announce the control (the standard devices do).
    bool uac1_rate_set_without_control = false;
};

enum class capture_fault_kind { zero_length, frames_delta, error };
struct capture_fault {
    capture_fault_kind kind = capture_fault_kind::zero_length;
    int frames = 0; // frames_delta: frames more (or fewer) than the clock gives
};

enum class feedback_fault_kind { value, two_bytes, error };
struct feedback_fault {
    feedback_fault_kind kind = feedback_fault_kind::value;
    std::uint32_t value = 0; // sent as it stands, in the endpoint's format
};

struct device_counters {
    std::uint64_t control_requests = 0;
    std::uint64_t stalls = 0;
    std::uint64_t out_packets = 0;
    std::uint64_t out_bytes = 0;
    std::uint64_t out_invalid = 0;          // not a whole number of frames, or too large
    std::uint64_t length_prefix_errors = 0;
    std::uint64_t render_underruns = 0;     // consumption steps that found the FIFO short
    std::uint64_t render_underrun_frames = 0;
    std::uint64_t render_overflows = 0;
    std::uint64_t render_overflow_frames = 0;
    std::uint64_t render_frames_played = 0;
    std::uint64_t in_packets = 0;
    std::uint64_t in_bytes = 0;
    std::uint64_t capture_truncated = 0;    // packets cut to the host's capacity
    std::uint64_t feedback_packets = 0;
    std::uint64_t implicit_slips = 0;
    std::uint64_t packets_while_halted = 0;
};

class audio_device final : public usb_device {
public:
    audio_device(device_descriptors descriptors, audio_device_options options = {});
    ~audio_device() override;
    audio_device(const audio_device &) = delete;
    audio_device &operator=(const audio_device &) = delete;

    // usb_device
    usb_speed speed() const override;
    control_outcome handle_control(const setup_packet &setup, std::span<std::uint8_t> data) override;
    std::vector<interface_info> interfaces() const override;
    std::optional<endpoint_info> find_endpoint(std::uint8_t address) const override;
    std::uint8_t configuration_value() const override;
    std::uint8_t current_alternate(std::uint8_t interface_number) const override;
    packet_status iso_out(std::uint8_t address, std::uint64_t microframe,
                          std::span<const std::uint8_t> packet) override;
    iso_in_result iso_in(std::uint8_t address, std::uint64_t microframe,
                         std::span<std::uint8_t> buffer) override;
    void advance(std::uint64_t microframe) override;
    void clear_halt(std::uint8_t address) override;
    bool connected() const override;

    const device_descriptors &descriptors() const;

    // Model state and fault injection; safe to call from a test thread.
    void add_stall(const stall_rule &rule);
    void clear_stalls();
    // capture packet index counts the capture packets since the alternate was selected.
    void inject_capture_fault(std::uint64_t packet_index, capture_fault fault);
    void inject_feedback_fault(std::uint64_t packet_index, feedback_fault fault);
    void halt_endpoint(std::uint8_t address);
    void surprise_remove();
    void set_connector(std::uint8_t terminal_id, bool plugged);
    void set_ppm(std::int32_t ppm);
    void set_clock_ppm(std::uint8_t clock_id, std::int32_t ppm);

    // The rate a streaming interface runs at: its clock's (class 2) or its data endpoint's (class 1).
    std::uint32_t stream_rate(std::uint8_t interface_number) const;
    std::uint32_t clock_rate(std::uint8_t clock_id) const;
    void set_endpoint_rate(std::uint8_t address, std::uint32_t rate);
    std::uint8_t vendor_mode(std::uint8_t interface_number) const;
    // Feature-unit state the host has set (volume in 1/256 dB, 0 and false until set);
    // channel 0 is the master.
    std::int16_t feature_volume(std::uint8_t unit_id, std::uint8_t channel) const;
    bool feature_mute(std::uint8_t unit_id, std::uint8_t channel) const;
    std::uint32_t render_fifo_frames(std::uint8_t interface_number) const;
    // The bytes a render stream played since the last call (record_played), in its format.
    std::vector<std::uint8_t> take_played(std::uint8_t interface_number);
    // The feedback value the device would send now, in its endpoint's format (of the selected
    // alternate; without one, the bus speed's usual 4 or 3 bytes).
    std::uint32_t nominal_feedback(std::uint8_t interface_number) const;
    device_counters counters() const;

    struct state;

private:
    std::unique_ptr<state> m_state;
};

// The value of a counting-pattern capture sample: frame k, channel c of n channels.
std::uint32_t capture_pattern_sample(std::uint64_t frame, std::uint32_t channel, std::uint32_t channels);

} // namespace sim
