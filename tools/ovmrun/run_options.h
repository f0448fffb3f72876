// The main job's command line: the options, their defaults and limits, and the parser that
// turns the arguments into options or one readable error.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>
#include <sim/uac_descriptors.h>

namespace ovmrun {

// How the job reaches the device: through the ASIO driver loaded by an ASIO host, or straight
// through the device channel with the client library (no ASIO driver involved).
enum class stream_path { asio, channel };

// Which of the package's two stacks the job runs: the asynchronous device through ovmlsaau and
// ovmlsaaso, or the standard device through ovmlsau, the audio engine's exclusive-mode
// endpoints and ovmlsaso.
enum class device_stack { async, standard };

// A setting the control-panel program changes part-way through a run, as a user's click does.
enum class panel_setting { none, buffer_index, rate };

struct panel_change {
    panel_setting what = panel_setting::none;
    uint32_t value = 0; // the new buffer-size index, or the new rate in Hz
};

struct run_options {
    uint32_t rate = 48000;       // Hz; one of the PCM table rates
    uint32_t buffer_index = 7;   // buffer-size index 0..31, as the control panel stores it
    double seconds = 3.0;        // streaming time
    int32_t drift_ppm = 0;       // the device clock's deviation from its nominal rate
    std::string wav_path = "ovmrun-capture.wav";
    stream_path path = stream_path::asio;
    device_stack stack = device_stack::async;
    // The standard stack's buffer size in frames (its settings store frames, not an index).
    uint32_t buffer_frames = 512;
    // Native DSD: the multiple of 44100 Hz of the DSD rate (64, 128, 256 or 512), 0 for PCM.
    uint32_t dsd = 0;
    // The audio engine plays and records through the device's WaveRT pins beside the host.
    bool with_engine = false;
    panel_change panel;
    std::string plot_path;       // where the picture of the run goes; empty for none
    // The machine clock and the bus move on only while every thread of the machine waits:
    // nothing is late, so what the run loses is the stack's own loss.
    bool paced = false;
    bool rate_given = false;
    // Where the trace of every provider of the package goes (empty: no trace file), and the
    // most detailed level it takes (TRACE_LEVEL_ERROR 2 to TRACE_LEVEL_VERBOSE 5).
    std::string trace_path;
    uint8_t trace_level = 4;
    bool trace_level_given = false;
    bool buffer_index_given = false;
    bool buffer_frames_given = false;
    bool help = false;
    // The PCM formats of the device's render and capture interfaces; empty for the default
    // asynchronous device's. Not a command-line option: the job always runs the default device.
    std::vector<sim::pcm_format> device_formats;
    // Whether the device has its DSD vendor mode; not a command-line option either.
    bool device_vendor_mode = true;

    // The rate the host streams at: the DSD rate with --dsd, else rate.
    uint32_t stream_rate() const { return dsd != 0 ? dsd * dsd_base_rate : rate; }
    // The rate the device's clock runs at: a DSD rate reaches it divided by 32.
    uint32_t device_rate() const { return dsd != 0 ? stream_rate() / dsd_rate_divisor : rate; }

    static constexpr uint32_t dsd_base_rate = 44100;
    static constexpr uint32_t dsd_rate_divisor = 32;
};

inline constexpr double max_seconds = 60.0;
inline constexpr double min_seconds = 0.05;
inline constexpr int32_t max_drift_ppm = 1000;
inline constexpr uint32_t max_buffer_index = 31;
inline constexpr uint32_t min_buffer_frames = 64;
inline constexpr uint32_t max_buffer_frames = 4096;
// The rates of the standard stack.
inline constexpr uint32_t standard_rates[] = {44100, 48000};

struct parse_result {
    bool ok = false;
    run_options options;
    std::string error; // one line, without the program name; empty when ok
};

// Parses the arguments after the program name. Options take their value either as the next
// argument or after '=' ("--rate 96000", "--rate=96000"). Numbers must be whole decimal
// numbers (seconds may have a fraction); anything else is an error. --help stops parsing.
parse_result parse_options(std::span<const std::string_view> args);

// The text --help prints.
std::string usage_text(std::string_view program);

} // namespace ovmrun
