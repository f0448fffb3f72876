// The verdict on a run: a stream that did everything right is clean, and each way a stream can
// go wrong alone makes it not clean.
#include <gtest/gtest.h>
#include <functional>
#include "run_report.h"

namespace {

// A one-second stream at 48000 Hz in 512-frame buffers that did everything right.
ovmrun::job_outcome clean_outcome(const ovmrun::run_options &options)
{
    ovmrun::job_outcome outcome;
    outcome.driver_started = true;
    outcome.asio_registered = true;
    outcome.expected_buffer_frames = 512;
    ovmrun::stream_result &s = outcome.stream;
    s.route = "test";
    s.rate = options.rate;
    s.buffer_frames = 512;
    s.inputs = 2;
    s.outputs = 2;
    s.sample_type = ASIOSTInt32LSB;
    s.periods_wanted = 94;
    s.buffer_switches = 94;
    s.seconds = 93.0 * 512 / options.rate;
    for (int i = 0; i < 2; ++i) {
        ovmrun::input_loopback in;
        in.name = "In " + std::to_string(i + 1);
        in.output_channel = i;
        in.found = true;
        in.latency_frames = 1500;
        in.frames_checked = 46000;
        s.loopback.push_back(in);
        s.captured.emplace_back(4 * 48128, 1);
    }
    outcome.device.feedback_endpoint = true;
    outcome.device.render_format = {2, 4, 24};
    outcome.device.capture_format = {2, 4, 24};
    outcome.wav.ok = true;
    outcome.wav.frames = 48128;
    return outcome;
}

TEST(RunVerdict, AStreamThatDidEverythingRightIsClean)
{
    const ovmrun::run_options options;
    ovmrun::job_outcome outcome = clean_outcome(options);
    ovmrun::judge(outcome, options);
    EXPECT_EQ(ovmrun::exit_clean, outcome.exit_code);
    EXPECT_TRUE(outcome.problems.empty());
}

TEST(RunVerdict, EachFaultAloneMakesTheRunNotClean)
{
    struct row {
        const char *name;
        std::function<void(ovmrun::job_outcome &)> spoil;
    };
    const std::vector<row> rows = {
        {"a failed step", [](ovmrun::job_outcome &o) { o.problems.push_back("device setup failed"); }},
        {"wrong rate", [](ovmrun::job_outcome &o) { o.stream.rate = 44100; }},
        {"buffer not the index's", [](ovmrun::job_outcome &o) { o.stream.buffer_frames = 1024; }},
        {"too few switches", [](ovmrun::job_outcome &o) { o.stream.buffer_switches = 93; }},
        {"switches four times too fast", [](ovmrun::job_outcome &o) { o.stream.seconds /= 4; }},
        {"switches slower than the clock", [](ovmrun::job_outcome &o) { o.stream.seconds *= 1.05; }},
        {"a drop-out", [](ovmrun::job_outcome &o) { o.stream.drop_outs = 1; }},
        {"a reset request", [](ovmrun::job_outcome &o) { o.stream.resets = 1; }},
        {"no inputs", [](ovmrun::job_outcome &o) { o.stream.loopback.clear(); }},
        {"signal never back", [](ovmrun::job_outcome &o) { o.stream.loopback[1].found = false; }},
        {"one frame wrong", [](ovmrun::job_outcome &o) { o.stream.loopback[0].mismatches = 1; }},
        {"device underrun", [](ovmrun::job_outcome &o) { o.device.render_underruns = 1; }},
        {"device overflow", [](ovmrun::job_outcome &o) { o.device.render_overflows = 1; }},
        {"device streams more channels", [](ovmrun::job_outcome &o) { o.device.render_format = {8, 4, 24}; }},
        {"device streams other samples", [](ovmrun::job_outcome &o) { o.device.capture_format = {2, 3, 24}; }},
        {"WAV not written", [](ovmrun::job_outcome &o) { o.wav = {}; }},
    };
    const ovmrun::run_options options;
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        ovmrun::job_outcome outcome = clean_outcome(options);
        r.spoil(outcome);
        ovmrun::judge(outcome, options);
        EXPECT_EQ(ovmrun::exit_not_clean, outcome.exit_code);
        EXPECT_FALSE(outcome.problems.empty());
    }
}

// A clean outcome of each route: native DSD, the engine beside the host, and a new index or a
// refused rate from the control panel.
struct route_case {
    const char *name;
    std::function<void(ovmrun::run_options &)> options;
    std::function<void(ovmrun::job_outcome &)> clean;
};

