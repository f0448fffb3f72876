// Threads of the machine: every OS thread that calls into the platform has a thread object
// (adopted on first use), carrying its IRQL, its user APC queue, the mutants it owns and the
// simulated process it belongs to. The thread object is waitable and becomes signalled when
// the thread ends; mutants it still owns are then abandoned.
#pragma once
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>
#include <platform/dispatcher.h>

namespace platform {

struct process;

struct thread {
    DISPATCHER_HEADER header; // signalled when the thread has ended
    std::atomic<LONG> references{1};
    ULONG id = 0;
    KIRQL irql = 0;
    KPRIORITY priority = 8;
    KPRIORITY priority_before_mmcss = 0;             // restored when the MMCSS task is reverted
    unsigned long os_thread = 0;                     // the OS thread running it (pthread_t)
    std::atomic<bool> realtime{false};               // runs in the OS real-time class
    DWORD exit_code = 0;
    bool system_thread = false;
    bool service = false;                            // a worker of the platform itself (see machine_quiescent)
    bool ended = false;
    process *owner_process = nullptr;
    std::vector<DISPATCHER_HEADER *> owned_mutants; // guarded by the dispatcher lock
    std::deque<std::function<void()>> user_apcs;     // guarded by the dispatcher lock
    std::vector<std::function<void()>> exit_hooks;   // run on the thread as it ends
    void *spin_lock_stack = nullptr;                 // verifier state of the kernel executive
    void *win32 = nullptr;                           // per-thread state of the Win32 side
};

// The calling thread's object, adopted on first use.
thread *current_thread();

// Starts body on a new OS thread with its own thread object. The returned object holds one
// reference for the caller.
thread *thread_start(std::function<void()> body, process *owner, bool system_thread);

// Gives t's OS thread the scheduling of its priority: the real-time priorities (16 to 31)
// run in the OS real-time class, above every ordinary thread, as on Windows. Where the
// process may not use that class, the thread keeps ordinary scheduling.
void thread_apply_priority(thread *t);

// The OS real-time class for a thread of the simulation itself (the DPC thread, a bus's
// frame timer), at a level above every priority a thread of the machine can take.
void thread_run_above_all(thread *t, int level);

// One round of a busy wait for a lock another thread holds (spins counts the rounds so far):
// a processor pause, and now and then a yield. A waiter in the OS real-time class sleeps for a
// moment instead of yielding, since a yield would keep a holder of lower priority preempted on
// its processor.
void thread_spin_wait(ULONG spins);

void thread_reference(thread *t);
void thread_dereference(thread *t);

// Ends the calling thread started by thread_start (unwinds its stack to the start routine).
[[noreturn]] void thread_exit_current(DWORD exit_code);

// Queues a user APC to t; it runs in t's next alertable wait.
void thread_queue_user_apc(thread *t, std::function<void()> apc);

// Number of threads started by thread_start that have not yet ended.
ULONG thread_running_count();

// Whether nothing in the machine can move until time passes, a device completes a request or
// a thread from outside the machine acts: every thread started by thread_start is blocked in a
// wait that no signalled object, due deadline or queued user APC satisfies, and no DPC or work
// item is queued or running. The platform's own workers (service threads, which run DPCs, work
// items and notifications) count through their queues instead; threads adopted from outside the
// machine (a test's own) do not count. A driver's thread woken by a completion counts as busy
// from the moment its object is signalled, so a caller that moves the bus only while this holds
// never runs ahead of the machine.
bool machine_quiescent();

// The calling thread, adopted from outside the machine, counts for machine_quiescent like one
// the machine started, until it leaves again or ends: a test's or a tool's client loop that
// stands for a thread the system would run inside the machine. While joined it must wait only
// in the machine's waits (a wait on anything else would count as running).
void thread_join_machine();
void thread_leave_machine();

// Joins the machine for its lifetime.
class machine_thread_scope {
public:
    machine_thread_scope() { thread_join_machine(); }
    ~machine_thread_scope() { thread_leave_machine(); }
    machine_thread_scope(const machine_thread_scope &) = delete;
    machine_thread_scope &operator=(const machine_thread_scope &) = delete;
};

} // namespace platform
