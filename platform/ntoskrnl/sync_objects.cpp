// Kernel dispatcher objects over the dispatcher core: events, mutexes, semaphores, the waits
// on them and on timers and threads, delays, fast mutexes and critical regions.
#include <wdm.h>
#include <platform/clock.h>
#include <platform/thread.h>
#include <platform/verifier.h>
#include <chrono>

using namespace platform;

namespace {

thread_local LONG t_critical_region = 0;

DISPATCHER_HEADER *header_of(PVOID object, const char *function)
{
    auto *header = static_cast<DISPATCHER_HEADER *>(object);
    if (header == nullptr || header->Initialized != 1 || header->Type > process_object) {
        verifier_stop("INVALID_DISPATCHER_OBJECT", "%s on %p, which is not an initialised dispatcher object",
                      function, object);
    }
    return header;
}

void check_type(DISPATCHER_HEADER *header, std::initializer_list<dispatcher_type> types, const char *function)
{
    for (dispatcher_type type : types) {
        if (header->Type == type) {
            return;
        }
    }
    verifier_stop("INVALID_DISPATCHER_OBJECT", "%s on a dispatcher object of type %u", function,
                  (unsigned)header->Type);
}

// The IRQL rule of every wait: at most DISPATCH_LEVEL, and there only with a zero timeout.
// Returns the deadline for the dispatcher, or null for none.
const LONGLONG *wait_deadline(PLARGE_INTEGER Timeout, LONGLONG &storage, const char *function)
{
    const KIRQL irql = current_thread()->irql;
    if (irql > DISPATCH_LEVEL) {
        verifier_stop("IRQL_NOT_LESS_OR_EQUAL", "%s at IRQL %u", function, (unsigned)irql);
    }
    if (irql == DISPATCH_LEVEL && (Timeout == nullptr || Timeout->QuadPart != 0)) {
        verifier_stop("IRQL_NOT_LESS_OR_EQUAL", "%s with %s timeout at DISPATCH_LEVEL", function,
                      Timeout == nullptr ? "an infinite" : "a non-zero");
    }
    if (Timeout == nullptr) {
        return nullptr;
    }
    storage = dispatcher_deadline_from_timeout(Timeout->QuadPart);
    return &storage;
}

} // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        verifier_stop("INVALID_DISPATCHER_OBJECT", "KeInitializeEvent with event type %d", (int)Type);
    }
    dispatcher_init(&Event->Header, Type == NotificationEvent ? notification_event : synchronization_event,
                    State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    verifier_check_irql(DISPATCH_LEVEL, "KeSetEvent");
    check_type(header_of(Event, "KeSetEvent"), {notification_event, synchronization_event}, "KeSetEvent");
    return dispatcher_set_event(&Event->Header);
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    verifier_check_irql(DISPATCH_LEVEL, "KeResetEvent");
    check_type(header_of(Event, "KeResetEvent"), {notification_event, synchronization_event}, "KeResetEvent");
    return dispatcher_reset_event(&Event->Header);
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    KeResetEvent(Event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    header_of(Event, "KeReadStateEvent");
    return dispatcher_read_state(&Event->Header);
}

LONG NTAPI KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    verifier_check_irql(DISPATCH_LEVEL, "KePulseEvent");
    header_of(Event, "KePulseEvent");
    return dispatcher_pulse_event(&Event->Header);
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    dispatcher_init(&Mutex->Header, mutant, 1);
    Mutex->Level = Level;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    verifier_check_irql(DISPATCH_LEVEL, "KeReleaseMutex");
    check_type(header_of(Mutex, "KeReleaseMutex"), {mutant}, "KeReleaseMutex");
    LONG recursion = 0;
    if (!NT_SUCCESS(dispatcher_release_mutant(&Mutex->Header, &recursion))) {
        verifier_stop("MUTEX_NOT_OWNED", "KeReleaseMutex of %p by a thread that does not own it", (void *)Mutex);
    }
    return 1 - recursion;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex)
{
    header_of(Mutex, "KeReadStateMutex");
    return dispatcher_read_state(&Mutex->Header);
}

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    if (Limit <= 0 || Count < 0 || Count > Limit) {
        verifier_stop("INVALID_DISPATCHER_OBJECT", "KeInitializeSemaphore with count %d and limit %d", (int)Count,
                      (int)Limit);
    }
    dispatcher_init(&Semaphore->Header, semaphore, Count, Limit);
    Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
{
    verifier_check_irql(DISPATCH_LEVEL, "KeReleaseSemaphore");
    check_type(header_of(Semaphore, "KeReleaseSemaphore"), {semaphore}, "KeReleaseSemaphore");
    LONG previous = 0;
    if (!NT_SUCCESS(dispatcher_release_semaphore(&Semaphore->Header, Adjustment, &previous))) {
        verifier_stop("SEMAPHORE_LIMIT_EXCEEDED", "KeReleaseSemaphore of %p by %d past its limit %d",
                      (void *)Semaphore, (int)Adjustment, (int)Semaphore->Header.Limit);
    }
    return previous;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    header_of(Semaphore, "KeReadStateSemaphore");
    return dispatcher_read_state(&Semaphore->Header);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    LONGLONG storage = 0;
    const LONGLONG *deadline = wait_deadline(Timeout, storage, "KeWaitForSingleObject");
    DISPATCHER_HEADER *header = header_of(Object, "KeWaitForSingleObject");
    return dispatcher_wait(1, &header, false, deadline, Alertable && WaitMode == UserMode);
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray)
{
    LONGLONG storage = 0;
    const LONGLONG *deadline = wait_deadline(Timeout, storage, "KeWaitForMultipleObjects");
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
        verifier_stop("MAXIMUM_WAIT_OBJECTS_EXCEEDED", "KeWaitForMultipleObjects on %u objects (1 to %u allowed)",
                      (unsigned)Count, (unsigned)MAXIMUM_WAIT_OBJECTS);
    }
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
        verifier_stop("MAXIMUM_WAIT_OBJECTS_EXCEEDED",
                      "KeWaitForMultipleObjects on %u objects without a wait block array (%u without one)",
                      (unsigned)Count, (unsigned)THREAD_WAIT_OBJECTS);
    }
    if (WaitType != WaitAll && WaitType != WaitAny) {
        verifier_stop("INVALID_PARAMETER", "KeWaitForMultipleObjects with wait type %d", (int)WaitType);
    }
    DISPATCHER_HEADER *headers[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i) {
        headers[i] = header_of(Object[i], "KeWaitForMultipleObjects");
    }
    return dispatcher_wait(Count, headers, WaitType == WaitAll, deadline, Alertable && WaitMode == UserMode);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    verifier_check_irql(APC_LEVEL, "KeDelayExecutionThread");
    if (Interval == nullptr) {
        verifier_stop("INVALID_PARAMETER", "KeDelayExecutionThread without an interval");
    }
    const LONGLONG deadline = dispatcher_deadline_from_timeout(Interval->QuadPart);
    const NTSTATUS status = dispatcher_wait(0, nullptr, false, &deadline, Alertable && WaitMode == UserMode);
    return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

