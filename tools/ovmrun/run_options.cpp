// Parsing of the main job's command line.
#include "run_options.h"
#include <RateTables.h>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <algorithm>
#include <iterator>
#include <optional>

namespace ovmrun {

namespace {

template <typename T>
std::optional<T> whole_number(std::string_view text)
{
    T value{};
    const char *begin = text.data();
    const char *end = begin + text.size();
    if (!text.empty() && text.front() == '+') {
        ++begin;
    }
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (begin == end || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> decimal_number(std::string_view text)
{
    double value = 0;
    const char *begin = text.data();
    const char *end = begin + text.size();
    const auto [stop, error] = std::from_chars(begin, end, value, std::chars_format::fixed);
    if (begin == end || error != std::errc() || stop != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::string quoted(std::string_view text)
{
    return "'" + std::string(text) + "'";
}

std::string pcm_rate_list()
{
    std::string rates;
    for (const RATE_ENTRY &entry : g_PcmRates) {
        rates += (rates.empty() ? "" : ", ") + std::to_string(entry.rate);
    }
    return rates;
}

// The DSD rates the ASIO driver accepts, as multiples of 44100 Hz.
constexpr uint32_t dsd_multiples[] = {64, 128, 256, 512};

// Options that take no value.
bool is_flag(std::string_view name)
{
    return name == "--with-engine" || name == "--paced";
}

std::string parse_panel_change(run_options &options, std::string_view value)
{
    const size_t equals = value.find('=');
    const std::string_view what = value.substr(0, equals);
    const std::string_view number = equals == std::string_view::npos ? std::string_view() : value.substr(equals + 1);
    if (what == "index") {
        const auto index = whole_number<uint32_t>(number);
        if (!index || *index > max_buffer_index) {
            return "--panel-change: " + quoted(value) + " does not give an index from 0 to " +
                   std::to_string(max_buffer_index);
        }
        options.panel = {panel_setting::buffer_index, *index};
    } else if (what == "rate") {
        const auto rate = whole_number<uint32_t>(number);
        if (!rate || !IsPcmRate(*rate)) {
            return "--panel-change: " + quoted(value) + " does not give a sample rate of the package (" +
                   pcm_rate_list() + ")";
        }
        options.panel = {panel_setting::rate, *rate};
    } else {
        return "--panel-change: " + quoted(value) + " is neither 'index=N' nor 'rate=HZ'";
    }
    return {};
}

// Checks and stores one option's value; an error text when it is not acceptable.
std::string apply(run_options &options, std::string_view name, std::string_view value)
{
    if (name == "--rate") {
        const auto rate = whole_number<uint32_t>(value);
        if (!rate || !IsPcmRate(*rate)) {
            return "--rate: " + quoted(value) + " is not a sample rate of the package (" + pcm_rate_list() + ")";
        }
        options.rate = *rate;
        options.rate_given = true;
    } else if (name == "--buffer-index") {
        const auto index = whole_number<uint32_t>(value);
        if (!index || *index > max_buffer_index) {
            return "--buffer-index: " + quoted(value) + " is not an index from 0 to " +
                   std::to_string(max_buffer_index);
        }
        options.buffer_index = *index;
        options.buffer_index_given = true;
    } else if (name == "--buffer-frames") {
        const auto frames = whole_number<uint32_t>(value);
        if (!frames || *frames < min_buffer_frames || *frames > max_buffer_frames) {
            return "--buffer-frames: " + quoted(value) + " is not a size from " + std::to_string(min_buffer_frames) +
                   " to " + std::to_string(max_buffer_frames) + " frames";
        }
        options.buffer_frames = *frames;
        options.buffer_frames_given = true;
    } else if (name == "--stack") {
        if (value == "async") {
            options.stack = device_stack::async;
        } else if (value == "standard") {
            options.stack = device_stack::standard;
        } else {
            return "--stack: " + quoted(value) + " is neither 'async' nor 'standard'";
        }
    } else if (name == "--seconds") {
        const auto seconds = decimal_number(value);
        if (!seconds || *seconds < min_seconds || *seconds > max_seconds) {
            char limits[64];
            std::snprintf(limits, sizeof(limits), "%g to %g", min_seconds, max_seconds);
            return "--seconds: " + quoted(value) + " is not a time from " + limits + " seconds";
        }
        options.seconds = *seconds;
    } else if (name == "--drift-ppm") {
        const auto ppm = whole_number<int32_t>(value);
        if (!ppm || *ppm < -max_drift_ppm || *ppm > max_drift_ppm) {
            return "--drift-ppm: " + quoted(value) + " is not a drift from " + std::to_string(-max_drift_ppm) +
                   " to " + std::to_string(max_drift_ppm) + " ppm";
        }
        options.drift_ppm = *ppm;
    } else if (name == "--out") {
        if (value.empty()) {
            return "--out: the WAV file needs a name";
        }
        options.wav_path = std::string(value);
    } else if (name == "--trace") {
        if (value.empty()) {
            return "--trace: the trace file needs a name";
        }
        options.trace_path = std::string(value);
    } else if (name == "--trace-level") {
        const std::string_view levels[] = {"error", "warning", "information", "verbose"};
        const auto level = std::find(std::begin(levels), std::end(levels), value);
        if (level == std::end(levels)) {
            return "--trace-level: " + quoted(value) + " is not error, warning, information or verbose";
        }
        options.trace_level = (uint8_t)(2 + (level - std::begin(levels)));
        options.trace_level_given = true;
    } else if (name == "--via") {
        if (value == "asio") {
            options.path = stream_path::asio;
        } else if (value == "channel") {
            options.path = stream_path::channel;
        } else {
            return "--via: " + quoted(value) + " is neither 'asio' nor 'channel'";
        }
    } else if (name == "--dsd") {
        const auto multiple = whole_number<uint32_t>(value);
        bool known = false;
        for (uint32_t m : dsd_multiples) {
            known = known || (multiple && *multiple == m);
        }
        if (!known) {
            return "--dsd: " + quoted(value) + " is not a DSD rate of the package (64, 128, 256 or 512 times 44100 Hz)";
        }
        options.dsd = *multiple;
    } else if (name == "--with-engine") {
        options.with_engine = true;
    } else if (name == "--paced") {
        options.paced = true;
    } else if (name == "--panel-change") {
        return parse_panel_change(options, value);
    } else if (name == "--plot") {
        if (value.size() < 5 || value.substr(value.size() - 4) != ".svg") {
            return "--plot: " + quoted(value) + " is not a file name ending in .svg (the picture is SVG text)";
        }
        options.plot_path = std::string(value);
    } else {
        return "unknown option " + quoted(name);
    }
    return {};
}

// Options that each make sense alone but not with the chosen stack.
std::string check_combination(const run_options &options)
{
    if (options.stack == device_stack::standard) {
        if (options.dsd != 0) {
            return "--dsd: the standard device has no DSD mode; native DSD runs on the asynchronous stack";
        }
        if (options.with_engine) {
            return "--with-engine: the standard stack's ASIO driver streams through the audio engine already";
        }
        if (options.panel.what != panel_setting::none) {
            return "--panel-change: the standard stack's control panel is not part of this package";
        }
        if (options.path == stream_path::channel) {
            return "--via channel: the standard stack has no device channel; it streams through its ASIO driver";
        }
        if (options.buffer_index_given) {
            return "--buffer-index: the standard stack stores its buffer size in frames; use --buffer-frames";
        }
        bool offered = false;
        for (uint32_t rate : standard_rates) {
            offered = offered || rate == options.rate;
        }
        if (!offered) {
            return "--rate: the standard stack streams at 44100 or 48000 Hz, not " + std::to_string(options.rate);
        }
    } else if (options.buffer_frames_given) {
        return "--buffer-frames: the asynchronous stack takes a buffer-size index; use --buffer-index";
    }
    if (options.path == stream_path::channel) {
        if (options.dsd != 0) {
            return "--dsd: native DSD is set up through the ASIO driver's io format; use --via asio";
        }
        if (options.panel.what != panel_setting::none) {
            return "--panel-change: the control panel is started by the ASIO driver; use --via asio";
        }
    }
    if (options.with_engine && options.panel.what != panel_setting::none) {
        return "--panel-change: the check of the engine's mixed stream follows one buffer session only; run "
               "--with-engine and --panel-change apart";
    }
    if (options.dsd != 0 && options.rate_given) {
        return "--rate: with --dsd the host sets the DSD rate; leave --rate out";
    }
    if (options.panel.what == panel_setting::rate && options.dsd != 0) {
        return "--panel-change: the control panel offers no DSD rate; with --dsd only the index changes";
    }
    if ((options.panel.what == panel_setting::buffer_index && options.panel.value == options.buffer_index) ||
        (options.panel.what == panel_setting::rate && options.panel.value == options.rate)) {
        return "--panel-change: the run already uses that " +
               std::string(options.panel.what == panel_setting::rate ? "rate" : "index") + "; nothing would change";
    }
    if (options.trace_level_given && options.trace_path.empty()) {
        return "--trace-level: the level of a trace file; give one with --trace FILE";
    }
    return {};
}

} // namespace

parse_result parse_options(std::span<const std::string_view> args)
{
    parse_result result;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") {
            result.options.help = true;
            result.ok = true;
            return result;
        }
        if (arg.size() < 3 || arg.substr(0, 2) != "--") {
            result.error = "unexpected argument " + quoted(arg);
            return result;
        }
        std::string_view name = arg;
        std::string_view value;
        const size_t equals = arg.find('=');
        if (equals != std::string_view::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            if (is_flag(name)) {
                result.error = std::string(name) + " takes no value";
                return result;
            }
        } else {
            const bool known = name == "--rate" || name == "--buffer-index" || name == "--seconds" ||
                               name == "--drift-ppm" || name == "--out" || name == "--via" ||
                               name == "--stack" || name == "--buffer-frames" || name == "--dsd" ||
                               name == "--panel-change" || name == "--plot" || name == "--trace" ||
                               name == "--trace-level";
            if (is_flag(name)) {
                result.error = apply(result.options, name, {});
                if (!result.error.empty()) {
                    return result;
                }
                continue;
            }
            if (!known) {
                result.error = "unknown option " + quoted(name);
                return result;
            }
            if (i + 1 >= args.size()) {
                result.error = std::string(name) + " needs a value";
                return result;
            }
            value = args[++i];
        }
        result.error = apply(result.options, name, value);
        if (!result.error.empty()) {
            return result;
        }
    }
    result.error = check_combination(result.options);
    result.ok = result.error.empty();
    return result;
}

std::string usage_text(std::string_view program)
{
    const run_options defaults;
    char text[4000];
    std::snprintf(text, sizeof(text),
                  "usage: %.*s [options]\n"
                  "Boots a simulated machine with an asynchronous Marla Series device in loopback, installs\n"
                  "the driver package, streams a known signal through it as an ASIO host does and reports\n"
                  "buffer switches, drop-outs, latencies, the device clock and whether the audio came back\n"
                  "bit-exact. Exit code 0 only for a clean run; 1 when the run was not clean; 2 for a bad\n"
                  "command line or what the device lacks (a rate, native DSD).\n"
                  "\n"
                  "  --rate HZ           sample rate (default %u)\n"
                  "  --buffer-index N    ASIO buffer-size index 0..%u; frames = (N + 1) x 64 x k (default %u)\n"
                  "  --seconds S         streaming time, %g to %g (default %g)\n"
                  "  --drift-ppm P       device clock drift, -%d..%d ppm (default %d)\n"
                  "  --out FILE.wav      where the captured audio goes (default %s)\n"
                  "  --via asio|channel  stream through the ASIO driver or the device channel (default %s)\n"
                  "  --stack async|standard\n"
                  "                      the asynchronous device and stack, or the standard device through\n"
                  "                      its kernel driver, the audio engine and its ASIO driver (default async)\n"
                  "  --buffer-frames N   the standard stack's buffer size, %u..%u frames (default %u)\n"
                  "  --dsd 64|128|256    native DSD at that multiple of 44100 Hz: the host sets the DSD io\n"
                  "                      format and rate, the device runs in its vendor mode at the rate / 32\n"
                  "                      (the driver also takes 512, whose clock the device lacks)\n"
                  "  --with-engine       the audio engine plays and records through the device's WaveRT pins\n"
                  "                      while the host streams; the device must play the sum of both\n"
                  "  --panel-change index=N|rate=HZ\n"
                  "                      half-way through, the control panel (started by the driver's\n"
                  "                      controlPanel call) changes the buffer-size index or the rate\n"
                  "  --plot FILE.svg     a picture of the run over time: switch intervals, device FIFO,\n"
                  "                      feedback or captured amount, drop-outs and resets\n"
                  "  --trace FILE        record every trace provider of the package into FILE while the job runs\n"
                  "  --trace-level error|warning|information|verbose\n"
                  "                      the most detailed traces --trace records (default information)\n"
                  "  --paced             the machine's time and bus wait for every thread of the machine, so\n"
                  "                      a loaded computer slows the run down instead of costing audio: the\n"
                  "                      run shows what the stack itself loses\n"
                  "  --help              this text\n",
                  (int)program.size(), program.data(), defaults.rate, max_buffer_index, defaults.buffer_index,
                  min_seconds, max_seconds, defaults.seconds, max_drift_ppm, max_drift_ppm, defaults.drift_ppm,
                  defaults.wav_path.c_str(), defaults.path == stream_path::asio ? "asio" : "channel",
                  min_buffer_frames, max_buffer_frames, defaults.buffer_frames);
    return text;
}

} // namespace ovmrun
