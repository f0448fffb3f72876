// The shared real-time processor and its polling idle loop.
#include <platform/realtime_processor.h>

#include <sched.h>
#include <time.h>
#include <unistd.h>
#include <atomic>
#include <mutex>
#include <thread>

namespace platform {
namespace {

struct shared_processor {
    cpu_set_t all;   // the processors the process may use
    int chosen = -1; // -1: real-time threads are not bound
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// Processes that run side by side pick different processors where they can. A sanitizer's
// runtime guards its own state with spin locks that only yield: a real-time thread spinning on
// one while a lower real-time thread holds it on the same processor would never let the holder
// run. A sanitized build therefore leaves real-time threads free to run on any processor.
const shared_processor &processor()
{
    static const shared_processor chosen = [] {
        shared_processor p{};
        CPU_ZERO(&p.all);
        if (sanitized || sched_getaffinity(0, sizeof p.all, &p.all) != 0) {
            return p;
        }
        const int count = CPU_COUNT(&p.all);
        if (count < 2) {
            return p;
        }
        int pick = static_cast<int>(getpid() % count);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &p.all) && pick-- == 0) {
                p.chosen = cpu;
                break;
            }
        }
        return p;
    }();
    return chosen;
}

struct idle_loop {
    std::mutex lock;
    unsigned holds = 0;
    std::thread poller;
    std::atomic<bool> stop{false};
    std::atomic<clockid_t> clock{0};
    std::atomic<bool> clock_valid{false};
    double finished_seconds = 0; // CPU time of pollers that have ended
};

idle_loop &loop()
{
    static auto *l = new idle_loop();
    return *l;
}

double thread_clock_seconds(clockid_t clock)
{
    timespec used{};
    if (clock_gettime(clock, &used) != 0) {
        return 0;
    }
    return (double)used.tv_sec + (double)used.tv_nsec / 1e9;
}

void poll_until_stopped(idle_loop &l, int cpu)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
    clockid_t clock{};
    if (pthread_getcpuclockid(pthread_self(), &clock) == 0) {
        l.clock.store(clock);
        l.clock_valid.store(true);
    }
    // Any runnable thread on the processor preempts the idle class at once.
    while (!l.stop.load(std::memory_order_relaxed)) {
        for (int i = 0; i < 64; ++i) {
            __builtin_ia32_pause();
        }
    }
    l.clock_valid.store(false);
}

} // namespace

void realtime_processor_bind(pthread_t thread, bool realtime)
{
    const shared_processor &p = processor();
    if (p.chosen < 0) {
        return;
    }
    if (realtime) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(p.chosen, &one);
        pthread_setaffinity_np(thread, sizeof one, &one);
    } else {
        pthread_setaffinity_np(thread, sizeof p.all, &p.all);
    }
}

bool realtime_processor_in_use()
{
    return processor().chosen >= 0;
}

void realtime_processor_leave_inherited()
{
    if (sched_getscheduler(0) == SCHED_OTHER) {
        return;
    }
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
    realtime_processor_bind(pthread_self(), false);
}

void realtime_processor_hold()
{
    const shared_processor &p = processor();
    if (p.chosen < 0) {
        return;
    }
    idle_loop &l = loop();
    std::lock_guard<std::mutex> guard(l.lock);
    if (l.holds++ == 0) {
        l.stop.store(false);
        l.poller = std::thread([&l, cpu = p.chosen] { poll_until_stopped(l, cpu); });
    }
}

void realtime_processor_release()
{
    if (processor().chosen < 0) {
        return;
    }
    idle_loop &l = loop();
    std::lock_guard<std::mutex> guard(l.lock);
    if (l.holds == 0 || --l.holds != 0) {
        return;
    }
    // The poller's CPU time is read before it ends, while its clock still exists.
    if (l.clock_valid.load()) {
        l.finished_seconds += thread_clock_seconds(l.clock.load());
    }
    l.stop.store(true);
    l.poller.join();
}

double realtime_processor_idle_seconds()
{
    idle_loop &l = loop();
    std::lock_guard<std::mutex> guard(l.lock);
    double seconds = l.finished_seconds;
    if (l.holds != 0 && l.clock_valid.load()) {
        seconds += thread_clock_seconds(l.clock.load());
    }
    return seconds;
}

} // namespace platform
