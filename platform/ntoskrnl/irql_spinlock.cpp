// IRQL of the calling thread and the spin locks, classic and in-stack queued. A spin lock is a
// real lock across real threads: its word holds the owning thread while held. Each thread
// keeps the locks it holds, in order, for the verifier's checks.
#include <wdm.h>
#include <platform/thread.h>
#include <platform/verifier.h>
#include <vector>

namespace platform {
namespace {

struct held_lock {
    PKSPIN_LOCK lock;
    KIRQL old_irql;
    PKLOCK_QUEUE_HANDLE queue_handle; // null for a classic acquire
};

thread_local std::vector<held_lock> t_held;

ULONG_PTR self_word()
{
    return reinterpret_cast<ULONG_PTR>(current_thread());
}

void spin_acquire(PKSPIN_LOCK lock, const char *function)
{
    const ULONG_PTR self = self_word();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == self) {
        verifier_stop("SPIN_LOCK_ALREADY_OWNED", "%s: the calling thread already holds spin lock %p", function,
                      (void *)lock);
    }
    for (ULONG spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return;
        }
        thread_spin_wait(spins);
    }
}

// Finds the calling thread's entry for lock (the most recent one), stopping when the caller
// does not hold it.
std::vector<held_lock>::iterator find_held(PKSPIN_LOCK lock, const char *function)
{
    for (auto it = t_held.end(); it != t_held.begin();) {
        --it;
        if (it->lock == lock) {
            return it;
        }
    }
    const ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    verifier_stop("SPIN_LOCK_NOT_OWNED", "%s: spin lock %p released by a thread that does not hold it (%s)",
                  function, (void *)lock, owner == 0 ? "it is free" : "another thread holds it");
}

void check_at_dispatch(const char *function)
{
    const KIRQL irql = current_thread()->irql;
    if (irql != DISPATCH_LEVEL) {
        verifier_stop("IRQL_NOT_GREATER_OR_EQUAL", "%s called at IRQL %u; it requires DISPATCH_LEVEL", function,
                      (unsigned)irql);
    }
}

void push_held(PKSPIN_LOCK lock, KIRQL old_irql, PKLOCK_QUEUE_HANDLE handle)
{
    t_held.push_back({lock, old_irql, handle});
}

// Removes the entry, releases the lock word and sets the IRQL to new_irql.
void release_held(std::vector<held_lock>::iterator entry, KIRQL new_irql, const char *function)
{
    PKSPIN_LOCK lock = entry->lock;
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != self_word()) {
        verifier_stop("SPIN_LOCK_NOT_OWNED", "%s: spin lock %p was changed while held", function, (void *)lock);
    }
    t_held.erase(entry);
    if (new_irql < DISPATCH_LEVEL && !t_held.empty()) {
        verifier_stop("IRQL_NOT_LESS_OR_EQUAL", "%s lowers the IRQL to %u while %zu other spin lock(s) are held",
                      function, (unsigned)new_irql, t_held.size());
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    current_thread()->irql = new_irql;
}

} // namespace

ULONG verifier_spin_locks_held()
{
    return (ULONG)t_held.size();
}

} // namespace platform

