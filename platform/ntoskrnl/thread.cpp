// Thread objects of the machine: adoption of foreign threads, start, exit and the abandonment
// of mutants that a thread still owns when it ends.
#include <platform/thread.h>

#include <pthread.h>
#include <wdm.h>
#include <sched.h>
#include <time.h>
#include <platform/kernel_handles.h>
#include <platform/realtime_processor.h>
#include <algorithm>
#include <thread>
#include "dispatcher_lock.h"

namespace platform {
namespace {

std::atomic<ULONG> g_next_id{0x104};
std::atomic<ULONG> g_running{0};

// Threads started by thread_start that have not ended; guarded by the dispatcher lock.
std::vector<thread *> &started_threads()
{
    static auto *started = new std::vector<thread *>();
    return *started;
}

// Thrown by thread_exit_current and caught by the start trampoline; it never leaves the
// platform library's own frames except through the system thread's start routine.
struct thread_exit_unwind {
    DWORD code;
};

void reference_thread_object(void *object)
{
    thread_reference(static_cast<thread *>(object));
}

void dereference_thread_object(void *object)
{
    thread_dereference(static_cast<thread *>(object));
}

// Thread objects can be referenced through ObReferenceObject like any kernel object.
const object_ops thread_object_ops = {reference_thread_object, dereference_thread_object};

thread *new_thread_object()
{
    auto *t = new thread();
    // Filled without the dispatcher lock: the object is not shared yet, and a thread may be
    // adopted by code that already holds that lock.
    t->header.Type = thread_object;
    t->header.Abandoned = 0;
    t->header.Initialized = 1;
    t->header.Reserved = 0;
    t->header.SignalState = 0;
    t->header.Limit = 0;
    t->header.RecursionCount = 0;
    t->header.OwnerThread = nullptr;
    t->id = g_next_id.fetch_add(4);
    object_register(t, &thread_object_ops);
    return t;
}

// Ends t as the OS thread leaves: hooks run, owned mutants are abandoned, waiters wake.
void end_thread(thread *t)
{
    std::vector<std::function<void()>> hooks;
    hooks.swap(t->exit_hooks);
    for (auto &hook : hooks) {
        hook();
    }
    {
        std::lock_guard<std::mutex> lock(dispatcher_lock());
        for (DISPATCHER_HEADER *m : t->owned_mutants) {
            m->OwnerThread = nullptr;
            m->RecursionCount = 0;
            m->Abandoned = 1;
            m->SignalState = 1;
        }
        t->owned_mutants.clear();
        t->user_apcs.clear();
        t->ended = true;
        std::erase(started_threads(), t);
        t->header.SignalState = 1;
        dispatcher_wake_all_locked();
    }
}

struct adopted_thread {
    thread *object = nullptr;
    ~adopted_thread()
    {
        if (object != nullptr) {
            end_thread(object);
            thread_dereference(object);
        }
    }
};

thread_local adopted_thread t_current;

} // namespace

const std::vector<thread *> &dispatcher_started_threads_locked()
{
    return started_threads();
}

thread *current_thread()
{
    if (t_current.object == nullptr) {
        t_current.object = new_thread_object();
        t_current.object->os_thread = static_cast<unsigned long>(pthread_self());
    }
    return t_current.object;
}

thread *thread_start(std::function<void()> body, process *owner, bool system_thread)
{
    thread *t = new_thread_object();
    t->owner_process = owner;
    t->system_thread = system_thread;
    t->references.fetch_add(1); // the running thread's own reference, dropped as it ends
    g_running.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(dispatcher_lock());
        started_threads().push_back(t);
    }
    std::thread([t, body = std::move(body)]() {
        t_current.object = t;
        t->os_thread = static_cast<unsigned long>(pthread_self());
        // The OS thread began with its creator's scheduling; it takes its own priority's.
        realtime_processor_leave_inherited();
        thread_apply_priority(t);
        try {
            body();
        } catch (const thread_exit_unwind &exit) {
            t->exit_code = exit.code;
        }
        t_current.object = nullptr;
        end_thread(t);
        g_running.fetch_sub(1);
        thread_dereference(t);
    }).detach();
    return t;
}

namespace {

void set_os_scheduling(thread *t, bool realtime, int level)
{
    if (t->os_thread == 0) {
        return;
    }
    sched_param param{};
    param.sched_priority = realtime ? level : 0;
    const auto os_thread = static_cast<pthread_t>(t->os_thread);
    const int result = pthread_setschedparam(os_thread, realtime ? SCHED_FIFO : SCHED_OTHER, &param);
    if (realtime && result == 0) {
        realtime_processor_bind(os_thread, true);
    } else if (!realtime && t->realtime.load()) {
        realtime_processor_bind(os_thread, false);
    }
    t->realtime.store(realtime && result == 0);
}

} // namespace

void thread_apply_priority(thread *t)
{
    const KPRIORITY priority = t->priority;
    const bool realtime = priority >= LOW_REALTIME_PRIORITY;
    if (!realtime && !t->realtime.load()) {
        return;
    }
    set_os_scheduling(t, realtime, realtime ? static_cast<int>(priority - LOW_REALTIME_PRIORITY + 1) : 0);
}

void thread_run_above_all(thread *t, int level)
{
    set_os_scheduling(t, true, HIGH_PRIORITY - LOW_REALTIME_PRIORITY + 1 + level);
}

void thread_spin_wait(ULONG spins)
{
    if (spins % 64 != 63) {
        __builtin_ia32_pause();
    } else if (sched_getscheduler(0) == SCHED_FIFO) {
        const timespec moment{0, 20000};
        nanosleep(&moment, nullptr);
    } else {
        sched_yield();
    }
}

void thread_join_machine()
{
    thread *self = current_thread();
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    if (std::find(started_threads().begin(), started_threads().end(), self) == started_threads().end()) {
        started_threads().push_back(self);
    }
}

void thread_leave_machine()
{
    thread *self = current_thread();
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    std::erase(started_threads(), self);
}

void thread_reference(thread *t)
{
    t->references.fetch_add(1);
}

void thread_dereference(thread *t)
{
    if (t->references.fetch_sub(1) == 1) {
        object_unregister(t);
        delete t;
    }
}

void thread_exit_current(DWORD exit_code)
{
    throw thread_exit_unwind{exit_code};
}

void thread_queue_user_apc(thread *t, std::function<void()> apc)
{
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    if (t->ended) {
        return;
    }
    t->user_apcs.push_back(std::move(apc));
    dispatcher_wake_thread_locked(t);
}

ULONG thread_running_count()
{
    return g_running.load();
}

} // namespace platform
