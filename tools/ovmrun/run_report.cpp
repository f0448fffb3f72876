// Printing a run of the main job.
#include "run_report.h"
#include <algorithm>
#include <cmath>
#include "job_log.h"
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
    case ASIOSTDSDInt8LSB1:
        return "DSD, 8 samples per byte, first in the lowest bit";
    case ASIOSTDSDInt8MSB1:
        return "DSD, 8 samples per byte, first in the highest bit";
    default:
        return "no PCM type";
    }
}

double milliseconds(int64_t frames, uint32_t rate)
{
    return rate != 0 ? frames * 1000.0 / rate : 0.0;
}

double milliseconds_between(int64_t from, int64_t to)
{
    return (double)(to - from) / 10000.0;
}

void print_format(const stream_result &s, const run_options &options, std::FILE *out)
{
    char size_source[32];
    const uint32_t index = options.panel.what == panel_setting::buffer_index ? options.panel.value : options.buffer_index;
    if (options.stack == device_stack::standard) {
        std::snprintf(size_source, sizeof(size_source), "stored size");
    } else {
        std::snprintf(size_source, sizeof(size_source), "index %u", index);
    }
    if (s.dsd()) {
        std::fprintf(out, "format:          DSD%u at %u Hz, %u samples per buffer (%u device frames, %s), %u inputs, "
                          "%u outputs, %s\n",
                     s.rate / run_options::dsd_base_rate, s.rate, s.buffer_frames,
                     s.buffer_frames / run_options::dsd_rate_divisor, size_source, s.inputs, s.outputs,
                     type_name(s.sample_type));
    } else {
        std::fprintf(out, "format:          %u Hz, %u frames per buffer (%s), %u inputs, %u outputs, %s\n", s.rate,
                     s.buffer_frames, size_source, s.inputs, s.outputs, type_name(s.sample_type));
    }
}

void print_latency(const stream_result &s, std::FILE *out)
{
    // Latencies and the round trip count device frames; the device runs at the DSD rate over 32.
    const uint32_t device_rate = s.device_rate != 0 ? s.device_rate : s.rate;
    const int64_t reported = (int64_t)s.input_latency + s.output_latency;
    std::fprintf(out, "latency:         reported input %d + output %d = %lld %sframes (%.2f ms)\n", s.input_latency,
                 s.output_latency, (long long)reported, s.dsd() ? "device " : "", milliseconds(reported, device_rate));
    int64_t low = INT64_MAX, high = INT64_MIN;
    for (const input_loopback &in : s.loopback) {
        if (in.found) {
            // The last session's buffers are the ones the reported latencies are for.
            const int64_t latency = in.session_latencies.empty() ? in.latency_frames : in.session_latencies.back();
            low = std::min(low, latency);
            high = std::max(high, latency);
        }
    }
    if (low > high) {
        std::fprintf(out, "                 no round trip measured: the signal never came back\n");
        return;
    }
    std::fprintf(out, "                 measured round trip through the loopback %lld", (long long)low);
    if (high != low) {
        std::fprintf(out, "..%lld", (long long)high);
    }
    std::fprintf(out, " frames (%.2f ms), %lld frames %s than reported%s\n", milliseconds(low, device_rate),
                 (long long)(reported > low ? reported - low : low - reported), reported >= low ? "less" : "more",
                 s.sample_type == ASIOSTInt16LSB ? "; modulo 256: 16-bit samples carry an 8-bit counter" : "");
}

void print_audio(const stream_result &s, std::FILE *out)
{
    size_t exact = 0;
    uint64_t checked = 0;
    for (const input_loopback &in : s.loopback) {
        exact += in.found && in.mismatches == 0 ? 1 : 0;
        checked += in.frames_checked;
    }
    std::fprintf(out, "audio:           %s on %zu of %zu inputs (%llu %s checked%s)\n",
                 exact == s.loopback.size() && exact != 0 ? "bit-exact" : "NOT bit-exact", exact, s.loopback.size(),
                 (unsigned long long)checked, s.dsd() ? "32-sample DSD words" : "frames",
                 s.sessions.size() > 1 ? ", each buffer session on its own" : "");
    for (const input_loopback &in : s.loopback) {
        if (in.mixed) {
            std::fprintf(out, "                 '%s': %llu frames the saturating sum of the host's and the engine's "
                              "sample (%llu saturated), %llu frames the engine left out while it played\n",
                         in.name.c_str(), (unsigned long long)in.frames_with_engine,
                         (unsigned long long)in.frames_saturated, (unsigned long long)in.engine_gaps);
        }
    }
}

