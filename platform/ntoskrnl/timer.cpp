// Kernel timers on the machine clock: one queue ordered by due time and one timer thread that
// sleeps in a dispatcher wait until the earliest due time (so a manual clock drives it),
// signals each expired timer and queues its DPC. A periodic timer stays on its grid of due
// times; after a jump of the clock it fires once and resumes at the next point of the grid.
#include <wdm.h>
#include <platform/clock.h>
#include <platform/thread.h>
#include <platform/verifier.h>
#include <map>
#include <mutex>
#include <unordered_map>
#include "kernel_internal.h"

namespace platform {
namespace {

using timer_queue = std::multimap<LONGLONG, PKTIMER>;

struct timer_state {
    std::mutex lock;
    timer_queue queue;
    std::unordered_map<PKTIMER, timer_queue::iterator> set_timers;
    thread *worker = nullptr;
    bool stopping = false;
    DISPATCHER_HEADER wake; // synchronization event that rouses the timer thread

    timer_state() { dispatcher_init(&wake, synchronization_event, 0); }
};

timer_state &state()
{
    static auto *s = new timer_state();
    return *s;
}

// Removes timer from the queue; the caller holds the lock. True when it was set.
bool remove_locked(timer_state &s, PKTIMER timer)
{
    auto it = s.set_timers.find(timer);
    if (it == s.set_timers.end()) {
        return false;
    }
    s.queue.erase(it->second);
    s.set_timers.erase(it);
    timer->Inserted = FALSE;
    return true;
}

void insert_locked(timer_state &s, PKTIMER timer, LONGLONG due)
{
    timer->DueTime.QuadPart = (ULONGLONG)due;
    timer->Inserted = TRUE;
    s.set_timers[timer] = s.queue.emplace(due, timer);
}

// The timer is signalled last: a waiter may free it as soon as it sees the signal, as it may
// on Windows once the timer has expired.
void expire_locked(timer_state &s, LONGLONG now)
{
    while (!s.queue.empty() && s.queue.begin()->first <= now) {
        PKTIMER timer = s.queue.begin()->second;
        const LONGLONG due = s.queue.begin()->first;
        remove_locked(s, timer);
        if (timer->Period > 0) {
            const LONGLONG period = (LONGLONG)timer->Period * ticks_per_ms;
            LONGLONG next = due + period;
            if (next <= now) {
                next += ((now - next) / period + 1) * period;
            }
            insert_locked(s, timer, next);
        }
        if (timer->Dpc != nullptr) {
            LARGE_INTEGER system_time;
            system_time.QuadPart = clock_system_time();
            KeInsertQueueDpc(timer->Dpc, (PVOID)(ULONG_PTR)system_time.LowPart,
                             (PVOID)(ULONG_PTR)(ULONG)system_time.HighPart);
        }
        dispatcher_signal(&timer->Header);
    }
}

void run_timers()
{
    timer_state &s = state();
    for (;;) {
        LONGLONG deadline = 0;
        bool has_deadline = false;
        {
            std::lock_guard<std::mutex> lock(s.lock);
            if (s.stopping) {
                break;
            }
            expire_locked(s, clock_now());
            if (!s.queue.empty()) {
                deadline = s.queue.begin()->first;
                has_deadline = true;
            }
        }
        DISPATCHER_HEADER *wake = &s.wake;
        dispatcher_wait(1, &wake, false, has_deadline ? &deadline : nullptr, false);
    }
}

PKTIMER checked_timer(PKTIMER timer, const char *function)
{
    if (timer == nullptr || timer->Header.Initialized != 1 ||
        (timer->Header.Type != notification_timer && timer->Header.Type != synchronization_timer)) {
        verifier_stop("TIMER_OR_DPC_INVALID", "%s on %p, which is not an initialised timer", function, (void *)timer);
    }
    return timer;
}

} // namespace

void timers_check_free(const void *begin, SIZE_T size)
{
    timer_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    const auto *first = static_cast<const char *>(begin);
    for (const auto &entry : s.set_timers) {
        const auto *timer = reinterpret_cast<const char *>(entry.first);
        if (timer >= first && timer < first + size) {
            verifier_stop("TIMER_OR_DPC_INVALID", "pool block %p freed while it holds the set timer %p", begin,
                          (const void *)timer);
        }
    }
}

void timer_shutdown()
{
    timer_state &s = state();
    thread *worker = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        s.stopping = true;
        worker = s.worker;
        s.worker = nullptr;
    }
    dispatcher_set_event(&s.wake);
    if (worker != nullptr) {
        DISPATCHER_HEADER *header = &worker->header;
        dispatcher_wait(1, &header, false, nullptr, false);
        thread_dereference(worker);
    }
    std::lock_guard<std::mutex> lock(s.lock);
    for (auto &entry : s.set_timers) {
        entry.first->Inserted = FALSE;
    }
    s.set_timers.clear();
    s.queue.clear();
    s.stopping = false;
    dispatcher_reset_event(&s.wake);
}

} // namespace platform

using namespace platform;

extern "C" {

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    if (Type != NotificationTimer && Type != SynchronizationTimer) {
        verifier_stop("TIMER_OR_DPC_INVALID", "KeInitializeTimerEx with timer type %d", (int)Type);
    }
    timer_state &s = state();
    {
        std::lock_guard<std::mutex> lock(s.lock);
        if (s.set_timers.count(Timer) != 0) {
            verifier_stop("TIMER_OR_DPC_INVALID", "KeInitializeTimer of %p while it is set", (void *)Timer);
        }
    }
    dispatcher_init(&Timer->Header, Type == NotificationTimer ? notification_timer : synchronization_timer, 0);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Period = 0;
    Timer->Inserted = FALSE;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer)
{
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    verifier_check_irql(DISPATCH_LEVEL, "KeSetTimerEx");
    checked_timer(Timer, "KeSetTimerEx");
    if (Period < 0) {
        verifier_stop("TIMER_OR_DPC_INVALID", "KeSetTimerEx of %p with the negative period %d", (void *)Timer,
                      (int)Period);
    }
    timer_state &s = state();
    BOOLEAN was_set = FALSE;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        was_set = remove_locked(s, Timer) ? TRUE : FALSE;
        dispatcher_unsignal(&Timer->Header);
        Timer->Period = Period;
        Timer->Dpc = Dpc;
        insert_locked(s, Timer, dispatcher_deadline_from_timeout(DueTime.QuadPart));
        if (s.worker == nullptr) {
            s.worker = thread_start(run_timers, nullptr, true);
        }
    }
    dispatcher_set_event(&s.wake);
    return was_set;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    verifier_check_irql(DISPATCH_LEVEL, "KeCancelTimer");
    checked_timer(Timer, "KeCancelTimer");
    timer_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    return remove_locked(s, Timer) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    checked_timer(Timer, "KeReadStateTimer");
    return dispatcher_read_state(&Timer->Header) > 0 ? TRUE : FALSE;
}

} // extern "C"
