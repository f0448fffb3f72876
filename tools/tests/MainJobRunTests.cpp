// Short runs of the main job's function end to end: the package installed on a fresh machine,
// the signal streamed through the ASIO driver (and, as a cross-check, through the device
// channel with a drifting device clock), and everything the report rests on checked.
#include <gtest/gtest.h>
#include <cmath>
#include <fstream>
#include <iterator>
#include "main_job.h"
#include "run_report.h"

namespace {

uint32_t le32(const std::vector<uint8_t> &b, size_t at)
{
    return b.at(at) | (uint32_t)b.at(at + 1) << 8 | (uint32_t)b.at(at + 2) << 16 | (uint32_t)b.at(at + 3) << 24;
}

std::string problems_of(const ovmrun::job_outcome &outcome)
{
    std::string text;
    for (const std::string &p : outcome.problems) {
        text += "\n  " + p;
    }
    for (const std::string &p : outcome.not_run) {
        text += "\n  not run: " + p;
    }
    return text;
}

void expect_clean_run(const ovmrun::run_options &options, uint32_t buffer_frames)
{
    std::remove(options.wav_path.c_str());
    const ovmrun::job_outcome outcome = ovmrun::run_main_job(options, nullptr);
    EXPECT_EQ(ovmrun::exit_clean, outcome.exit_code) << problems_of(outcome);
    EXPECT_TRUE(outcome.problems.empty());
    EXPECT_TRUE(outcome.not_run.empty());
    EXPECT_TRUE(outcome.driver_started);
    EXPECT_TRUE(outcome.asio_registered);

    const ovmrun::stream_result &s = outcome.stream;
    EXPECT_EQ(options.rate, s.rate);
    EXPECT_EQ(buffer_frames, s.buffer_frames);
    EXPECT_EQ(buffer_frames, outcome.expected_buffer_frames);
    EXPECT_GE(s.buffer_switches, s.periods_wanted);
    EXPECT_GE(s.periods_wanted, (uint64_t)(options.seconds * options.rate / buffer_frames));
    EXPECT_EQ(0u, s.drop_outs);
    EXPECT_EQ(0u, s.resets);
    EXPECT_GT(s.input_latency, 0);
    EXPECT_GT(s.output_latency, 0);
    ASSERT_GT(s.inputs, 0u);
    ASSERT_EQ(s.inputs, s.loopback.size());
    for (const ovmrun::input_loopback &in : s.loopback) {
        SCOPED_TRACE(in.name);
        EXPECT_TRUE(in.found);
        EXPECT_EQ(0u, in.mismatches);
        EXPECT_GT(in.latency_frames, 0);
        EXPECT_GT(in.frames_checked, s.buffer_frames);
    }

    const ovmrun::device_figures &d = outcome.device;
    const double nominal = options.rate * (1.0 + options.drift_ppm / 1e6);
    EXPECT_TRUE(d.feedback_endpoint);
    EXPECT_NEAR(nominal, d.feedback_rate, 0.2) << "16.16 feedback resolves 0.12 Hz at high speed";
    EXPECT_EQ(0u, d.render_underruns);
    EXPECT_EQ(0u, d.render_overflows);

    ASSERT_TRUE(outcome.wav.ok) << outcome.wav.error;
    std::ifstream in(options.wav_path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(file.size(), 68u);
    EXPECT_EQ(s.inputs, (uint32_t)(file[22] | file[23] << 8));
    EXPECT_EQ(options.rate, le32(file, 24));
    const uint64_t block = (uint64_t)s.inputs * (file[34] | file[35] << 8) / 8;
    EXPECT_EQ(outcome.wav.frames * block, le32(file, file.size() >= 68 && file[20] == 0xFE ? 64 : 40));
    std::remove(options.wav_path.c_str());
}

TEST(MainJobRun, StreamsThroughTheAsioDriverBitExactWithTheIndexBufferSize)
{
    ovmrun::run_options options;
    options.seconds = 1.0;
    options.wav_path = ::testing::TempDir() + "ovmrun_job_asio.wav";
    expect_clean_run(options, 512);
}

TEST(MainJobRun, StreamsThroughTheDeviceChannelAtAnotherRateWithADriftingClock)
{
    ovmrun::run_options options;
    options.rate = 96000;
    options.buffer_index = 3;
    options.drift_ppm = 300;
    options.seconds = 1.0;
    options.path = ovmrun::stream_path::channel;
    options.wav_path = ::testing::TempDir() + "ovmrun_job_channel.wav";
    expect_clean_run(options, 512);
}

} // namespace
