// The machine's driver loader: DriverEntry and DriverUnload of a real module, a request through
// the I/O manager to it, and the unload checks that catch what a driver leaves behind.
#include <gtest/gtest.h>
#include <wdm.h>
#include <cstring>
#include <optional>
#include <platform/pool.h>
#include <platform/user_io.h>
#include <sim/machine.h>
#include "TestDriverProtocol.h"

namespace {

TEST(MachineTests, LoadsTheTestDriverRunsItsFacilitiesAndUnloadsCleanly)
{
    sim::machine machine;
    ASSERT_EQ(STATUS_SUCCESS, machine.load_driver("ovmtestdrv"));
    DRIVER_OBJECT *driver = machine.driver("ovmtestdrv");
    ASSERT_NE(nullptr, driver);
    EXPECT_NE(nullptr, driver->DriverUnload);
    EXPECT_EQ(std::wstring(L"\\Driver\\ovmtestdrv"),
              std::wstring(driver->DriverName.Buffer, driver->DriverName.Length / sizeof(WCHAR)));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, machine.load_driver("ovmtestdrv"));

    platform::user_file *file = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, platform::user_io_open(OVMTEST_USER_PATH, GENERIC_READ | GENERIC_WRITE, &file));
    OVMTEST_REPORT report;
    std::memset(&report, 0xCC, sizeof(report));
    std::optional<std::pair<NTSTATUS, ULONG_PTR>> result;
    EXPECT_EQ(STATUS_SUCCESS, platform::user_io_ioctl(file, IOCTL_OVMTEST_EXERCISE, nullptr, 0, &report,
                                                      sizeof(report), [&](NTSTATUS s, ULONG_PTR i) {
                                                          result.emplace(s, i);
                                                      }));
    platform::user_io_close(file);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(STATUS_SUCCESS, result->first);
    EXPECT_EQ(sizeof(report), result->second);
    EXPECT_EQ(STATUS_SUCCESS, report.LowerStatus);
    EXPECT_EQ(1u, report.CompletionRoutineRuns);
    EXPECT_EQ(1u, report.DpcRuns);
    EXPECT_EQ((ULONG)DISPATCH_LEVEL, report.DpcIrql);
    EXPECT_EQ(1u, report.TimerDpcRuns);
    EXPECT_EQ(1u, report.WorkItemRuns);
    EXPECT_EQ((ULONG)PASSIVE_LEVEL, report.WorkItemIrql);
    EXPECT_EQ(1u, report.ThreadRuns);
    EXPECT_EQ((ULONG)PASSIVE_LEVEL, report.ThreadIrql);
    EXPECT_EQ(1u, report.CreateCount);

    EXPECT_EQ(STATUS_SUCCESS, machine.unload_driver("ovmtestdrv"));
    EXPECT_EQ(nullptr, machine.driver("ovmtestdrv"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, machine.unload_driver("ovmtestdrv"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, platform::user_io_open(OVMTEST_USER_PATH, GENERIC_READ, &file));
}

TEST(MachineTests, ReloadAfterUnloadStartsFresh)
{
    sim::machine machine;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(STATUS_SUCCESS, machine.load_driver("ovmtestdrv"));
        ASSERT_EQ(STATUS_SUCCESS, machine.unload_driver("ovmtestdrv"));
    }
}

TEST(MachineTests, UnknownModuleIsNotFound)
{
    sim::machine machine;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, machine.load_driver("no_such_driver"));
    EXPECT_EQ(nullptr, machine.driver("no_such_driver"));
}

TEST(MachineDeathTests, LeakingDriverIsReportedWithItsTagAtUnload)
{
    EXPECT_DEATH(
        {
            sim::machine machine;
            machine.load_driver("ovmleakdrv");
            machine.unload_driver("ovmleakdrv");
        },
        "POOL_LEAK_AT_UNLOAD.*Leak.*48");
}

TEST(MachineDeathTests, MachineShutdownChecksTheDriversItUnloads)
{
    EXPECT_DEATH(
        {
            sim::machine machine;
            machine.load_driver("ovmleakdrv");
        },
        "POOL_LEAK_AT_UNLOAD");
}

} // namespace
