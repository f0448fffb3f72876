// The fixture of the kernel executive's tests: a booted machine per test, and a failure when a
// test leaves the thread at a raised IRQL, holds a spin lock or leaks pool.
#pragma once
#include <gtest/gtest.h>
#include <wdm.h>
#include <platform/clock.h>
#include <platform/machine_state.h>
#include <platform/pool.h>
#include <platform/verifier.h>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace kernel_test {

// A pool tag as it reads in memory: tag("Abcd") shows as "Abcd" in a pool dump.
constexpr ULONG tag(const char (&text)[5])
{
    return (ULONG)(unsigned char)text[0] | (ULONG)(unsigned char)text[1] << 8 |
           (ULONG)(unsigned char)text[2] << 16 | (ULONG)(unsigned char)text[3] << 24;
}

// Waits, on the real clock, until done() holds; false after the limit.
inline bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Advances the manual clock by step until done() holds (a waiter on another thread may take
// its relative deadline from any of the steps); false after the real-time limit.
inline bool advance_until(const std::function<bool()> &done, LONGLONG step)
{
    return eventually([&] {
        if (done()) {
            return true;
        }
        platform::clock_advance(step);
        return false;
    });
}

inline std::string this_executable()
{
    char path[PATH_MAX];
    return realpath("/proc/self/exe", path) != nullptr ? std::string(path) : std::string();
}

inline LARGE_INTEGER relative_ms(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * platform::ticks_per_ms;
    return t;
}

struct KernelTest : ::testing::Test {
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override
    {
        std::string why;
        EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
        EXPECT_EQ(0u, platform::pool_outstanding_blocks()) << platform::pool_leak_report("");
        platform::machine_shutdown();
    }
};

} // namespace kernel_test
