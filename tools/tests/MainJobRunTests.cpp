// Short runs of the main job's function end to end: the package installed on a fresh machine,
// the signal streamed through the ASIO driver (and through the device channel with a drifting
// device clock), and what the report rests on checked. The runs are paced (the machine clock
// and the bus wait for every thread of the machine), so nothing is late: a run is clean, every
// frame back in sequence at one latency, and the verdict says so.
#include <gtest/gtest.h>
#include <fstream>
#include <iterator>
#include "main_job.h"

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

// One input of a paced run: its signal came back from the host's first frame on, every frame
// in sequence, at the run's one latency.
void expect_clean(const ovmrun::input_loopback &in, int64_t latency, const ovmrun::job_outcome &outcome)
{
    EXPECT_TRUE(in.found) << problems_of(outcome);
    EXPECT_GT(in.latency_frames, 0);
    EXPECT_EQ(latency, in.latency_frames);
    EXPECT_EQ(0u, in.mismatches) << "first at frame " << in.first_mismatch << problems_of(outcome);
}

void expect_streamed_run(ovmrun::run_options options, uint32_t buffer_frames)
{
    // One stereo format in 32-bit containers each way.
    options.device_formats = {{2, 4, 24}};
    options.paced = true;
    std::remove(options.wav_path.c_str());
    const ovmrun::job_outcome outcome = ovmrun::run_main_job(options, nullptr);
    EXPECT_EQ(ovmrun::exit_clean, outcome.exit_code) << problems_of(outcome);
    EXPECT_TRUE(outcome.not_run.empty()) << problems_of(outcome);
    EXPECT_TRUE(outcome.driver_started);
    EXPECT_TRUE(outcome.asio_registered);

    const ovmrun::stream_result &s = outcome.stream;
    ASSERT_TRUE(s.failure.empty()) << s.failure;
    EXPECT_EQ(options.rate, s.rate);
    EXPECT_EQ(buffer_frames, s.buffer_frames);
    EXPECT_EQ(buffer_frames, outcome.expected_buffer_frames);
    EXPECT_EQ(s.periods_wanted, s.buffer_switches);
    EXPECT_GE(s.periods_wanted, (uint64_t)(options.seconds * options.rate / buffer_frames));
    EXPECT_EQ(0u, s.resets);
    EXPECT_EQ(0u, s.drop_outs);
    EXPECT_EQ(ASIOSTInt32LSB, s.sample_type);
    EXPECT_GT(s.input_latency, 0);
    EXPECT_GT(s.output_latency, 0);
    ASSERT_EQ(2u, s.inputs);
    ASSERT_EQ(2u, s.loopback.size());
    for (const ovmrun::input_loopback &in : s.loopback) {
        SCOPED_TRACE(in.name);
        expect_clean(in, s.loopback[0].latency_frames, outcome);
    }
    // Without a gap the switches carry the device clock's audio, no more and no less.
    const double nominal = options.rate * (1.0 + options.drift_ppm / 1e6);
    EXPECT_NEAR(nominal, s.paced_rate(), nominal * 0.02);

    const ovmrun::device_figures &d = outcome.device;
    EXPECT_TRUE(d.feedback_endpoint);
    EXPECT_NEAR(options.rate * (1.0 + options.drift_ppm / 1e6), d.feedback_rate, 0.2)
        << "16.16 feedback resolves 0.12 Hz at high speed";
    EXPECT_GT(d.frames_played, 0u);

    ASSERT_TRUE(outcome.wav.ok) << outcome.wav.error;
    std::ifstream in(options.wav_path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(file.size(), 68u);
    EXPECT_EQ(0xFFFEu, (uint32_t)(file[20] | file[21] << 8));
    EXPECT_EQ(2u, (uint32_t)(file[22] | file[23] << 8));
    EXPECT_EQ(options.rate, le32(file, 24));
    EXPECT_EQ(32u, (uint32_t)(file[34] | file[35] << 8));
    EXPECT_EQ(outcome.wav.frames * 8, le32(file, 64));
    EXPECT_EQ(68 + outcome.wav.frames * 8, file.size());
    EXPECT_GE(outcome.wav.frames, s.periods_wanted * s.buffer_frames);
    std::remove(options.wav_path.c_str());
}

TEST(MainJobRun, StreamsThroughTheAsioDriverWithTheIndexBufferSize)
{
    ovmrun::run_options options;
    options.seconds = 1.0;
    options.wav_path = ::testing::TempDir() + "ovmrun_job_asio.wav";
    expect_streamed_run(options, 512);
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
    expect_streamed_run(options, 512);
}

// The standard stack: the standard device under ovmlsau, the audio engine's exclusive endpoints
// over its Wave filter, and ovmlsaso at the stored size in 16-bit samples.
TEST(MainJobRun, StreamsThroughTheStandardStack)
{
    ovmrun::run_options options;
    options.stack = ovmrun::device_stack::standard;
    options.rate = 44100;
    options.buffer_frames = 256;
    options.seconds = 1.0;
    options.paced = true;
    options.wav_path = ::testing::TempDir() + "ovmrun_job_standard.wav";
    std::remove(options.wav_path.c_str());
    const ovmrun::job_outcome outcome = ovmrun::run_main_job(options, nullptr);
    EXPECT_EQ(ovmrun::exit_clean, outcome.exit_code) << problems_of(outcome);
    EXPECT_TRUE(outcome.driver_started) << problems_of(outcome);
    EXPECT_TRUE(outcome.asio_registered) << problems_of(outcome);
    const ovmrun::stream_result &s = outcome.stream;
    ASSERT_TRUE(s.failure.empty()) << s.failure;
    EXPECT_EQ(44100u, s.rate);
    EXPECT_EQ(256u, s.buffer_frames);
    EXPECT_EQ(ASIOSTInt16LSB, s.sample_type);
    EXPECT_EQ(s.periods_wanted, s.buffer_switches);
    EXPECT_EQ(0u, s.resets);
    EXPECT_EQ(0u, s.drop_outs);
    ASSERT_EQ(2u, s.loopback.size());
    for (const ovmrun::input_loopback &in : s.loopback) {
        SCOPED_TRACE(in.name);
        expect_clean(in, s.loopback[0].latency_frames, outcome);
    }
    EXPECT_GT(outcome.device.frames_played, 0u);
    ASSERT_TRUE(outcome.wav.ok) << outcome.wav.error;
    EXPECT_GE(outcome.wav.frames, s.periods_wanted * s.buffer_frames);
    std::remove(options.wav_path.c_str());
}

TEST(MainJobRun, StandardStackRefusesARateItsDeviceLacks)
{
    ovmrun::run_options options;
    options.stack = ovmrun::device_stack::standard;
    options.rate = 96000;
    const ovmrun::job_outcome outcome = ovmrun::run_main_job(options, nullptr);
    EXPECT_EQ(ovmrun::exit_usage, outcome.exit_code);
    ASSERT_EQ(1u, outcome.problems.size());
    EXPECT_NE(std::string::npos, outcome.problems[0].find("96000"));
    EXPECT_FALSE(outcome.driver_started);
}

} // namespace