using namespace platform;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql()
{
    return current_thread()->irql;
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    thread *self = current_thread();
    if (NewIrql < self->irql) {
        verifier_stop("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql to %u from the higher IRQL %u", (unsigned)NewIrql,
                      (unsigned)self->irql);
    }
    *OldIrql = self->irql;
    self->irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql)
{
    thread *self = current_thread();
    if (NewIrql > self->irql) {
        verifier_stop("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to %u from the lower IRQL %u", (unsigned)NewIrql,
                      (unsigned)self->irql);
    }
    if (NewIrql < DISPATCH_LEVEL && !t_held.empty()) {
        verifier_stop("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to %u while %zu spin lock(s) are held",
                      (unsigned)NewIrql, t_held.size());
    }
    self->irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel()
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    verifier_check_irql(DISPATCH_LEVEL, "KeAcquireSpinLock");
    thread *self = current_thread();
    const KIRQL old = self->irql;
    self->irql = DISPATCH_LEVEL;
    spin_acquire(SpinLock, "KeAcquireSpinLock");
    push_held(SpinLock, old, nullptr);
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    auto entry = find_held(SpinLock, "KeReleaseSpinLock");
    check_at_dispatch("KeReleaseSpinLock");
    if (entry->queue_handle != nullptr) {
        verifier_stop("SPIN_LOCK_NOT_OWNED", "KeReleaseSpinLock on spin lock %p acquired as an in-stack queued lock",
                      (void *)SpinLock);
    }
    if (NewIrql != entry->old_irql) {
        verifier_stop("SPIN_LOCK_RELEASED_WITH_WRONG_IRQL",
                      "KeReleaseSpinLock of %p to IRQL %u; it was acquired at IRQL %u", (void *)SpinLock,
                      (unsigned)NewIrql, (unsigned)entry->old_irql);
    }
    release_held(entry, NewIrql, "KeReleaseSpinLock");
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    check_at_dispatch("KeAcquireSpinLockAtDpcLevel");
    spin_acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
    push_held(SpinLock, DISPATCH_LEVEL, nullptr);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    auto entry = find_held(SpinLock, "KeReleaseSpinLockFromDpcLevel");
    check_at_dispatch("KeReleaseSpinLockFromDpcLevel");
    if (entry->queue_handle != nullptr) {
        verifier_stop("SPIN_LOCK_NOT_OWNED",
                      "KeReleaseSpinLockFromDpcLevel on spin lock %p acquired as an in-stack queued lock",
                      (void *)SpinLock);
    }
    release_held(entry, DISPATCH_LEVEL, "KeReleaseSpinLockFromDpcLevel");
}

BOOLEAN NTAPI KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    check_at_dispatch("KeTryToAcquireSpinLockAtDpcLevel");
    ULONG_PTR expected = 0;
    if (!__atomic_compare_exchange_n(SpinLock, &expected, self_word(), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        return FALSE;
    }
    push_held(SpinLock, DISPATCH_LEVEL, nullptr);
    return TRUE;
}

BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock)
{
    return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0 ? TRUE : FALSE;
}

VOID NTAPI KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    verifier_check_irql(DISPATCH_LEVEL, "KeAcquireInStackQueuedSpinLock");
    thread *self = current_thread();
    const KIRQL old = self->irql;
    self->irql = DISPATCH_LEVEL;
    spin_acquire(SpinLock, "KeAcquireInStackQueuedSpinLock");
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = old;
    push_held(SpinLock, old, LockHandle);
}

VOID NTAPI KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    check_at_dispatch("KeAcquireInStackQueuedSpinLockAtDpcLevel");
    spin_acquire(SpinLock, "KeAcquireInStackQueuedSpinLockAtDpcLevel");
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = DISPATCH_LEVEL;
    push_held(SpinLock, DISPATCH_LEVEL, LockHandle);
}

} // extern "C"

namespace {

// In-stack queued locks are released in the reverse order of their acquisition.
void release_queued(PKLOCK_QUEUE_HANDLE LockHandle, KIRQL new_irql, const char *function)
{
    check_at_dispatch(function);
    auto last = t_held.end();
    for (auto it = t_held.end(); it != t_held.begin();) {
        --it;
        if (it->queue_handle != nullptr) {
            last = it;
            break;
        }
    }
    if (last == t_held.end()) {
        verifier_stop("SPIN_LOCK_NOT_OWNED", "%s with lock handle %p: the thread holds no in-stack queued lock",
                      function, (void *)LockHandle);
    }
    if (last->queue_handle != LockHandle) {
        verifier_stop("QUEUED_SPIN_LOCK_RELEASED_OUT_OF_ORDER",
                      "%s of spin lock %p while spin lock %p, acquired later, is still held", function,
                      (void *)LockHandle->LockQueue.Lock, (void *)last->lock);
    }
    if (new_irql != last->old_irql) {
        verifier_stop("SPIN_LOCK_RELEASED_WITH_WRONG_IRQL", "%s of %p to IRQL %u; it was acquired at IRQL %u",
                      function, (void *)last->lock, (unsigned)new_irql, (unsigned)last->old_irql);
    }
    release_held(last, new_irql, function);
}

} // namespace

extern "C" {

VOID NTAPI KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle)
{
    release_queued(LockHandle, LockHandle->OldIrql, "KeReleaseInStackQueuedSpinLock");
}

VOID NTAPI KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle)
{
    release_queued(LockHandle, DISPATCH_LEVEL, "KeReleaseInStackQueuedSpinLockFromDpcLevel");
}

} // extern "C"
