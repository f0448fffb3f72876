// Judging and printing a run of the main job.
#include "run_report.h"
#include <algorithm>
#include <cmath>
#include "loopback_signal.h"

namespace ovmrun {

namespace {

const char *type_name(ASIOSampleType type)
{
    switch (type) {
    case ASIOSTInt16LSB:
        return "16-bit integer";
    case ASIOSTInt24LSB:
        return "24-bit packed integer";
    case ASIOSTInt32LSB:
        return "32-bit integer";
    default:
        return "no PCM type";
    }
}

// Pacing is judged when the switches carry at least this much audio, within this share of the
// device's rate.
constexpr double min_paced_seconds = 0.5;
constexpr double paced_tolerance = 0.02;

double milliseconds(int64_t frames, uint32_t rate)
{
    return rate != 0 ? frames * 1000.0 / rate : 0.0;
}

} // namespace

void judge(job_outcome &outcome, const run_options &options)
{
    const stream_result &s = outcome.stream;
    std::vector<std::string> &problems = outcome.problems;
    if (outcome.exit_code == exit_usage) {
        return;
    }
    if (outcome.driver_started && s.streamed()) {
        if (s.rate != options.rate) {
            problems.push_back("the stream ran at " + std::to_string(s.rate) + " Hz, not " +
                               std::to_string(options.rate));
        }
        if (s.buffer_frames != outcome.expected_buffer_frames) {
            problems.push_back("buffers of " + std::to_string(s.buffer_frames) + " frames, where " +
                               (options.stack == device_stack::standard
                                    ? std::string("the stored size is ")
                                    : "index " + std::to_string(options.buffer_index) + " gives ") +
                               std::to_string(outcome.expected_buffer_frames));
        }
        if (s.buffer_switches < s.periods_wanted) {
            problems.push_back("only " + std::to_string(s.buffer_switches) + " of " +
                               std::to_string(s.periods_wanted) + " buffer switches");
        }
        // The device clock paces the stream: switches that deliver audio faster or slower than
        // it runs mean the stack lost track of it.
        const double nominal = options.rate * (1.0 + options.drift_ppm / 1e6);
        const double paced = s.paced_rate();
        const double nominal_seconds = s.buffer_switches >= 2 ? (s.buffer_switches - 1) * s.buffer_frames / nominal : 0.0;
        if (nominal_seconds >= min_paced_seconds && std::fabs(paced - nominal) > nominal * paced_tolerance) {
            char text[160];
            std::snprintf(text, sizeof(text), "buffer switches delivered %.0f frames/s where the device clock runs at %.0f",
                          paced, nominal);
            problems.push_back(text);
        }
        if (s.drop_outs != 0) {
            const uint64_t stalls = outcome.device.timer_stalls;
            problems.push_back(std::to_string(s.drop_outs) + " drop-outs" +
                               (stalls != 0 ? " (the machine held the bus's frame timer off a frame or more " +
                                                  std::to_string(stalls) + (stalls == 1 ? " time)" : " times)")
                                            : std::string()));
        }
        if (s.resets != 0) {
            problems.push_back(std::to_string(s.resets) + " resets or restarts while streaming");
        }
        if (s.loopback.empty()) {
            problems.push_back("no input came back");
        }
        for (const input_loopback &in : s.loopback) {
            if (!in.found) {
                problems.push_back("input '" + in.name + "' never carried its output's signal" +
                                   (in.silent ? " (it captured silence only)" : ""));
            } else if (in.mismatches != 0) {
                problems.push_back("input '" + in.name + "': " + std::to_string(in.mismatches) +
                                   " frames out of sequence, the first at frame " + std::to_string(in.first_mismatch));
            }
        }
        // The stack must stream the device in the layout it offers the host; any other
        // layout scrambles the audio and paces the stream wrongly.
        const uint32_t width = sample_type_bytes(s.sample_type);
        const sim::pcm_format &render = outcome.device.render_format;
        const sim::pcm_format &capture = outcome.device.capture_format;
        if ((render.channels != 0 && (render.channels != s.outputs || render.subslot_bytes != width)) ||
            (capture.channels != 0 && (capture.channels != s.inputs || capture.subslot_bytes != width))) {
            problems.push_back("the device streams " + std::to_string(render.channels) + " x " +
                               std::to_string(render.subslot_bytes) + "-byte outputs and " +
                               std::to_string(capture.channels) + " x " + std::to_string(capture.subslot_bytes) +
                               "-byte inputs, but the driver offers " + std::to_string(s.outputs) + " and " +
                               std::to_string(s.inputs) + " x " + std::to_string(width) + "-byte channels");
        }
        if (outcome.device.render_underruns != 0 || outcome.device.render_overflows != 0) {
            problems.push_back("device render FIFO: " + std::to_string(outcome.device.render_underruns) +
                               " underruns, " + std::to_string(outcome.device.render_overflows) + " overflows");
        }
        if (!outcome.wav.ok) {
            problems.push_back("WAV file: " + (outcome.wav.error.empty() ? std::string("not written") : outcome.wav.error));
        }
    }
    outcome.exit_code = problems.empty() ? exit_clean : exit_not_clean;
}

void print_report(const job_outcome &outcome, const run_options &options, std::FILE *out)
{
    const stream_result &s = outcome.stream;
    const device_figures &d = outcome.device;
    // A stream that failed part-way still reports what it got that far.
    const bool reached = s.rate != 0;
    std::fprintf(out, "\n== report ==\n");
    if (reached) {
        std::fprintf(out, "route:           %s\n", s.route.c_str());
        char size_source[32];
        if (options.stack == device_stack::standard) {
            std::snprintf(size_source, sizeof(size_source), "stored size");
        } else {
            std::snprintf(size_source, sizeof(size_source), "index %u", options.buffer_index);
        }
        std::fprintf(out, "format:          %u Hz, %u frames per buffer (%s), %u inputs, %u outputs, %s\n", s.rate,
                     s.buffer_frames, size_source, s.inputs, s.outputs, type_name(s.sample_type));
        std::fprintf(out, "buffer switches: %llu of %llu in %.2f s of machine time (%.0f frames/s)\n",
                     (unsigned long long)s.buffer_switches, (unsigned long long)s.periods_wanted, s.seconds,
                     s.paced_rate());
        std::fprintf(out, "drop-outs:       %llu (resets and restarts: %llu)\n", (unsigned long long)s.drop_outs,
                     (unsigned long long)s.resets);
        const int64_t reported = (int64_t)s.input_latency + s.output_latency;
        std::fprintf(out, "latency:         reported input %d + output %d = %lld frames (%.2f ms)\n", s.input_latency,
                     s.output_latency, (long long)reported, milliseconds(reported, s.rate));
        int64_t low = INT64_MAX, high = INT64_MIN;
        size_t exact = 0;
        uint64_t checked = 0;
        for (const input_loopback &in : s.loopback) {
            if (in.found) {
                low = std::min(low, in.latency_frames);
                high = std::max(high, in.latency_frames);
            }
            exact += in.found && in.mismatches == 0 ? 1 : 0;
            checked += in.frames_checked;
        }
        if (low <= high) {
            std::fprintf(out, "                 measured round trip through the loopback %lld", (long long)low);
            if (high != low) {
                std::fprintf(out, "..%lld", (long long)high);
            }
            std::fprintf(out, " frames (%.2f ms), %lld frames %s than reported%s\n", milliseconds(low, s.rate),
                         (long long)(reported > low ? reported - low : low - reported),
                         reported >= low ? "less" : "more",
                         s.sample_type == ASIOSTInt16LSB ? "; modulo 256: 16-bit samples carry an 8-bit counter" : "");
        } else {
            std::fprintf(out, "                 no round trip measured: the signal never came back\n");
        }
        std::fprintf(out, "audio:           %s on %zu of %zu inputs (%llu frames checked)\n",
                     exact == s.loopback.size() && exact != 0 ? "bit-exact" : "NOT bit-exact", exact,
                     s.loopback.size(), (unsigned long long)checked);
    }
    if (d.feedback_endpoint) {
        if (d.feedback_value != 0) {
            std::fprintf(out, "device clock:    feedback 0x%08X = %.3f Hz (nominal %u Hz, drift %+d ppm); ",
                         d.feedback_value, d.feedback_rate, d.nominal_rate, d.drift_ppm);
            if (d.feedback_packets != 0) {
                std::fprintf(out, "the driver read %llu feedback packets\n", (unsigned long long)d.feedback_packets);
            } else {
                std::fprintf(out, "the driver read no feedback packet\n");
            }
        } else {
            std::fprintf(out, "device clock:    not measured (the device did not stream)\n");
        }
    }
    if (reached) {
        std::fprintf(out, "device streams:  %u outputs x %u bytes, %u inputs x %u bytes\n", d.render_format.channels,
                     d.render_format.subslot_bytes, d.capture_format.channels, d.capture_format.subslot_bytes);
        std::fprintf(out, "device FIFO:     %llu underruns, %llu overflows, %llu frames played\n",
                     (unsigned long long)d.render_underruns, (unsigned long long)d.render_overflows,
                     (unsigned long long)d.frames_played);
        std::fprintf(out, "bus timer:       woken a frame or more late %llu times (the machine held its processor)\n",
                     (unsigned long long)d.timer_stalls);
        if (outcome.wav.ok) {
            std::fprintf(out, "capture:         %s (%zu channels, %u-bit, %llu frames%s)\n", options.wav_path.c_str(),
                         s.captured.size(), sample_type_bytes(s.sample_type) * 8,
                         (unsigned long long)outcome.wav.frames, outcome.wav.truncated ? ", cut to the WAV limit" : "");
        }
    }
    for (const std::string &part : outcome.not_run) {
        std::fprintf(out, "not run:         %s\n", part.c_str());
    }
    if (outcome.problems.empty()) {
        std::fprintf(out, "result:          clean\n");
    } else {
        std::fprintf(out, "result:          NOT clean\n");
        for (const std::string &problem : outcome.problems) {
            std::fprintf(out, "  - %s\n", problem.c_str());
        }
    }
}

} // namespace ovmrun
