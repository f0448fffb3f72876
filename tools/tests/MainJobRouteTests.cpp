// Short runs of the main job's routes end to end: native DSD (and the audio engine refused
// beside it), the engine's stream mixed into the host's, the control panel changing the
// buffer size and refusing a rate while the host streams, and the picture of a run. The runs are
// paced (the machine clock and the bus wait for every thread of the machine), so each comes
// back clean and the verdict says so.
#include <gtest/gtest.h>
#include <fstream>
#include <iterator>
#include "main_job.h"

namespace {

std::string problems_of(const ovmrun::job_outcome &outcome)
{
    std::string text;
    for (const std::string &p : outcome.problems) {
        text += "\n  " + p;
    }
    return text;
}

ovmrun::run_options brief(const char *name)
{
    ovmrun::run_options options;
    options.seconds = 1.0;
    options.paced = true;
    options.wav_path = ::testing::TempDir() + "ovmrun_route_" + name + ".wav";
    return options;
}

// Every input carried its signal, every frame in sequence at one latency in each buffer
// session, and the run was clean.
void expect_came_back(const ovmrun::job_outcome &outcome)
{
    ASSERT_TRUE(outcome.stream.failure.empty()) << outcome.stream.failure;
    ASSERT_EQ(2u, outcome.stream.loopback.size());
    for (const ovmrun::input_loopback &in : outcome.stream.loopback) {
        SCOPED_TRACE(in.name);
        EXPECT_TRUE(in.found) << problems_of(outcome);
        EXPECT_EQ(0u, in.mismatches) << "first at frame " << in.first_mismatch << problems_of(outcome);
        EXPECT_EQ(outcome.stream.loopback[0].session_latencies, in.session_latencies);
    }
    EXPECT_EQ(0u, outcome.stream.drop_outs);
    EXPECT_EQ(ovmrun::exit_clean, outcome.exit_code) << problems_of(outcome);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(MainJobRoute, NativeDsdComesBackBitExactAndHoldsTheDeviceAgainstTheEngine)
{
    ovmrun::run_options options = brief("dsd");
    options.dsd = 64;
    options.with_engine = true;
    options.plot_path = ::testing::TempDir() + "ovmrun_route_dsd.svg";
    std::remove(options.plot_path.c_str());
    const ovmrun::job_outcome outcome = ovmrun::run_main_job(options, nullptr);
    expect_came_back(outcome);
    const ovmrun::stream_result &s = outcome.stream;
    EXPECT_EQ(ASIOSTDSDInt8MSB1, s.sample_type);
    EXPECT_EQ(2822400u, s.rate);
    EXPECT_EQ(32768u, s.buffer_frames) << "index 7 at 88200 Hz is 1024 frames of 32 DSD samples";
    EXPECT_EQ(88200u, s.device_rate);
    EXPECT_EQ(1u, outcome.device.render_vendor_mode);
    EXPECT_EQ(1u, outcome.device.capture_vendor_mode);
    EXPECT_EQ(88200u, outcome.device.nominal_rate);
    EXPECT_FALSE(outcome.wav.ok) << "DSD goes to no WAV file";

    EXPECT_TRUE(outcome.engine.ran);
    EXPECT_EQ(STATUS_SUCCESS, outcome.engine.filter_open);
    EXPECT_EQ(STATUS_DEVICE_BUSY, outcome.engine.render_open);
    EXPECT_EQ(STATUS_DEVICE_BUSY, outcome.engine.capture_open);
    EXPECT_NE(std::string::npos, outcome.engine.filter.find("Wave_88200"));

    ASSERT_TRUE(outcome.plot_written) << outcome.plot_error;
    EXPECT_EQ(0u, read_file(options.plot_path).find("<svg"));
    std::remove(options.plot_path.c_str());
}

TEST(MainJobRoute, DsdOnADeviceWithoutItOrAtARateItLacksEndsWithExitCode2)
{
    ovmrun::run_options options = brief("no_dsd");
    options.dsd = 64;
    options.device_vendor_mode = false;
    const ovmrun::job_outcome refused = ovmrun::run_main_job(options, nullptr);
    EXPECT_EQ(ovmrun::exit_usage, refused.exit_code);
    EXPECT_TRUE(refused.driver_started) << "the driver learns at its start that the device has no DSD";
    ASSERT_EQ(1u, refused.problems.size()) << problems_of(refused);
    EXPECT_NE(std::string::npos, refused.problems[0].find("no DSD mode")) << refused.problems[0];

    options = brief("dsd512");
    options.dsd = 512;
    const ovmrun::job_outcome too_fast = ovmrun::run_main_job(options, nullptr);
    EXPECT_EQ(ovmrun::exit_usage, too_fast.exit_code);
    EXPECT_FALSE(too_fast.driver_started) << "refused before anything boots";
    ASSERT_EQ(1u, too_fast.problems.size());
    EXPECT_NE(std::string::npos, too_fast.problems[0].find("705600")) << too_fast.problems[0];
}

TEST(MainJobRoute, TheDevicePlaysTheSumOfTheEnginesStreamAndTheHosts)
{
    ovmrun::run_options options = brief("engine");
    options.seconds = 1.5;
    options.with_engine = true;
    const ovmrun::job_outcome outcome = ovmrun::run_main_job(options, nullptr);
    expect_came_back(outcome);
    const ovmrun::engine_figures &e = outcome.engine;
    ASSERT_EQ(STATUS_SUCCESS, e.render_open);
    ASSERT_EQ(STATUS_SUCCESS, e.capture_open);
    EXPECT_EQ(48000u, e.rate);
    EXPECT_GT(e.frames_played, 0u);
    EXPECT_EQ(2u, e.mixed_channels);
    for (const ovmrun::input_loopback &in : outcome.stream.loopback) {
        SCOPED_TRACE(in.name);
        EXPECT_TRUE(in.mixed);
        EXPECT_GT(in.frames_with_engine, 48000u / 4) << problems_of(outcome);
    }
    EXPECT_TRUE(e.capture.found) << problems_of(outcome);
    EXPECT_GT(e.capture.frames_compared, 48000u / 4);
    EXPECT_EQ(0u, e.capture.mismatches);
}

TEST(MainJobRoute, TheControlPanelChangesTheBufferSizeThroughAResetAndRefusesARate)
{
    ovmrun::run_options options = brief("panel_index");
    options.panel = {ovmrun::panel_setting::buffer_index, 3};
    const ovmrun::job_outcome changed = ovmrun::run_main_job(options, nullptr);
    expect_came_back(changed);
    const ovmrun::panel_figures &p = changed.panel;
    EXPECT_EQ(ASE_OK, p.control_panel);
    EXPECT_TRUE(p.window);
    EXPECT_TRUE(p.clicked);
    EXPECT_TRUE(p.reset) << problems_of(changed);
    EXPECT_LE(p.click_time, p.reset_time);
    EXPECT_LT(p.reset_time, p.resumed_time);
    EXPECT_EQ(256u, p.buffer_frames_after);
    EXPECT_EQ(3u, p.stored_index);
    EXPECT_TRUE(p.messages.empty());
    EXPECT_TRUE(p.closed);
    EXPECT_EQ(256u, changed.stream.buffer_frames);
    EXPECT_EQ(256u, changed.expected_buffer_frames);
    ASSERT_EQ(2u, changed.stream.sessions.size());
    for (const ovmrun::input_loopback &in : changed.stream.loopback) {
        EXPECT_EQ(2u, in.session_latencies.size()) << "each session's audio came back on its own";
    }

    options = brief("panel_rate");
    options.panel = {ovmrun::panel_setting::rate, 96000};
    const ovmrun::job_outcome refused = ovmrun::run_main_job(options, nullptr);
    expect_came_back(refused);
    EXPECT_TRUE(refused.panel.clicked);
    EXPECT_EQ(std::vector<std::string>{ovmrun::device_in_use_text}, refused.panel.messages);
    EXPECT_FALSE(refused.panel.reset);
    EXPECT_EQ(48000u, refused.panel.stored_rate);
    EXPECT_EQ(48000u, refused.stream.rate);
    EXPECT_EQ(0u, refused.stream.resets);
    EXPECT_TRUE(refused.panel.closed);
    std::remove(options.wav_path.c_str());
}

} // namespace