const char *mode_text(feedback_mode mode)
{
    switch (mode) {
    case feedback_mode::explicit_endpoint:
        return "explicit: render follows the device's feedback endpoint";
    case feedback_mode::implicit:
        return "implicit: render follows the amount the device captured (both directions on one clock); the "
               "feedback endpoint is not read";
    default:
        return "pattern: fixed frames per packet for the rate, no feedback";
    }
}

void print_device(const job_outcome &outcome, const run_options &options, bool reached, std::FILE *out)
{
    const device_figures &d = outcome.device;
    std::fprintf(out, "feedback mode:   %s\n", mode_text(d.mode));
    if (d.feedback_endpoint) {
        if (d.feedback_value != 0) {
            std::fprintf(out, "device clock:    feedback 0x%08X = %.3f Hz (nominal %u Hz, drift %+d ppm); ",
                         d.feedback_value, d.feedback_rate, d.nominal_rate, d.drift_ppm);
            if (d.feedback_packets != 0) {
                std::fprintf(out, "the driver read %llu feedback packets\n", (unsigned long long)d.feedback_packets);
            } else {
                std::fprintf(out, "the driver read no feedback packet%s\n",
                             d.mode == feedback_mode::explicit_endpoint ? "" : ", as its mode reads none");
            }
        } else {
            std::fprintf(out, "device clock:    not measured (the device did not stream)\n");
        }
    }
    if (!reached) {
        return;
    }
    std::fprintf(out, "device streams:  %u outputs x %u bytes, %u inputs x %u bytes\n", d.render_format.channels,
                 d.render_format.subslot_bytes, d.capture_format.channels, d.capture_format.subslot_bytes);
    if (options.dsd != 0) {
        std::fprintf(out, "device mode:     vendor mode %u on render, %u on capture (1: native DSD), clock at %u Hz = "
                          "%u / %u\n",
                     d.render_vendor_mode, d.capture_vendor_mode, d.nominal_rate, options.stream_rate(),
                     run_options::dsd_rate_divisor);
    }
    std::fprintf(out, "device FIFO:     %llu underruns, %llu overflows, %llu frames played\n",
                 (unsigned long long)d.render_underruns, (unsigned long long)d.render_overflows,
                 (unsigned long long)d.frames_played);
    std::fprintf(out, "bus timer:       woken a frame or more late %llu times (the machine held its processor)\n",
                 (unsigned long long)d.timer_stalls);
}

void print_engine(const job_outcome &outcome, const run_options &options, std::FILE *out)
{
    const engine_figures &e = outcome.engine;
    if (!options.with_engine || !e.ran) {
        return;
    }
    if (!NT_SUCCESS(e.filter_open)) {
        std::fprintf(out, "audio engine:    could not open the WaveRT filter %s: %s\n", e.filter.c_str(),
                     status_text(e.filter_open).c_str());
        return;
    }
    std::fprintf(out, "audio engine:    %s, shared format %u x %u bits at %u Hz\n", e.filter.c_str(), e.channels, e.bits,
                 e.rate);
    if (!NT_SUCCESS(e.render_open) || !NT_SUCCESS(e.capture_open)) {
        std::fprintf(out, "                 the driver refused its pins: render %s, capture %s%s\n",
                     status_name(e.render_open).c_str(), status_name(e.capture_open).c_str(),
                     options.dsd != 0 ? " (native DSD holds the device)" : "");
        return;
    }
    std::fprintf(out, "                 played %llu frames and recorded %llu beside the host\n",
                 (unsigned long long)e.frames_played, (unsigned long long)e.frames_recorded);
    if (e.capture.found) {
        std::fprintf(out, "                 its capture pin got the host's input (cut to 16 bits) on %llu of %llu frames\n",
                     (unsigned long long)(e.capture.frames_compared - e.capture.mismatches),
                     (unsigned long long)e.capture.frames_compared);
    } else {
        std::fprintf(out, "                 its capture pin never got the host's input\n");
    }
}

