// The machine clock: real time since boot, or a manual clock advanced by tests.
#include <platform/clock.h>
#include <atomic>
#include <chrono>
#include "dispatcher_lock.h"

namespace platform {
namespace {

using steady = std::chrono::steady_clock;

// 1 January 2026 in 100 ns units since 1601; the machine's wall clock starts there at boot.
constexpr LONGLONG boot_system_time = 134115552000000000LL;

std::atomic<bool> g_manual{false};
std::atomic<LONGLONG> g_manual_now{0};
std::atomic<steady::rep> g_boot{steady::now().time_since_epoch().count()};
std::atomic<LONGLONG> g_real_offset{0}; // machine time at the last switch to real time

LONGLONG real_now()
{
    const auto elapsed = steady::now().time_since_epoch() - steady::duration(g_boot.load());
    return g_real_offset.load() + std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

} // namespace

LONGLONG clock_now()
{
    return g_manual.load() ? g_manual_now.load() : real_now();
}

LONGLONG clock_system_time()
{
    return boot_system_time + clock_now();
}

void clock_use_manual(bool manual)
{
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    if (manual == g_manual.load()) {
        return;
    }
    if (manual) {
        g_manual_now.store(real_now());
        g_manual.store(true);
    } else {
        g_real_offset.store(g_manual_now.load());
        g_boot.store(steady::now().time_since_epoch().count());
        g_manual.store(false);
    }
    dispatcher_wake_all_locked();
}

bool clock_is_manual()
{
    return g_manual.load();
}

void clock_advance(LONGLONG delta_100ns)
{
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    if (g_manual.load() && delta_100ns > 0) {
        g_manual_now.fetch_add(delta_100ns);
    }
    dispatcher_wake_all_locked();
}

void clock_reset()
{
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    g_manual.store(false);
    g_manual_now.store(0);
    g_real_offset.store(0);
    g_boot.store(steady::now().time_since_epoch().count());
    dispatcher_wake_all_locked();
}

} // namespace platform