const std::vector<route_case> &route_cases()
{
    static const std::vector<route_case> cases = {
        {"dsd", [](ovmrun::run_options &o) { o.dsd = 64; },
         [](ovmrun::job_outcome &o) {
             ovmrun::stream_result &s = o.stream;
             s.rate = 2822400;
             s.sample_type = ASIOSTDSDInt8MSB1;
             s.buffer_frames = o.expected_buffer_frames = 32768;
             s.seconds = 93.0 * 32768 / 2822400;
             o.device.render_vendor_mode = o.device.capture_vendor_mode = 1;
             o.device.nominal_rate = 88200;
             o.device.render_format = o.device.capture_format = {2, 4, 32};
             o.wav = {};
         }},
        {"engine", [](ovmrun::run_options &o) { o.with_engine = true; },
         [](ovmrun::job_outcome &o) {
             o.engine.ran = true;
             o.engine.capture.found = true;
             o.engine.capture.frames_compared = 20000;
             for (ovmrun::input_loopback &in : o.stream.loopback) {
                 in.mixed = true;
                 in.frames_with_engine = 20000;
             }
         }},
        {"panel index", [](ovmrun::run_options &o) { o.panel = {ovmrun::panel_setting::buffer_index, 3}; },
         [](ovmrun::job_outcome &o) {
             o.stream.buffer_frames = o.expected_buffer_frames = 256;
             o.stream.resets = 1;
             o.panel = {};
             o.panel.ran = o.panel.window = o.panel.clicked = o.panel.reset = o.panel.closed = true;
             o.panel.click_time = 100;
             o.panel.reset_time = 200;
             o.panel.resumed_time = 300;
             o.panel.stored_index = 3;
         }},
        {"panel rate", [](ovmrun::run_options &o) { o.panel = {ovmrun::panel_setting::rate, 96000}; },
         [](ovmrun::job_outcome &o) {
             o.panel.ran = o.panel.window = o.panel.clicked = o.panel.closed = true;
             o.panel.messages = {ovmrun::device_in_use_text};
             o.panel.stored_rate = 48000;
         }},
    };
    return cases;
}

TEST(RunVerdict, EachRouteFaultAloneMakesItsRunNotClean)
{
    struct row {
        const char *route;
        const char *name;
        std::function<void(ovmrun::job_outcome &)> spoil;
    };
    const std::vector<row> rows = {
        {"dsd", "not in the vendor mode", [](ovmrun::job_outcome &o) { o.device.capture_vendor_mode = 0; }},
        {"dsd", "the clock not at the DSD rate over 32", [](ovmrun::job_outcome &o) { o.device.nominal_rate = 2822400; }},
        {"dsd", "PCM samples", [](ovmrun::job_outcome &o) { o.stream.sample_type = ASIOSTInt32LSB; }},
        {"engine", "never mixed", [](ovmrun::job_outcome &o) { o.stream.loopback[0].frames_with_engine = 0; }},
        {"engine", "a gap in its stream", [](ovmrun::job_outcome &o) { o.stream.loopback[1].engine_gaps = 5; }},
        {"engine", "pins refused", [](ovmrun::job_outcome &o) { o.engine.render_open = STATUS_DEVICE_BUSY; }},
        {"engine", "a late notification", [](ovmrun::job_outcome &o) { o.engine.late_notifications = 1; }},
        {"engine", "another capture", [](ovmrun::job_outcome &o) { o.engine.capture.mismatches = 1; }},
        {"engine", "no capture", [](ovmrun::job_outcome &o) { o.engine.capture.found = false; }},
        {"panel index", "no reset", [](ovmrun::job_outcome &o) { o.panel.reset = false; }},
        {"panel index", "no resumption", [](ovmrun::job_outcome &o) { o.panel.resumed_time = -1; }},
        {"panel index", "a message", [](ovmrun::job_outcome &o) { o.panel.messages = {"no"}; }},
        {"panel index", "old buffers", [](ovmrun::job_outcome &o) { o.stream.buffer_frames = 512; }},
        {"panel index", "two resets", [](ovmrun::job_outcome &o) { o.stream.resets = 2; }},
        {"panel index", "not closed", [](ovmrun::job_outcome &o) { o.panel.closed = false; }},
        {"panel rate", "no refusal", [](ovmrun::job_outcome &o) { o.panel.messages.clear(); }},
        {"panel rate", "a reset all the same", [](ovmrun::job_outcome &o) { o.panel.reset = true; }},
        {"panel rate", "the new rate left stored", [](ovmrun::job_outcome &o) { o.panel.stored_rate = 96000; }},
        {"panel rate", "no panel", [](ovmrun::job_outcome &o) { o.panel.failure = "controlPanel started nothing"; }},
    };
    for (const route_case &route : route_cases()) {
        SCOPED_TRACE(route.name);
        ovmrun::run_options options;
        route.options(options);
        ovmrun::job_outcome clean = clean_outcome(options);
        route.clean(clean);
        ovmrun::job_outcome judged = clean;
        ovmrun::judge(judged, options);
        EXPECT_EQ(ovmrun::exit_clean, judged.exit_code);
        for (const std::string &problem : judged.problems) {
            ADD_FAILURE() << problem;
        }
        for (const row &r : rows) {
            if (std::string(r.route) != route.name) {
                continue;
            }
            SCOPED_TRACE(r.name);
            ovmrun::job_outcome outcome = clean;
            r.spoil(outcome);
            ovmrun::judge(outcome, options);
            EXPECT_EQ(ovmrun::exit_not_clean, outcome.exit_code);
        }
    }
    // A picture asked for and not written spoils any run.
    ovmrun::run_options options;
    options.plot_path = "run.svg";
    ovmrun::job_outcome outcome = clean_outcome(options);
    ovmrun::judge(outcome, options);
    EXPECT_EQ(ovmrun::exit_not_clean, outcome.exit_code);
}

