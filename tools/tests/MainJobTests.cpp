// The main job's function in-process: a rate the device lacks is refused before anything
// runs, and a short run installs the package and streams its signal back bit-exact.
#include <gtest/gtest.h>
#include <fstream>
#include "main_job.h"

namespace {

std::string temp_wav(const char *name)
{
    return ::testing::TempDir() + "ovmrun_job_" + name + ".wav";
}

TEST(MainJob, ARateTheDeviceLacksIsRefusedBeforeAnythingRuns)
{
    ovmrun::run_options options;
    options.rate = 32000;
    options.wav_path = temp_wav("refused");
    std::remove(options.wav_path.c_str());
    const ovmrun::job_outcome outcome = ovmrun::run_main_job(options, nullptr);
    EXPECT_EQ(ovmrun::exit_usage, outcome.exit_code);
    ASSERT_EQ(1u, outcome.problems.size());
    EXPECT_NE(std::string::npos, outcome.problems[0].find("32000"));
    EXPECT_NE(std::string::npos, outcome.problems[0].find("44100"));
    EXPECT_FALSE(outcome.driver_started);
    EXPECT_FALSE(outcome.asio_registered);
    EXPECT_EQ(0u, outcome.stream.buffer_switches);
    EXPECT_FALSE(std::ifstream(options.wav_path).good());
}

} // namespace
