// What the simulated device itself saw of a run: the rate its feedback endpoint reported to
// the host, and render FIFO under- and overruns while the stream ran (counted between the
// start and end marks, so that filling at start and draining at stop do not count), and how
// often the machine woke the bus's frame timer a frame or more late in that time; the mode its
// streaming interfaces ran in, and, for the picture of the run, its FIFO level, feedback value
// and captured amount over time.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>
#include <sim/audio_device.h>
#include <sim/uac_descriptors.h>
#include <sim/usb_host_controller.h>

namespace ovmrun {

// How the driver paces the render stream: by the device's feedback endpoint, by the amount
// of audio the device captured (both directions on one clock), or by the rate's fixed
// pattern of frames per packet.
enum class feedback_mode { explicit_endpoint, implicit, pattern };

// The mode the asynchronous kernel driver runs a device of these descriptors in.
feedback_mode async_feedback_mode(const sim::uac2_options &descriptors);

// A feedback value as a sample rate in Hz, in the format of the bus speed and endpoint.
double feedback_to_rate(uint32_t value, bool high_speed, bool four_bytes);

// The device's state at one moment of the run.
struct device_sample {
    int64_t time = 0;              // machine clock, 100 ns
    uint32_t fifo_frames = 0;      // frames in its render FIFO
    uint32_t feedback_value = 0;   // what its feedback endpoint would send now
    uint64_t captured_bytes = 0;   // capture bytes sent to the host so far
};

struct device_figures {
    feedback_mode mode = feedback_mode::explicit_endpoint;
    uint32_t nominal_rate = 0;     // the rate the device's clock was set to
    int32_t drift_ppm = 0;
    bool feedback_endpoint = false; // the render interface has an explicit feedback endpoint
    uint64_t feedback_packets = 0;  // feedback packets the host read during the run
    uint32_t feedback_value = 0;    // the value the endpoint sent, in its own format
    double feedback_rate = 0;       // that value as a sample rate in Hz
    uint64_t render_underruns = 0;  // between the start and end marks
    uint64_t render_overflows = 0;
    uint64_t frames_played = 0;
    uint64_t timer_stalls = 0;      // frame-timer wake-ups a frame or more late (the machine held its processor)
    // The format each streaming interface ran in at mid-run (0 channels when not streaming),
    // its vendor mode (1: native DSD) and its clock's rate.
    sim::pcm_format render_format{0, 0, 0};
    sim::pcm_format capture_format{0, 0, 0};
    uint8_t render_vendor_mode = 0;
    uint8_t capture_vendor_mode = 0;
    uint32_t capture_rate = 0;
    bool high_speed = true;
    bool four_byte_feedback = false; // full speed: 16.16 instead of 10.14
    std::vector<device_sample> samples; // when sampling was asked for
};

class device_watch {
public:
    // options: those the device was built with (drift and the full-speed feedback format);
    // descriptors: its formats, alternate setting n carrying format n - 1.
    device_watch(std::shared_ptr<sim::audio_device> device, const sim::audio_device_options &options,
                 const sim::uac2_options &descriptors);
    ~device_watch();
    device_watch(const device_watch &) = delete;
    device_watch &operator=(const device_watch &) = delete;

    // The mode the job's driver paces this device in (the asynchronous driver's by default).
    void set_feedback_mode(feedback_mode mode);
    // Samples the device every sample_period_ms from the start mark to the end mark.
    void sample_while_streaming();

    // The bus the device is attached to, whose frame timer the marks also read.
    void watch_bus(const sim::host_controller &bus);

    // Marks taken by the streaming code; each is safe to call from any thread and more than once
    // (the first start and the last end count).
    void streaming_started();
    void streaming_midway();
    void streaming_ending();

    device_figures figures() const;

private:
    // The streaming interface, in its current alternate setting, whose isochronous data
    // endpoint goes out (render) or in (capture).
    std::optional<sim::interface_info> streaming_interface(bool render) const;
    sim::pcm_format current_format(bool render) const;
    void sample_loop();
    void stop_sampling();

    std::shared_ptr<sim::audio_device> m_device;
    int32_t m_drift_ppm;
    bool m_four_byte_feedback;
    std::vector<sim::pcm_format> m_render_formats;
    std::vector<sim::pcm_format> m_capture_formats;
    mutable std::mutex m_lock;
    std::optional<sim::device_counters> m_start;
    std::optional<sim::device_counters> m_end;
    const sim::host_controller *m_bus = nullptr;
    uint64_t m_stalls_start = 0;
    uint64_t m_stalls_end = 0;
    std::optional<uint32_t> m_feedback;
    uint32_t m_rate = 0;
    sim::pcm_format m_render_format{0, 0, 0};
    sim::pcm_format m_capture_format{0, 0, 0};
    uint8_t m_render_vendor_mode = 0;
    uint8_t m_capture_vendor_mode = 0;
    uint32_t m_capture_rate = 0;
    feedback_mode m_mode;
    std::optional<uint8_t> m_render_interface; // the interface numbers, whatever alternate is set
    std::optional<uint8_t> m_capture_interface;
    bool m_sampling_wanted = false;
    std::atomic<bool> m_sampling_stop{false};
    std::thread m_sampler;
    std::vector<device_sample> m_samples; // written by the sampler; read after it ended
};

} // namespace ovmrun