TEST(RunVerdict, PacingFollowsTheDriftingClockAndShortRunsAreNotJudgedOnIt)
{
    ovmrun::run_options options;
    options.drift_ppm = 1000;
    ovmrun::job_outcome drifting = clean_outcome(options);
    drifting.stream.seconds = 93.0 * 512 / (options.rate * 1.001);
    ovmrun::judge(drifting, options);
    EXPECT_EQ(ovmrun::exit_clean, drifting.exit_code);

    ovmrun::job_outcome short_run = clean_outcome(options);
    short_run.stream.periods_wanted = short_run.stream.buffer_switches = 4;
    short_run.stream.seconds = 0.001;
    ovmrun::judge(short_run, options);
    EXPECT_EQ(ovmrun::exit_clean, short_run.exit_code) << "4 periods carry too little audio to judge pacing";
}

// Drop-outs stay a fault when the machine stalled the bus, but the verdict says it did, so a
// user can tell the machine's late timer from a fault of the stack.
TEST(RunVerdict, DropOutsNameTheMachinesFrameTimerStallsWhenThereWereAny)
{
    const ovmrun::run_options options;
    ovmrun::job_outcome alone = clean_outcome(options);
    alone.stream.drop_outs = 3;
    ovmrun::judge(alone, options);
    ASSERT_EQ(1u, alone.problems.size());
    EXPECT_EQ("3 drop-outs", alone.problems[0]);

    ovmrun::job_outcome stalled = clean_outcome(options);
    stalled.stream.drop_outs = 3;
    stalled.device.timer_stalls = 2;
    ovmrun::judge(stalled, options);
    EXPECT_NE(ovmrun::exit_clean, stalled.exit_code);
    ASSERT_EQ(1u, stalled.problems.size());
    EXPECT_EQ("3 drop-outs (the machine held the bus's frame timer off a frame or more 2 times)",
              stalled.problems[0]);

    ovmrun::job_outcome stalls_only = clean_outcome(options);
    stalls_only.device.timer_stalls = 4;
    ovmrun::judge(stalls_only, options);
    EXPECT_EQ(ovmrun::exit_clean, stalls_only.exit_code) << "a stall that cost no audio is no fault";
}

TEST(RunVerdict, APartOfTheStackThatIsNotThereIsReportedButNotAFault)
{
    const ovmrun::run_options options;
    ovmrun::job_outcome outcome;
    outcome.driver_started = true;
    outcome.asio_registered = true;
    outcome.stream.not_run = "no device answers on its device channel";
    outcome.not_run.push_back(outcome.stream.not_run);
    ovmrun::judge(outcome, options);
    EXPECT_EQ(ovmrun::exit_clean, outcome.exit_code);
    EXPECT_TRUE(outcome.problems.empty());
}

TEST(RunVerdict, ARefusedRateKeepsItsExitCode)
{
    const ovmrun::run_options options;
    ovmrun::job_outcome outcome;
    outcome.exit_code = ovmrun::exit_usage;
    outcome.problems.push_back("the device has no 32000 Hz clock");
    ovmrun::judge(outcome, options);
    EXPECT_EQ(ovmrun::exit_usage, outcome.exit_code);
    EXPECT_EQ(1u, outcome.problems.size());
}

} // namespace
