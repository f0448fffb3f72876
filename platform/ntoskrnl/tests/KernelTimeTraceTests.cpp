// Time sources, the reported Windows version and the tracing stand-in.
#include "KernelTestFixture.h"
#include <evntrace.h>
#include <platform/kernel_version.h>
#include <platform/trace.h>

using namespace kernel_test;

namespace {

struct KernelTimeTests : KernelTest {};
struct TraceTests : KernelTest {};

const std::string test_module = [] {
    std::string path = this_executable();
    path.erase(0, path.find_last_of('/') + 1);
    return path.substr(0, path.find('.'));
}();

} // namespace

TEST_F(KernelTimeTests, EveryTimeSourceFollowsTheManualClock)
{
    platform::clock_use_manual(true);
    LARGE_INTEGER frequency{};
    const LARGE_INTEGER counter1 = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(10000000, frequency.QuadPart);
    LARGE_INTEGER system1;
    KeQuerySystemTime(&system1);
    const ULONGLONG interrupt1 = KeQueryInterruptTime();
    LARGE_INTEGER ticks1;
    KeQueryTickCount(&ticks1);

    platform::clock_advance(platform::ticks_per_second);

    EXPECT_EQ(counter1.QuadPart + 10000000, KeQueryPerformanceCounter(nullptr).QuadPart);
    LARGE_INTEGER system2;
    KeQuerySystemTimePrecise(&system2);
    EXPECT_EQ(system1.QuadPart + platform::ticks_per_second, system2.QuadPart);
    EXPECT_EQ(interrupt1 + platform::ticks_per_second, KeQueryInterruptTime());
    LARGE_INTEGER ticks2;
    KeQueryTickCount(&ticks2);
    EXPECT_EQ(64, ticks2.QuadPart - ticks1.QuadPart) << "one second is 64 ticks of 15.625 ms";
    EXPECT_EQ(156250u, KeQueryTimeIncrement());
}

TEST_F(KernelTimeTests, NtDdiVersionIsSwitchableAndResetAtBoot)
{
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN8));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10));
    platform::set_ntddi_version(NTDDI_WIN7);
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(0x06020000));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN7));
    RTL_OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    EXPECT_EQ(STATUS_SUCCESS, RtlGetVersion(&info));
    EXPECT_EQ(6u, info.dwMajorVersion);
    EXPECT_EQ(1u, info.dwMinorVersion);
    platform::machine_shutdown();
    platform::machine_boot();
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(0x06020000));
    EXPECT_EQ(STATUS_SUCCESS, RtlGetVersion(&info));
    EXPECT_EQ(10u, info.dwMajorVersion);
}

TEST_F(TraceTests, CaptureKeepsWhatTheModuleControlPasses)
{
    platform::trace_set_control(test_module, TRACE_LEVEL_WARNING, 0x3);
    platform::trace_capture_begin();
    DoTraceLevelMessage(TRACE_LEVEL_ERROR, 0x1, "rate %lu on %ws", (ULONG)48000, L"Wave");
    DoTraceLevelMessage(TRACE_LEVEL_VERBOSE, 0x1, "too verbose");
    DoTraceLevelMessage(TRACE_LEVEL_WARNING, 0x4, "flag not enabled");
    DoTraceLevelMessage(TRACE_LEVEL_WARNING, 0x2, "no arguments");
    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL, "dbg %S\n", L"wide");
    KdPrint(("information is above the warning level"));
    const auto records = platform::trace_capture_end();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(test_module, records[0].module);
    EXPECT_EQ(TRACE_LEVEL_ERROR, records[0].level);
    EXPECT_NE(std::string::npos, records[0].text.find("rate 48000 on Wave"));
    EXPECT_NE(std::string::npos, records[1].text.find("no arguments"));
    EXPECT_EQ("dbg wide\n", records[2].text);
}

TEST_F(TraceTests, BootRestoresTheDefaultControls)
{
    platform::trace_set_control(test_module, TRACE_LEVEL_VERBOSE, 0xFFFFFFFF);
    platform::machine_shutdown();
    platform::machine_boot();
    platform::trace_capture_begin();
    DoTraceLevelMessage(TRACE_LEVEL_VERBOSE, 0x1, "hidden by default");
    DoTraceLevelMessage(TRACE_LEVEL_ERROR, 0x1, "errors pass by default");
    EXPECT_EQ(1u, platform::trace_capture_end().size());
}