// A busy wait on the processor: it follows real time whatever the machine clock does.
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < end) {
        __builtin_ia32_pause();
    }
}

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    verifier_check_irql(APC_LEVEL, "ExAcquireFastMutex");
    thread *self = current_thread();
    if (FastMutex->Owner == self) {
        verifier_stop("FAST_MUTEX_RECURSION", "ExAcquireFastMutex of %p by the thread that holds it",
                      (void *)FastMutex);
    }
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    if (InterlockedDecrement(&FastMutex->Count) != 0) {
        FastMutex->Contention += 1;
        KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, nullptr);
    }
    FastMutex->Owner = self;
    FastMutex->OldIrql = old;
}

BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    verifier_check_irql(APC_LEVEL, "ExTryToAcquireFastMutex");
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) {
        KeLowerIrql(old);
        return FALSE;
    }
    FastMutex->Owner = current_thread();
    FastMutex->OldIrql = old;
    return TRUE;
}

VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    if (FastMutex->Owner != current_thread()) {
        verifier_stop("FAST_MUTEX_NOT_OWNED", "ExReleaseFastMutex of %p by a thread that does not hold it",
                      (void *)FastMutex);
    }
    if (current_thread()->irql != APC_LEVEL) {
        verifier_stop("IRQL_NOT_LESS_OR_EQUAL", "ExReleaseFastMutex at IRQL %u; it was acquired at APC_LEVEL",
                      (unsigned)current_thread()->irql);
    }
    const KIRQL old = (KIRQL)FastMutex->OldIrql;
    FastMutex->Owner = nullptr;
    if (InterlockedIncrement(&FastMutex->Count) != 1) {
        KeSetEvent(&FastMutex->Event, 0, FALSE);
    }
    KeLowerIrql(old);
}

VOID NTAPI KeEnterCriticalRegion()
{
    t_critical_region += 1;
}

VOID NTAPI KeLeaveCriticalRegion()
{
    if (t_critical_region == 0) {
        verifier_stop("CRITICAL_REGION_UNBALANCED", "KeLeaveCriticalRegion without KeEnterCriticalRegion");
    }
    t_critical_region -= 1;
}

BOOLEAN NTAPI KeAreApcsDisabled()
{
    return (t_critical_region > 0 || current_thread()->irql >= APC_LEVEL) ? TRUE : FALSE;
}

} // extern "C"
