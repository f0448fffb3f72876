// Dispatcher objects and waits. Every state change happens under the one dispatcher lock
// and wakes the blocked waits that name the object, which then re-check their objects; timed
// waits sleep until their deadline on the real clock, or until the manual clock is advanced.
#include <platform/dispatcher.h>
#include <platform/clock.h>
#include <platform/thread.h>
#include <algorithm>
#include <chrono>
#include "dispatcher_lock.h"

namespace platform {

std::mutex &dispatcher_lock()
{
    static std::mutex lock;
    return lock;
}

namespace {

// One blocked wait: the objects it waits on and the condition it sleeps on. Linked into the
// list of blocked waits while it sleeps; guarded by the dispatcher lock.
struct wait_block {
    std::condition_variable wake;
    thread *waiter = nullptr;
    ULONG count = 0;
    DISPATCHER_HEADER *const *objects = nullptr;
    bool wait_all = false;
    bool alertable = false;
    const LONGLONG *deadline = nullptr;
    wait_block *previous = nullptr;
    wait_block *next = nullptr;
};

wait_block *g_blocked = nullptr;

void link_block(wait_block *block)
{
    block->previous = nullptr;
    block->next = g_blocked;
    if (g_blocked != nullptr) {
        g_blocked->previous = block;
    }
    g_blocked = block;
}

void unlink_block(wait_block *block)
{
    if (block->previous != nullptr) {
        block->previous->next = block->next;
    } else {
        g_blocked = block->next;
    }
    if (block->next != nullptr) {
        block->next->previous = block->previous;
    }
    block->previous = block->next = nullptr;
}

bool is_satisfiable(const DISPATCHER_HEADER *object, thread *waiter)
{
    if (object->Type == mutant) {
        return object->OwnerThread == nullptr || object->OwnerThread == waiter;
    }
    return object->SignalState > 0;
}

// Applies the side effect of a satisfied wait. Returns true when an abandoned mutant was
// acquired.
bool satisfy(DISPATCHER_HEADER *object, thread *waiter)
{
    switch (object->Type) {
    case synchronization_event:
    case synchronization_timer:
        object->SignalState = 0;
        return false;
    case semaphore:
        object->SignalState -= 1;
        return false;
    case mutant: {
        const bool abandoned = object->Abandoned != 0;
        if (object->OwnerThread == nullptr) {
            object->OwnerThread = waiter;
            object->RecursionCount = 0;
            object->Abandoned = 0;
            waiter->owned_mutants.push_back(object);
        }
        object->RecursionCount += 1;
        object->SignalState = 0;
        return abandoned;
    }
    default:
        return false;
    }
}

// Whether the blocked wait would return if its thread ran now.
bool is_runnable(const wait_block &block)
{
    if (block.alertable && !block.waiter->user_apcs.empty()) {
        return true;
    }
    if (block.deadline != nullptr && clock_now() >= *block.deadline) {
        return true;
    }
    bool all = block.count > 0;
    for (ULONG i = 0; i < block.count; ++i) {
        const bool ready = is_satisfiable(block.objects[i], block.waiter);
        if (ready && !block.wait_all) {
            return true;
        }
        all = all && ready;
    }
    return block.wait_all && all;
}

} // namespace

bool dispatcher_started_threads_blocked()
{
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    for (const thread *t : dispatcher_started_threads_locked()) {
        if (t->service || t->ended) {
            continue;
        }
        const wait_block *found = nullptr;
        for (const wait_block *block = g_blocked; block != nullptr && found == nullptr; block = block->next) {
            found = block->waiter == t ? block : nullptr;
        }
        if (found == nullptr || is_runnable(*found)) {
            return false;
        }
    }
    return true;
}

void dispatcher_wake_object_locked(const DISPATCHER_HEADER *object)
{
    for (wait_block *block = g_blocked; block != nullptr; block = block->next) {
        for (ULONG i = 0; i < block->count; ++i) {
            if (block->objects[i] == object) {
                block->wake.notify_one();
                break;
            }
        }
    }
}

void dispatcher_wake_thread_locked(const thread *waiter)
{
    for (wait_block *block = g_blocked; block != nullptr; block = block->next) {
        if (block->waiter == waiter) {
            block->wake.notify_one();
        }
    }
}

void dispatcher_wake_all_locked()
{
    for (wait_block *block = g_blocked; block != nullptr; block = block->next) {
        block->wake.notify_one();
    }
}

void dispatcher_init(DISPATCHER_HEADER *object, dispatcher_type type, LONG signal_state, LONG limit)
{
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    object->Type = type;
    object->Abandoned = 0;
    object->Initialized = 1;
    object->Reserved = 0;
    object->SignalState = signal_state;
    object->Limit = limit;
    object->RecursionCount = 0;
    object->OwnerThread = nullptr;
}

LONG dispatcher_read_state(DISPATCHER_HEADER *object)
{
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    if (object->Type == mutant) {
        return object->OwnerThread == nullptr ? 1 : 1 - object->RecursionCount;
    }
    return object->SignalState;
}

LONG dispatcher_set_event(DISPATCHER_HEADER *object)
{
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    const LONG previous = object->SignalState;
    object->SignalState = 1;
    dispatcher_wake_object_locked(object);
    return previous;
}

LONG dispatcher_reset_event(DISPATCHER_HEADER *object)
{
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    const LONG previous = object->SignalState;
    object->SignalState = 0;
    return previous;
}

LONG dispatcher_pulse_event(DISPATCHER_HEADER *object)
{
    // Waiters re-check under the lock after waking, so a pulse cannot be seen by them; the
    // system does not rely on pulses, so it only reports and clears the state.
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    const LONG previous = object->SignalState;
    object->SignalState = 0;
    return previous;
}

void dispatcher_signal(DISPATCHER_HEADER *object)
{
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    object->SignalState = 1;
    dispatcher_wake_object_locked(object);
}

void dispatcher_unsignal(DISPATCHER_HEADER *object)
{
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    object->SignalState = 0;
}

NTSTATUS dispatcher_release_mutant(DISPATCHER_HEADER *object, LONG *previous_count)
{
    thread *self = current_thread();
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    if (object->OwnerThread != self) {
        return STATUS_MUTANT_NOT_OWNED;
    }
    if (previous_count != nullptr) {
        *previous_count = object->RecursionCount;
    }
    object->RecursionCount -= 1;
    if (object->RecursionCount == 0) {
        object->OwnerThread = nullptr;
        object->SignalState = 1;
        auto &owned = self->owned_mutants;
        owned.erase(std::remove(owned.begin(), owned.end(), object), owned.end());
        dispatcher_wake_object_locked(object);
    }
    return STATUS_SUCCESS;
}

NTSTATUS dispatcher_release_semaphore(DISPATCHER_HEADER *object, LONG adjustment, LONG *previous_count)
{
    std::lock_guard<std::mutex> lock(dispatcher_lock());
    const LONG previous = object->SignalState;
    if (adjustment <= 0 || (LONGLONG)previous + adjustment > object->Limit) {
        return STATUS_SEMAPHORE_LIMIT_EXCEEDED;
    }
    object->SignalState = previous + adjustment;
    if (previous_count != nullptr) {
        *previous_count = previous;
    }
    dispatcher_wake_object_locked(object);
    return STATUS_SUCCESS;
}

LONGLONG dispatcher_deadline_from_timeout(LONGLONG timeout)
{
    if (timeout < 0) {
        return clock_now() - timeout;
    }
    return timeout - (clock_system_time() - clock_now());
}

NTSTATUS dispatcher_wait(ULONG count, DISPATCHER_HEADER *const *objects, bool wait_all,
                         const LONGLONG *deadline, bool alertable)
{
    thread *self = current_thread();
    std::unique_lock<std::mutex> lock(dispatcher_lock());
    for (;;) {
        if (alertable && !self->user_apcs.empty()) {
            std::deque<std::function<void()>> apcs;
            apcs.swap(self->user_apcs);
            lock.unlock();
            for (auto &apc : apcs) {
                apc();
            }
            return STATUS_USER_APC;
        }
        if (count > 0) {
            if (wait_all) {
                bool all = true;
                for (ULONG i = 0; i < count && all; ++i) {
                    all = is_satisfiable(objects[i], self);
                }
                if (all) {
                    bool abandoned = false;
                    for (ULONG i = 0; i < count; ++i) {
                        abandoned = satisfy(objects[i], self) || abandoned;
                    }
                    return abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0;
                }
            } else {
                for (ULONG i = 0; i < count; ++i) {
                    if (is_satisfiable(objects[i], self)) {
                        const bool abandoned = satisfy(objects[i], self);
                        return (abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + (NTSTATUS)i;
                    }
                }
            }
        }
        if (deadline != nullptr && clock_now() >= *deadline) {
            return STATUS_TIMEOUT;
        }
        wait_block block;
        block.waiter = self;
        block.count = count;
        block.objects = objects;
        block.wait_all = wait_all;
        block.alertable = alertable;
        block.deadline = deadline;
        link_block(&block);
        if (deadline != nullptr && !clock_is_manual()) {
            block.wake.wait_for(lock, std::chrono::nanoseconds((*deadline - clock_now()) * 100));
        } else {
            block.wake.wait(lock);
        }
        unlink_block(&block);
    }
}

} // namespace platform
