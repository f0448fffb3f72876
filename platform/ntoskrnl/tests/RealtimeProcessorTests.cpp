// The shared real-time processor: binding threads to it and its polling idle loop.
#include <gtest/gtest.h>
#include <platform/dispatcher.h>
#include <platform/realtime_processor.h>
#include <platform/thread.h>
#include <sched.h>
#include <chrono>
#include <thread>

namespace {

int processors_of_this_thread()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return -1;
    }
    return CPU_COUNT(&set);
}

// Waits until the idle loop has used more than `beyond` seconds of CPU time.
bool idle_time_passes(double beyond)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (platform::realtime_processor_idle_seconds() > beyond) {
            return true;
        }
        std::this_thread::yield();
    }
    return false;
}

TEST(RealtimeProcessor, ARealTimeThreadIsBoundToOneProcessorAndGetsAllBackWhenItLeaves)
{
    const int all = processors_of_this_thread();
    if (!platform::realtime_processor_in_use()) {
        GTEST_SKIP() << "one processor, or a sanitized build: real-time threads are not bound";
    }
    int bound = 0;
    int released = 0;
    std::thread([&] {
        platform::realtime_processor_bind(pthread_self(), true);
        bound = processors_of_this_thread();
        platform::realtime_processor_bind(pthread_self(), false);
        released = processors_of_this_thread();
    }).join();
    EXPECT_EQ(bound, 1);
    EXPECT_EQ(released, all);
}

// An OS thread inherits its creator's class and processors; a thread of the machine that a
// real-time thread starts must not, or it would share the real-time processor at a priority
// nobody gave it (and spin there ahead of the threads it waits for).
TEST(RealtimeProcessor, AThreadStartedByARealTimeThreadStartsOrdinaryOnEveryProcessor)
{
    const int all = processors_of_this_thread();
    bool creator_realtime = false;
    int policy = -1;
    int processors = 0;
    std::thread([&] {
        platform::thread_run_above_all(platform::current_thread(), 1);
        creator_realtime = platform::current_thread()->realtime.load();
        platform::thread *child = platform::thread_start(
            [&] {
                policy = sched_getscheduler(0);
                processors = processors_of_this_thread();
            },
            nullptr, true);
        DISPATCHER_HEADER *header = &child->header;
        platform::dispatcher_wait(1, &header, false, nullptr, false);
        platform::thread_dereference(child);
    }).join();
    if (!creator_realtime) {
        GTEST_SKIP() << "the process may not use the real-time class";
    }
    EXPECT_EQ(policy, SCHED_OTHER);
    EXPECT_EQ(processors, all);
}

TEST(RealtimeProcessor, TheIdleLoopRunsWhileAnyHoldIsTakenAndStopsAtTheLast)
{
    if (!platform::realtime_processor_in_use()) {
        GTEST_SKIP() << "one processor, or a sanitized build: there is no idle loop";
    }
    const double before = platform::realtime_processor_idle_seconds();
    platform::realtime_processor_hold();
    platform::realtime_processor_hold();
    EXPECT_TRUE(idle_time_passes(before + 0.002));
    platform::realtime_processor_release();
    // One hold is left: the loop still runs.
    const double one_left = platform::realtime_processor_idle_seconds();
    EXPECT_TRUE(idle_time_passes(one_left + 0.002));
    platform::realtime_processor_release();
    // The last release joined the loop: its time no longer moves.
    const double stopped = platform::realtime_processor_idle_seconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(platform::realtime_processor_idle_seconds(), stopped);
    // A release without a hold changes nothing.
    platform::realtime_processor_release();
    EXPECT_EQ(platform::realtime_processor_idle_seconds(), stopped);
}

} // namespace
