// The verdict on a run of the main job: what keeps it from being clean.
#include <cmath>
#include "job_log.h"
#include "loopback_signal.h"
#include "run_report.h"
#include "stream_routes.h"

namespace ovmrun {

namespace {

// Pacing is judged when the switches carry at least this much audio, within this share of the
// device's rate.
constexpr double min_paced_seconds = 0.5;
constexpr double paced_tolerance = 0.02;

void judge_pacing(const job_outcome &outcome, const run_options &options, std::vector<std::string> &problems)
{
    // The device clock paces the stream: switches that deliver audio faster or slower than it
    // runs mean the stack lost track of it.
    const stream_result &s = outcome.stream;
    const double nominal = s.paced_session_rate() * (1.0 + options.drift_ppm / 1e6);
    const double paced = s.paced_rate();
    const stream_session *longest = s.longest_session();
    const uint64_t switches = longest != nullptr ? longest->buffer_switches : s.buffer_switches;
    const uint32_t frames = longest != nullptr ? longest->buffer_frames : s.buffer_frames;
    const double nominal_seconds = switches >= 2 && nominal > 0 ? (switches - 1) * frames / nominal : 0.0;
    if (nominal_seconds >= min_paced_seconds && std::fabs(paced - nominal) > nominal * paced_tolerance) {
        char text[160];
        std::snprintf(text, sizeof(text), "buffer switches delivered %.0f %s/s where the device clock runs at %.0f", paced,
                      s.dsd() ? "DSD samples" : "frames", nominal);
        problems.push_back(text);
    }
}

void judge_loopback(const stream_result &s, std::vector<std::string> &problems)
{
    if (s.loopback.empty()) {
        problems.push_back("no input came back");
    }
    for (const input_loopback &in : s.loopback) {
        if (!in.found) {
            problems.push_back("input '" + in.name + "' never carried its output's signal" +
                               (in.silent ? " (it captured silence only)" : ""));
        } else if (in.mismatches != 0) {
            if (in.lost_at_start != 0) {
                problems.push_back("input '" + in.name + "': the first " + std::to_string(in.lost_at_start) +
                                   " frames its output was sent never came back");
            }
            if (in.mismatches > in.lost_at_start) {
                problems.push_back("input '" + in.name + "': " + std::to_string(in.mismatches - in.lost_at_start) +
                                   " frames " +
                                   (in.mixed ? "neither the sum of both streams nor the host's alone"
                                             : "out of sequence") +
                                   (in.lost_at_start != 0 ? "" : ", the first at frame " + std::to_string(in.first_mismatch)));
            }
        }
        if (in.mixed && in.found && in.frames_with_engine == 0) {
            problems.push_back("input '" + in.name + "' never carried the engine's stream");
        }
        if (in.mixed && in.engine_gaps != 0) {
            problems.push_back("input '" + in.name + "': the engine's stream left " + std::to_string(in.engine_gaps) +
                               " frames out while it played");
        }
    }
}

void judge_device(const job_outcome &outcome, const run_options &options, std::vector<std::string> &problems)
{
    const stream_result &s = outcome.stream;
    const device_figures &d = outcome.device;
    // The stack must stream the device in the layout it offers the host; any other layout
    // scrambles the audio and paces the stream wrongly.
    const uint32_t width = sample_type_bytes(signal_layout(s.sample_type));
    const sim::pcm_format &render = d.render_format;
    const sim::pcm_format &capture = d.capture_format;
    if ((render.channels != 0 && (render.channels != s.outputs || render.subslot_bytes != width)) ||
        (capture.channels != 0 && (capture.channels != s.inputs || capture.subslot_bytes != width))) {
        problems.push_back("the device streams " + std::to_string(render.channels) + " x " +
                           std::to_string(render.subslot_bytes) + "-byte outputs and " +
                           std::to_string(capture.channels) + " x " + std::to_string(capture.subslot_bytes) +
                           "-byte inputs, but the driver offers " + std::to_string(s.outputs) + " and " +
                           std::to_string(s.inputs) + " x " + std::to_string(width) + "-byte channels");
    }
    if (d.render_underruns != 0 || d.render_overflows != 0) {
        problems.push_back("device render FIFO: " + std::to_string(d.render_underruns) + " underruns, " +
                           std::to_string(d.render_overflows) + " overflows");
    }
    if (options.dsd != 0) {
        if (d.render_vendor_mode != 1 || (capture.channels != 0 && d.capture_vendor_mode != 1)) {
            problems.push_back("the device ran in vendor mode " + std::to_string(d.render_vendor_mode) + " (render) and " +
                               std::to_string(d.capture_vendor_mode) + " (capture), not in its native DSD mode 1");
        }
        if (d.nominal_rate != options.device_rate()) {
            problems.push_back("the device's clock ran at " + std::to_string(d.nominal_rate) + " Hz, not at the DSD rate over 32 (" +
                               std::to_string(options.device_rate()) + " Hz)");
        }
    }
}

void judge_engine(const job_outcome &outcome, const run_options &options, std::vector<std::string> &problems)
{
    const engine_figures &e = outcome.engine;
    if (!options.with_engine) {
        return;
    }
    if (!e.ran) {
        problems.push_back("the audio engine did not start");
        return;
    }
    if (!NT_SUCCESS(e.filter_open)) {
        problems.push_back("the audio engine could not open the device's WaveRT filter (" + status_text(e.filter_open) + ")");
        return;
    }
    if (options.dsd != 0) {
        // Native DSD holds the device: the engine's streams must be refused.
        if (NT_SUCCESS(e.render_open)) {
            problems.push_back("the engine's render pin opened while native DSD held the device");
        }
        return;
    }
    if (!NT_SUCCESS(e.render_open) || !NT_SUCCESS(e.capture_open)) {
        problems.push_back("the engine's pins could not be opened: render " + status_text(e.render_open) + ", capture " +
                           status_text(e.capture_open));
        return;
    }
    if (!e.failure.empty()) {
        problems.push_back(e.failure);
    }
    if (e.late_notifications != 0) {
        problems.push_back("the engine waited in vain for " + std::to_string(e.late_notifications) + " notifications");
    }
    if (!e.capture.found) {
        problems.push_back("the engine's capture pin never got the host's input");
    } else if (e.capture.mismatches != 0) {
        problems.push_back("the engine's capture pin got other input than the host on " +
                           std::to_string(e.capture.mismatches) + " of " + std::to_string(e.capture.frames_compared) +
                           " frames");
    }
}

void judge_panel(const job_outcome &outcome, const run_options &options, std::vector<std::string> &problems)
{
    const panel_figures &p = outcome.panel;
    if (options.panel.what == panel_setting::none) {
        return;
    }
    if (!p.failure.empty()) {
        problems.push_back("control panel: " + p.failure);
        return;
    }
    if (options.panel.what == panel_setting::buffer_index) {
        if (!p.reset || p.reset_time < 0) {
            problems.push_back("control panel: the host got no reset request after the click");
        } else if (p.resumed_time < 0) {
            problems.push_back("control panel: streaming did not resume after the reset");
        }
        for (const std::string &message : p.messages) {
            problems.push_back("control panel: it showed \"" + message + "\"");
        }
        if (p.stored_index != options.panel.value) {
            problems.push_back("control panel: the stored index is " + std::to_string(p.stored_index) + ", not " +
                               std::to_string(options.panel.value));
        }
    } else {
        // While the device streams it cannot change its rate: the panel says so, takes the
        // stored rate back to the running one, and the host streams on untouched.
        if (p.messages.size() != 1 || p.messages[0] != device_in_use_text) {
            problems.push_back("control panel: it did not refuse the rate with its one message that the device is "
                               "in use (" + std::to_string(p.messages.size()) + " messages)");
        }
        if (p.reset) {
            problems.push_back("control panel: the refused rate still cost the host a reset");
        }
        if (p.stored_rate != options.rate) {
            problems.push_back("control panel: the stored rate is " + std::to_string(p.stored_rate) + ", not the running " +
                               std::to_string(options.rate));
        }
    }
    if (!p.closed) {
        problems.push_back("control panel: it did not close");
    }
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
        const uint32_t rate = outcome.expected_rate != 0 ? outcome.expected_rate : options.stream_rate();
        if (s.rate != rate) {
            problems.push_back("the stream ran at " + std::to_string(s.rate) + " Hz, not " + std::to_string(rate));
        }
        if (s.buffer_frames != outcome.expected_buffer_frames) {
            const uint32_t index = options.panel.what == panel_setting::buffer_index ? options.panel.value
                                                                                      : options.buffer_index;
            problems.push_back("buffers of " + std::to_string(s.buffer_frames) + " frames, where " +
                               (options.stack == device_stack::standard ? std::string("the stored size is ")
                                                                        : "index " + std::to_string(index) + " gives ") +
                               std::to_string(outcome.expected_buffer_frames));
        }
        if (s.buffer_switches < s.periods_wanted) {
            problems.push_back("only " + std::to_string(s.buffer_switches) + " of " + std::to_string(s.periods_wanted) +
                               " buffer switches");
        }
        judge_pacing(outcome, options, problems);
        if (s.drop_outs != 0) {
            const uint64_t stalls = outcome.device.timer_stalls;
            problems.push_back(std::to_string(s.drop_outs) + " drop-outs" +
                               (stalls != 0 ? " (the machine held the bus's frame timer off a frame or more " +
                                                  std::to_string(stalls) + (stalls == 1 ? " time)" : " times)")
                                            : std::string()));
        }
        // A new buffer size from the control panel asks for exactly one reset; nothing else asks
        // for any (the panel refuses a rate while the device streams).
        const uint64_t resets_expected = options.panel.what == panel_setting::buffer_index ? 1 : 0;
        if (s.resets != resets_expected) {
            problems.push_back(std::to_string(s.resets) + " resets or restarts while streaming" +
                               (resets_expected != 0 ? ", where the panel's change asks for one" : ""));
        }
        judge_loopback(s, problems);
        judge_device(outcome, options, problems);
        judge_engine(outcome, options, problems);
        judge_panel(outcome, options, problems);
        if (!s.dsd() && !outcome.wav.ok) {
            problems.push_back("WAV file: " + (outcome.wav.error.empty() ? std::string("not written") : outcome.wav.error));
        }
    }
    if (!options.plot_path.empty() && !outcome.plot_written) {
        problems.push_back("picture: " + (outcome.plot_error.empty() ? std::string("not written") : outcome.plot_error));
    }
    outcome.exit_code = problems.empty() ? exit_clean : exit_not_clean;
}

} // namespace ovmrun