void print_panel(const job_outcome &outcome, const run_options &options, std::FILE *out)
{
    const panel_figures &p = outcome.panel;
    if (options.panel.what == panel_setting::none || !p.ran) {
        return;
    }
    std::fprintf(out, "control panel:   controlPanel returned %s and %s\n",
                 p.control_panel == ASE_OK ? "ASE_OK" : std::to_string(p.control_panel).c_str(),
                 p.window ? "started the control-panel program" : "started no control panel");
    if (!p.clicked) {
        return;
    }
    if (options.panel.what == panel_setting::buffer_index) {
        std::fprintf(out, "                 the user moved the buffer-size slider to %u: %s -> %s\n", options.panel.value,
                     p.shown_before.c_str(), p.shown_after.c_str());
    } else {
        std::fprintf(out, "                 the user chose %u Hz: %s -> %s\n", options.panel.value, p.shown_before.c_str(),
                     p.shown_after.c_str());
    }
    for (const std::string &message : p.messages) {
        std::fprintf(out, "                 it showed \"%s\"\n", message.c_str());
    }
    if (p.reset_time >= 0) {
        std::fprintf(out, "                 the host got kAsioResetRequest %.1f ms after the click",
                     milliseconds_between(p.click_time, p.reset_time));
        if (p.resumed_time >= 0) {
            std::fprintf(out, " and streamed again %.1f ms after it, with %u %s at %u Hz\n",
                         milliseconds_between(p.reset_time, p.resumed_time), p.buffer_frames_after,
                         outcome.stream.dsd() ? "DSD samples" : "frames", p.rate_after);
            std::fprintf(out, "                 the audio of both buffer sessions came back %s: none lost outside "
                              "that gap\n",
                         std::all_of(outcome.stream.loopback.begin(), outcome.stream.loopback.end(),
                                     [](const input_loopback &in) { return in.found && in.mismatches == 0; })
                             ? "bit-exact"
                             : "NOT bit-exact");
        } else {
            std::fprintf(out, "; streaming did not resume\n");
        }
    } else {
        std::fprintf(out, "                 the host got no reset request and streamed on without a gap\n");
    }
    std::fprintf(out, "                 settings now: buffer-size index %lu, %lu Hz\n", (unsigned long)p.stored_index,
                 (unsigned long)p.stored_rate);
}

} // namespace

void print_report(const job_outcome &outcome, const run_options &options, std::FILE *out)
{
    const stream_result &s = outcome.stream;
    // A stream that failed part-way still reports what it got that far.
    const bool reached = s.rate != 0;
    std::fprintf(out, "\n== report ==\n");
    if (reached) {
        std::fprintf(out, "route:           %s\n", s.route.c_str());
        print_format(s, options, out);
        std::fprintf(out, "buffer switches: %llu of %llu in %.2f s of machine time (%.0f %s/s)\n",
                     (unsigned long long)s.buffer_switches, (unsigned long long)s.periods_wanted, s.seconds,
                     s.paced_rate(), s.dsd() ? "samples" : "frames");
        std::fprintf(out, "drop-outs:       %llu (resets and restarts: %llu)\n", (unsigned long long)s.drop_outs,
                     (unsigned long long)s.resets);
        print_latency(s, out);
        print_audio(s, out);
    }
    print_device(outcome, options, reached, out);
    if (reached) {
        print_engine(outcome, options, out);
        print_panel(outcome, options, out);
        if (outcome.wav.ok) {
            std::fprintf(out, "capture:         %s (%zu channels, %u-bit, %llu frames%s)\n", options.wav_path.c_str(),
                         s.captured.size(), sample_type_bytes(s.sample_type) * 8,
                         (unsigned long long)outcome.wav.frames, outcome.wav.truncated ? ", cut to the WAV limit" : "");
        } else if (s.dsd()) {
            std::fprintf(out, "capture:         no WAV file: the inputs carry DSD\n");
        }
    }
    if (outcome.plot_written) {
        std::fprintf(out, "picture:         %s\n", options.plot_path.c_str());
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
