// The dispatcher: waitable objects (events, mutants, semaphores, threads, timers, processes)
// and the waits on them. Kernel objects (KEVENT, KMUTEX ...) and Win32 objects (events,
// mutexes, semaphores, threads) are all built on it, as on Windows. One dispatcher lock
// guards every object's state; waits follow the machine clock.
#pragma once
#include <ntdef.h>
#include <ntstatus.h>

struct _DISPATCHER_HEADER;

namespace platform {

struct thread;

enum dispatcher_type : UCHAR {
    notification_event = 0,
    synchronization_event = 1,
    mutant = 2,
    semaphore = 3,
    thread_object = 4,
    notification_timer = 5,
    synchronization_timer = 6,
    process_object = 7,
};

} // namespace platform

// The common head of every waitable object. Its layout is the stand-in's own.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;       // platform::dispatcher_type
    UCHAR Abandoned;  // mutant: the last owner ended without releasing it
    UCHAR Initialized;
    UCHAR Reserved;
    LONG SignalState; // > 0 signalled; a mutant is signalled when it has no owner
    LONG Limit;       // semaphore limit
    LONG RecursionCount;
    platform::thread *OwnerThread;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

namespace platform {

void dispatcher_init(DISPATCHER_HEADER *object, dispatcher_type type, LONG signal_state, LONG limit = 0);

LONG dispatcher_read_state(DISPATCHER_HEADER *object);

// Events. Each returns the previous signal state.
LONG dispatcher_set_event(DISPATCHER_HEADER *object);
LONG dispatcher_reset_event(DISPATCHER_HEADER *object);
LONG dispatcher_pulse_event(DISPATCHER_HEADER *object);

// Thread, process and timer objects: signalled or not.
void dispatcher_signal(DISPATCHER_HEADER *object);
void dispatcher_unsignal(DISPATCHER_HEADER *object);

// Releases a mutant held by the calling thread. STATUS_MUTANT_NOT_OWNED when the caller does
// not own it; *previous_count (optional) receives the recursion count before the release.
NTSTATUS dispatcher_release_mutant(DISPATCHER_HEADER *object, LONG *previous_count);

// Adds adjustment to a semaphore's count; STATUS_SEMAPHORE_LIMIT_EXCEEDED (count unchanged)
// when the result would pass its limit.
NTSTATUS dispatcher_release_semaphore(DISPATCHER_HEADER *object, LONG adjustment, LONG *previous_count);

// Waits for one (wait_all false) or all of the objects. deadline is absolute machine time
// (platform::clock_now units) or null for no timeout. Returns STATUS_WAIT_0 + i for the lowest
// signalled index (STATUS_WAIT_0 when all are satisfied), STATUS_ABANDONED_WAIT_0 + i when
// the acquired mutant was abandoned, STATUS_TIMEOUT, or STATUS_USER_APC when the wait was
// alertable and user APCs ran. count may be 0 (a pure delay). Satisfying a wait has the
// object's side effect: synchronization events and timers reset, semaphores count down,
// mutants become owned by the calling thread.
NTSTATUS dispatcher_wait(ULONG count, DISPATCHER_HEADER *const *objects, bool wait_all,
                         const LONGLONG *deadline, bool alertable);

// Converts a Windows timeout (negative: relative, positive: absolute system time, in 100 ns
// units) to an absolute machine-time deadline.
LONGLONG dispatcher_deadline_from_timeout(LONGLONG timeout);

} // namespace platform
