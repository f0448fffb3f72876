// The one dispatcher lock and the wake-ups of blocked waits. Private to the platform library.
// Each blocked wait sleeps on its own condition; a state change wakes only the waits that
// name the changed object, so a signal costs one wake-up, not one per blocked thread.
#pragma once
#include <condition_variable>
#include <mutex>
#include <vector>

struct _DISPATCHER_HEADER;

namespace platform {

struct thread;

std::mutex &dispatcher_lock();

// The caller holds the dispatcher lock.
void dispatcher_wake_object_locked(const _DISPATCHER_HEADER *object);
void dispatcher_wake_thread_locked(const thread *waiter);
void dispatcher_wake_all_locked();

// Threads started by thread_start that have not ended.
const std::vector<thread *> &dispatcher_started_threads_locked();
// Whether every started thread but the service threads is blocked in a wait that nothing
// satisfies now.
bool dispatcher_started_threads_blocked();

} // namespace platform
