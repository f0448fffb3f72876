// DPCs: one queue and one DPC thread (started on first use, stopped at machine shutdown) that
// runs each queued DPC at DISPATCH_LEVEL, one at a time, as a single processor would.
#include <wdm.h>
#include <platform/thread.h>
#include <platform/verifier.h>
#include <condition_variable>
#include <mutex>
#include "kernel_internal.h"

namespace platform {
namespace {

struct dpc_state {
    std::mutex lock;
    std::condition_variable changed;
    LIST_ENTRY queue;
    thread *worker = nullptr;
    bool stopping = false;
    ULONGLONG inserted = 0; // DPCs queued so far
    ULONGLONG finished = 0; // DPCs run or removed so far

    dpc_state() { InitializeListHead(&queue); }
};

dpc_state &state()
{
    static auto *s = new dpc_state();
    return *s;
}

// Marks a queued DPC in its DpcData field.
void *queued_marker()
{
    return &state();
}

void run_dpcs()
{
    dpc_state &s = state();
    current_thread()->service = true;
    current_thread()->irql = DISPATCH_LEVEL;
    // DPCs run before any thread on Windows: the DPC thread takes the OS real-time class.
    thread_run_above_all(current_thread(), 8);
    std::unique_lock<std::mutex> lock(s.lock);
    for (;;) {
        s.changed.wait(lock, [&] { return s.stopping || !IsListEmpty(&s.queue); });
        if (s.stopping) {
            break;
        }
        PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&s.queue), KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID argument1 = dpc->SystemArgument1;
        PVOID argument2 = dpc->SystemArgument2;
        lock.unlock();
        routine(dpc, context, argument1, argument2);
        const KIRQL irql = current_thread()->irql;
        if (irql != DISPATCH_LEVEL) {
            verifier_stop("IRQL_NOT_LESS_OR_EQUAL", "DPC routine %p returned at IRQL %u", (void *)routine,
                          (unsigned)irql);
        }
        if (verifier_spin_locks_held() != 0) {
            verifier_stop("SPIN_LOCK_NOT_OWNED", "DPC routine %p returned holding %u spin lock(s)", (void *)routine,
                          (unsigned)verifier_spin_locks_held());
        }
        lock.lock();
        s.finished += 1;
        s.changed.notify_all();
    }
    current_thread()->irql = PASSIVE_LEVEL;
}

} // namespace

void dpcs_check_free(const void *begin, SIZE_T size)
{
    dpc_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    const auto *first = static_cast<const char *>(begin);
    for (PLIST_ENTRY e = s.queue.Flink; e != &s.queue; e = e->Flink) {
        const auto *dpc = reinterpret_cast<const char *>(CONTAINING_RECORD(e, KDPC, DpcListEntry));
        if (dpc >= first && dpc < first + size) {
            verifier_stop("TIMER_OR_DPC_INVALID", "pool block %p freed while it holds the queued DPC %p", begin,
                          (const void *)dpc);
        }
    }
}

bool dpc_queue_idle()
{
    dpc_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    return s.finished == s.inserted;
}

void dpc_shutdown()
{
    dpc_state &s = state();
    thread *worker = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        s.stopping = true;
        worker = s.worker;
        s.worker = nullptr;
        s.changed.notify_all();
    }
    if (worker != nullptr) {
        DISPATCHER_HEADER *header = &worker->header;
        dispatcher_wait(1, &header, false, nullptr, false);
        thread_dereference(worker);
    }
    std::lock_guard<std::mutex> lock(s.lock);
    while (!IsListEmpty(&s.queue)) {
        CONTAINING_RECORD(RemoveHeadList(&s.queue), KDPC, DpcListEntry)->DpcData = nullptr;
    }
    s.finished = s.inserted;
    s.stopping = false;
    s.changed.notify_all();
}

} // namespace platform

using namespace platform;

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = 0x13;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    InitializeListHead(&Dpc->DpcListEntry);
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

// Threaded DPCs run like ordinary ones: the machine has no real-time threads to give them.
VOID NTAPI KeInitializeThreadedDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    KeInitializeDpc(Dpc, DeferredRoutine, DeferredContext);
    Dpc->Type = 0x18;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    if (Dpc->DeferredRoutine == nullptr || (Dpc->Type != 0x13 && Dpc->Type != 0x18)) {
        verifier_stop("TIMER_OR_DPC_INVALID", "KeInsertQueueDpc of %p, which is not an initialised DPC", (void *)Dpc);
    }
    dpc_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    if (Dpc->DpcData != nullptr) {
        return FALSE;
    }
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    Dpc->DpcData = queued_marker();
    if (Dpc->Importance == HighImportance) {
        InsertHeadList(&s.queue, &Dpc->DpcListEntry);
    } else {
        InsertTailList(&s.queue, &Dpc->DpcListEntry);
    }
    s.inserted += 1;
    if (s.worker == nullptr) {
        s.worker = thread_start(run_dpcs, nullptr, true);
    }
    s.changed.notify_all();
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    dpc_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    if (Dpc->DpcData == nullptr) {
        return FALSE;
    }
    RemoveEntryList(&Dpc->DpcListEntry);
    InitializeListHead(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    s.finished += 1;
    s.changed.notify_all();
    return TRUE;
}

// Returns when every DPC queued before the call has run or been removed.
VOID NTAPI KeFlushQueuedDpcs()
{
    verifier_check_irql(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    dpc_state &s = state();
    std::unique_lock<std::mutex> lock(s.lock);
    const ULONGLONG target = s.inserted;
    s.changed.wait(lock, [&] { return s.finished >= target; });
}

VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance)
{
    Dpc->Importance = (UCHAR)Importance;
}

VOID NTAPI KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number)
{
    Dpc->Number = (USHORT)Number;
}

} // extern "C"
