// The main job's trace: --trace and --trace-level, the session that records every provider of
// the package while the job runs, and the first error traced in the report of a run that is
// not clean.
#include <gtest/gtest.h>
#include <windows.h>
#include <evntprov.h>
#include <platform/trace.h>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>
#include "run_options.h"
#include "trace_session.h"

namespace {

ovmrun::parse_result parse(std::vector<std::string_view> args)
{
    return ovmrun::parse_options(args);
}

TEST(MainJobTrace, TraceOptionsTakeAFileAndOneOfFourLevels)
{
    const ovmrun::parse_result defaults = parse({});
    ASSERT_TRUE(defaults.ok);
    EXPECT_TRUE(defaults.options.trace_path.empty());
    EXPECT_EQ(4, defaults.options.trace_level);
    const std::pair<std::string_view, uint8_t> levels[] = {{"error", 2}, {"warning", 3}, {"information", 4}, {"verbose", 5}};
    for (const auto &[name, level] : levels) {
        SCOPED_TRACE(name);
        const ovmrun::parse_result parsed = parse({"--trace", "t.txt", "--trace-level", name});
        ASSERT_TRUE(parsed.ok) << parsed.error;
        EXPECT_EQ("t.txt", parsed.options.trace_path);
        EXPECT_EQ(level, parsed.options.trace_level);
    }
    for (const std::vector<std::string_view> &bad : std::vector<std::vector<std::string_view>>{
             {"--trace-level", "verbose"}, {"--trace", "t.txt", "--trace-level", "loud"}, {"--trace="}, {"--trace"}}) {
        const ovmrun::parse_result parsed = parse(bad);
        EXPECT_FALSE(parsed.ok) << bad[0];
        EXPECT_FALSE(parsed.error.empty());
    }
}

TEST(MainJobTrace, TraceFileThatCannotBeWrittenRefusesTheRunBeforeAnythingBoots)
{
    ovmrun::run_options options;
    options.trace_path = "/nonexistent-folder/trace.txt";
    const ovmrun::job_outcome outcome = ovmrun::run_traced_job(options, nullptr);
    EXPECT_EQ(ovmrun::exit_usage, outcome.exit_code);
    EXPECT_EQ(1u, outcome.problems.size());
    EXPECT_FALSE(outcome.driver_started);
}

TEST(MainJobTrace, SessionKeepsTheFirstErrorOfAnyProviderAndTheFileTakesItsLevel)
{
    const std::string file = ::testing::TempDir() + "ovmrun_trace_levels.txt";
    ovmrun::run_options options;
    options.trace_path = file;
    options.trace_level = TRACE_LEVEL_WARNING;
    ovmrun::trace_session session(options);
    ASSERT_TRUE(session.error().empty()) << session.error();
    const GUID &provider = *ovmrun::package_providers()[1].control_guid;
    REGHANDLE handle = 0;
    ASSERT_EQ((ULONG)ERROR_SUCCESS, EventRegister(&provider, nullptr, nullptr, &handle));
    EventWriteString(handle, TRACE_LEVEL_INFORMATION, 1, L"Step: information");
    EventWriteString(handle, TRACE_LEVEL_WARNING, 1, L"Step: warning");
    EXPECT_TRUE(session.first_error().empty()) << "a warning is no error";
    EventWriteString(handle, TRACE_LEVEL_ERROR, 1, L"Step: the first error");
    EventWriteString(handle, TRACE_LEVEL_ERROR, 1, L"Step: a later error");
    session.stop();
    EventUnregister(handle);
    const std::string first = session.first_error();
    EXPECT_EQ(0u, first.find(platform::trace_provider(provider).module + ": Step: ")) << first;
    std::ifstream in(file);
    size_t records = 0;
    for (std::string line; std::getline(in, line);) {
        records += !line.empty() && line[0] != '#' ? 1 : 0;
    }
    EXPECT_EQ(3u, records) << "the warning and both errors";
}

TEST(MainJobTrace, RunRecordsEveryProviderThatLoadsWhileTheJobRuns)
{
    ovmrun::run_options options;
    options.seconds = 0.3;
    options.wav_path = ::testing::TempDir() + "ovmrun_trace_run.wav";
    options.trace_path = ::testing::TempDir() + "ovmrun_trace_run.txt";
    options.trace_level = TRACE_LEVEL_VERBOSE;
    const ovmrun::job_outcome outcome = ovmrun::run_traced_job(options, nullptr);
    EXPECT_NE(ovmrun::exit_usage, outcome.exit_code);
    std::ifstream in(options.trace_path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char *deliverable : {"ovmlsaau", "ovmlsacoinstaller", "ovmlsaaso"}) {
        SCOPED_TRACE(deliverable);
        EXPECT_NE(std::string::npos, all.find(std::string("# ") + deliverable + " registered "));
        EXPECT_NE(std::string::npos, all.find(std::string("# ") + deliverable + " unregistered "));
    }
}

// A job that traces through one of the package's providers, as a module of the run would.
template <int ExitCode>
ovmrun::job_outcome job_with_traces(const ovmrun::run_options &, std::FILE *)
{
    REGHANDLE handle = 0;
    EventRegister(ovmrun::package_providers()[0].control_guid, nullptr, nullptr, &handle);
    EventWriteString(handle, TRACE_LEVEL_WARNING, 1, L"Step: a warning");
    EventWriteString(handle, TRACE_LEVEL_ERROR, 1, L"Step: the first error");
    EventWriteString(handle, TRACE_LEVEL_ERROR, 1, L"Step: a later error");
    EventUnregister(handle);
    ovmrun::job_outcome outcome;
    outcome.exit_code = ExitCode;
    if (ExitCode != ovmrun::exit_clean) {
        outcome.problems.push_back("a problem of the run");
    }
    return outcome;
}

TEST(MainJobTrace, OnlyARunThatIsNotCleanNamesTheFirstErrorTracedAfterItsProblems)
{
    const ovmrun::run_options options; // no trace file: the errors are taken all the same
    const ovmrun::job_outcome unclean =
        ovmrun::run_traced_job(options, nullptr, job_with_traces<ovmrun::exit_not_clean>);
    ASSERT_EQ(2u, unclean.problems.size());
    EXPECT_EQ("a problem of the run", unclean.problems[0]);
    EXPECT_EQ("first error traced: " + platform::trace_provider(*ovmrun::package_providers()[0].control_guid).module +
                  ": Step: the first error",
              unclean.problems[1]);

    EXPECT_TRUE(ovmrun::run_traced_job(options, nullptr, job_with_traces<ovmrun::exit_clean>).problems.empty());
    EXPECT_EQ(1u, ovmrun::run_traced_job(options, nullptr, job_with_traces<ovmrun::exit_usage>).problems.size());
}

} // namespace
