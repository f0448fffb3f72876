// The trace macros over a module's provider, built once against the user-mode library and
// once against the kernel-mode library: registration counting, enablement by level and flags
// as sessions set it, and no formatting (not even argument evaluation) while a trace is off.
#if defined(OVM_TRACE_KERNEL_MODE)
#include <KernelTrace.h>
#else
#include <UserTrace.h>
#endif
#include <gtest/gtest.h>
#include <platform/trace.h>
#include <string>

namespace {

constexpr GUID TestProvider = {0x3C1B55E2, 0x0A4D, 0x4F7E, {0x9B, 0x61, 0x2E, 0x70, 0x5D, 0x13, 0xC8, 0x44}};

class TraceMacroTests : public ::testing::Test {
protected:
    void SetUp() override { TraceStart(&TestProvider); }
    void TearDown() override
    {
        while (g_TraceControl.Starts > 0) {
            TraceStop();
        }
        EXPECT_EQ(0u, platform::trace_provider(TestProvider).live);
    }

    // Traces once at each level with flag; counts the argument evaluations per level.
    void TraceEveryLevel(ULONG flag, int evaluations[6])
    {
        TraceEvents(TRACE_LEVEL_ERROR, flag, "error %d", ++evaluations[TRACE_LEVEL_ERROR]);
        TraceEvents(TRACE_LEVEL_WARNING, flag, "warning %d", ++evaluations[TRACE_LEVEL_WARNING]);
        TraceEvents(TRACE_LEVEL_INFORMATION, flag, "information %d", ++evaluations[TRACE_LEVEL_INFORMATION]);
        TraceEvents(TRACE_LEVEL_VERBOSE, flag, "verbose %d", ++evaluations[TRACE_LEVEL_VERBOSE]);
    }
};

TEST_F(TraceMacroTests, OffProviderEvaluatesNoArgument)
{
    int evaluations[6] = {};
    TraceEveryLevel(TRACE_FLAG_STREAM, evaluations);
    for (int level = TRACE_LEVEL_ERROR; level <= TRACE_LEVEL_VERBOSE; ++level) {
        EXPECT_EQ(0, evaluations[level]) << "level " << level;
    }
    EXPECT_FALSE(TraceEnabled(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL));
}

TEST_F(TraceMacroTests, SessionTakesItsLevelAndBelowAndItsFlagsOnly)
{
    struct Case {
        UCHAR sessionLevel;
        ULONGLONG sessionFlags;
        ULONG traceFlag;
        int expected[6]; // evaluations and records per trace level
    };
    const Case cases[] = {
        {TRACE_LEVEL_WARNING, 0, TRACE_FLAG_DEVICE, {0, 0, 1, 1, 0, 0}},
        {TRACE_LEVEL_VERBOSE, 0, TRACE_FLAG_STREAM, {0, 0, 1, 1, 1, 1}},
        {TRACE_LEVEL_ERROR, 0, TRACE_FLAG_GENERAL, {0, 0, 1, 0, 0, 0}},
        {TRACE_LEVEL_VERBOSE, TRACE_FLAG_DEVICE | TRACE_FLAG_GENERAL, TRACE_FLAG_DEVICE, {0, 0, 1, 1, 1, 1}},
        {TRACE_LEVEL_VERBOSE, TRACE_FLAG_DEVICE, TRACE_FLAG_STREAM, {0, 0, 0, 0, 0, 0}},
        {TRACE_LEVEL_NONE, 0, TRACE_FLAG_SETTINGS, {0, 0, 1, 1, 1, 1}}, // level 0: every level
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("session level " + std::to_string(c.sessionLevel) + " flags " + std::to_string(c.sessionFlags) +
                     ", trace flag " + std::to_string(c.traceFlag));
        platform::trace_capture capture(&TestProvider, c.sessionLevel, c.sessionFlags);
        int evaluations[6] = {};
        TraceEveryLevel(c.traceFlag, evaluations);
        int records[6] = {};
        for (const platform::trace_record &record : capture.records()) {
            ASSERT_LE(record.level, TRACE_LEVEL_VERBOSE);
            records[record.level] += 1;
            EXPECT_EQ(c.traceFlag, record.keyword);
            EXPECT_FALSE(record.function.empty());
        }
        for (int level = TRACE_LEVEL_ERROR; level <= TRACE_LEVEL_VERBOSE; ++level) {
            EXPECT_EQ(c.expected[level], evaluations[level]) << "evaluations at level " << level;
            EXPECT_EQ(c.expected[level], records[level]) << "records at level " << level;
        }
    }
    int evaluations[6] = {};
    TraceEveryLevel(TRACE_FLAG_GENERAL, evaluations);
    EXPECT_EQ(0, evaluations[TRACE_LEVEL_ERROR]) << "the provider is off again once the sessions end";
}

TEST_F(TraceMacroTests, StartsNestAndTheLastStopUnregisters)
{
    const platform::trace_provider_state first = platform::trace_provider(TestProvider);
    EXPECT_EQ(1u, first.live);
    TraceStart(&TestProvider);
    EXPECT_EQ(first.registrations, platform::trace_provider(TestProvider).registrations);
    platform::trace_capture capture(&TestProvider, TRACE_LEVEL_ERROR);
    TraceStop();
    EXPECT_EQ(1u, platform::trace_provider(TestProvider).live);
    EXPECT_TRUE(TraceEnabled(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL));
    TraceStop();
    EXPECT_EQ(0u, platform::trace_provider(TestProvider).live);
    EXPECT_FALSE(TraceEnabled(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL)) << "off while the capture still runs";
    TraceStop();
    EXPECT_EQ(0, g_TraceControl.Starts);
    int evaluations[6] = {};
    TraceEveryLevel(TRACE_FLAG_GENERAL, evaluations);
    EXPECT_EQ(0, evaluations[TRACE_LEVEL_ERROR]);
    EXPECT_TRUE(capture.records().empty());
}

TEST_F(TraceMacroTests, ProviderStartedAfterTheSessionIsEnabledAtOnce)
{
    TraceStop();
    platform::trace_capture capture(&TestProvider, TRACE_LEVEL_INFORMATION);
    TraceStart(&TestProvider);
    EXPECT_TRUE(TraceEnabled(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL));
    EXPECT_FALSE(TraceEnabled(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%s", "started");
    EXPECT_EQ(1u, capture.records().size());
}

TEST_F(TraceMacroTests, TextLongerThanTheBufferIsCutNotOverrun)
{
    platform::trace_capture capture(&TestProvider);
    const std::string longText(3 * TRACE_TEXT_CHARS, 'x');
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s|%s", longText.c_str(), longText.c_str());
    const auto records = capture.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ((size_t)TRACE_TEXT_CHARS - 1, records[0].function.size() + 2 + records[0].text.size());
}

} // namespace
