// The standard ASIO driver's performance log: slots handed out without a lock, a fixed
// capacity, and a file that is written only where its folder exists.
#include <gtest/gtest.h>
#include <platform/device_install.h>
#include <sim/machine.h>
#include "PerfLog.h"
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(DriverPerfLog, RecordsInOrderAndStopsAtItsCapacity)
{
    PerfLogReset();
    EXPECT_EQ(0u, PerfLogCount());
    EXPECT_EQ(nullptr, PerfLogAt(0));
    PerfLogRecord(PERF_EVENT_START);
    PerfLogRecord(PERF_EVENT_ENGINE_PERIOD);
    ASSERT_EQ(2u, PerfLogCount());
    EXPECT_EQ(PERF_EVENT_START, PerfLogAt(0)->event);
    EXPECT_EQ(PERF_EVENT_ENGINE_PERIOD, PerfLogAt(1)->event);
    EXPECT_LE(PerfLogAt(0)->counter, PerfLogAt(1)->counter);
    EXPECT_EQ(nullptr, PerfLogAt(2));

    for (DWORD i = 0; i < PERF_LOG_CAPACITY + 10; ++i) {
        PerfLogRecord(PERF_EVENT_RENDER_PERIOD);
    }
    EXPECT_EQ(PERF_LOG_CAPACITY, PerfLogCount());
    EXPECT_EQ(PERF_EVENT_RENDER_PERIOD, PerfLogAt(PERF_LOG_CAPACITY - 1)->event);
    EXPECT_EQ(nullptr, PerfLogAt(PERF_LOG_CAPACITY));
    PerfLogReset();
    EXPECT_EQ(0u, PerfLogCount());
}

TEST(DriverPerfLog, ConcurrentRecordersEachGetTheirOwnSlot)
{
    PerfLogReset();
    std::vector<std::thread> threads;
    for (DWORD t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 1000; ++i) {
                PerfLogRecord(t);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    ASSERT_EQ(4000u, PerfLogCount());
    DWORD perThread[4] = {};
    for (DWORD i = 0; i < 4000; ++i) {
        const DWORD event = PerfLogAt(i)->event;
        ASSERT_LT(event, 4u);
        ++perThread[event];
    }
    for (DWORD count : perThread) {
        EXPECT_EQ(1000u, count);
    }
}

TEST(DriverPerfLog, WritingWithoutTheLogFolderCreatesNothing)
{
    sim::machine machine;
    PerfLogReset();
    PerfLogRecord(PERF_EVENT_STOP);
    EXPECT_FALSE(PerfLogWrite(PERF_LOG_PATH));
    EXPECT_EQ(1u, PerfLogCount());
    EXPECT_FALSE(platform::file_store_contents(PERF_LOG_PATH, nullptr));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\_LOG"));
}

// A header line, then per entry its counter, the microseconds since the first entry and its
// event, tab-separated, each line ending in a newline; an older, longer log is replaced.
TEST(DriverPerfLog, WritingReplacesTheFileWithOneLinePerEntry)
{
    sim::machine machine;
    platform::file_store_add(L"C:\\_LOG", FILE_ATTRIBUTE_DIRECTORY);
    PerfLogReset();
    for (int i = 0; i < 100; ++i) {
        PerfLogRecord(PERF_EVENT_RENDER_PERIOD);
    }
    ASSERT_TRUE(PerfLogWrite(PERF_LOG_PATH));
    PerfLogReset();
    for (DWORD event : {PERF_EVENT_START, PERF_EVENT_ENGINE_PERIOD, PERF_EVENT_RENDER_PERIOD, PERF_EVENT_STOP}) {
        PerfLogRecord(event);
    }
    ASSERT_TRUE(PerfLogWrite(PERF_LOG_PATH));
    LARGE_INTEGER frequency = {};
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    ASSERT_NE(0, frequency.QuadPart);
    std::string expected = "-- log --\n";
    for (DWORD i = 0; i < PerfLogCount(); ++i) {
        const PerfLogEntry *entry = PerfLogAt(i);
        const LONGLONG micros = (entry->counter - PerfLogAt(0)->counter) * 1000 * 1000 / frequency.QuadPart;
        expected += std::to_string(entry->counter) + "\t" + std::to_string((DWORD)micros) + "\t" +
                    std::to_string(entry->event) + "\n";
    }
    std::string written;
    ASSERT_TRUE(platform::file_store_contents(PERF_LOG_PATH, &written));
    EXPECT_EQ(expected, written);
}

} // namespace
