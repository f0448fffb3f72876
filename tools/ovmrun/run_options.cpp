// Parsing of the main job's command line.
#include "run_options.h"
#include <RateTables.h>
#include <charconv>
#include <cmath>
#include <cstdio>
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

// Checks and stores one option's value; an error text when it is not acceptable.
std::string apply(run_options &options, std::string_view name, std::string_view value)
{
    if (name == "--rate") {
        const auto rate = whole_number<uint32_t>(value);
        if (!rate || !IsPcmRate(*rate)) {
            std::string rates;
            for (const RATE_ENTRY &entry : g_PcmRates) {
                rates += (rates.empty() ? "" : ", ") + std::to_string(entry.rate);
            }
            return "--rate: " + quoted(value) + " is not a sample rate of the package (" + rates + ")";
        }
        options.rate = *rate;
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
    } else if (name == "--via") {
        if (value == "asio") {
            options.path = stream_path::asio;
        } else if (value == "channel") {
            options.path = stream_path::channel;
        } else {
            return "--via: " + quoted(value) + " is neither 'asio' nor 'channel'";
        }
    } else {
        return "unknown option " + quoted(name);
    }
    return {};
}

// Options that each make sense alone but not with the chosen stack.
std::string check_combination(const run_options &options)
{
    if (options.stack == device_stack::standard) {
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
        } else {
            const bool known = name == "--rate" || name == "--buffer-index" || name == "--seconds" ||
                               name == "--drift-ppm" || name == "--out" || name == "--via" ||
                               name == "--stack" || name == "--buffer-frames";
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
    char text[2200];
    std::snprintf(text, sizeof(text),
                  "usage: %.*s [options]\n"
                  "Boots a simulated machine with an asynchronous Marla Series device in loopback, installs\n"
                  "the driver package, streams a known signal through it as an ASIO host does and reports\n"
                  "buffer switches, drop-outs, latencies, the device clock and whether the audio came back\n"
                  "bit-exact. Exit code 0 only for a clean run; 1 when the run was not clean; 2 for a bad\n"
                  "command line or a rate the device lacks.\n"
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
                  "  --help              this text\n",
                  (int)program.size(), program.data(), defaults.rate, max_buffer_index, defaults.buffer_index,
                  min_seconds, max_seconds, defaults.seconds, max_drift_ppm, max_drift_ppm, defaults.drift_ppm,
                  defaults.wav_path.c_str(), defaults.path == stream_path::asio ? "asio" : "channel",
                  min_buffer_frames, max_buffer_frames, defaults.buffer_frames);
    return text;
}

} // namespace ovmrun
