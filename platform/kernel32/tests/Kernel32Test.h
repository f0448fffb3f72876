// The fixture of the kernel32 tests: a freshly booted machine per test, and a helper that
// waits for a condition with a generous real-time limit.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <platform/clock.h>
#include <platform/machine_state.h>
#include <chrono>
#include <functional>
#include <thread>

class Kernel32Test : public ::testing::Test {
protected:
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override
    {
        platform::clock_use_manual(false);
        platform::machine_shutdown();
    }

    // Polls condition until it holds or ten seconds of real time have passed.
    static bool eventually(const std::function<bool()> &condition)
    {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > limit) {
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    }

    // Advances the manual clock in 1 ms steps until condition holds; false after ten seconds
    // of real time.
    static bool advance_until(const std::function<bool()> &condition)
    {
        return eventually([&] {
            if (condition()) {
                return true;
            }
            platform::clock_advance(platform::ticks_per_ms);
            return false;
        });
    }
};
