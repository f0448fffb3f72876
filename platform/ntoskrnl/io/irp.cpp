// IRPs: allocation, reuse and freeing, IoCallDriver, the completion walk, cancellation, and the
// verifier's bookkeeping of who holds each IRP.
#include "io_internal.h"
#include <platform/io_driver.h>
#include <platform/pool.h>
#include <platform/machine_state.h>
#include <cstring>
#include <unordered_map>

namespace platform {
namespace {

constexpr ULONG irp_tag = io_tag('I', 'r', 'p', ' ');

enum class irp_state {
    idle,       // with its owner: allocated or reused, not sent
    sent,       // passed to a driver by IoCallDriver and not yet completed
    completing, // the completion walk runs
    owned,      // a completion routine returned STATUS_MORE_PROCESSING_REQUIRED: with that routine's owner
    done,       // completed to the I/O manager
};

struct irp_record {
    std::string module;      // the module that allocated it; empty for the I/O manager's own
    bool from_pool = false;  // IoAllocateIrp (freed by IoFreeIrp) rather than caller memory
    irp_state state = irp_state::idle;
    ULONG generation = 0;    // bumped at each fresh send and reuse
    io_top_completion top = nullptr;
    void *top_context = nullptr;
};

// An IoCallDriver in progress: whether the completion walk passed its stack location, and
// whether that location was marked pending when it did.
struct call_frame {
    PIRP irp;
    CHAR location;
    bool passed = false;
    bool marked = false;
};

std::mutex g_lock;
std::unordered_map<PIRP, irp_record> g_irps;
std::unordered_multimap<PIRP, call_frame *> g_frames;
// Dispatch routines that returned STATUS_PENDING before the IRP was completed past their stack
// location: the mark is checked when the completion walk gets there (their completion routine
// may still mark it).
std::unordered_multimap<PIRP, CHAR> g_pending_checks;
KSPIN_LOCK g_cancel_lock = 0;

void init_irp(PIRP irp, USHORT size, CCHAR stack_size)
{
    std::memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stack_size;
    irp->CurrentLocation = (CHAR)(stack_size + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
}

PIRP allocate(CCHAR stack_size, void *caller, std::string module)
{
    if (stack_size < 1) {
        verifier_stop("IRP_STACK_SIZE_INVALID", "IoAllocateIrp with a stack size of %d", (int)stack_size);
    }
    USHORT size = IoSizeOfIrp(stack_size);
    auto irp = static_cast<PIRP>(pool_allocate(NonPagedPoolNx, size, irp_tag, caller));
    if (irp == nullptr) {
        return nullptr;
    }
    init_irp(irp, size, stack_size);
    std::lock_guard<std::mutex> lock(g_lock);
    irp_record &record = g_irps[irp];
    record = irp_record{};
    record.module = std::move(module);
    record.from_pool = true;
    return irp;
}

irp_record &record_of(PIRP irp, const char *function)
{
    auto it = g_irps.find(irp);
    if (it == g_irps.end()) {
        verifier_stop("IRP_NOT_ALLOCATED", "%s(%p): not an IRP of the I/O manager (freed, or never allocated)",
                      function, (void *)irp);
    }
    return it->second;
}

[[noreturn]] void pending_without_mark(PIRP irp, CHAR location)
{
    verifier_stop("PENDING_WITHOUT_IOMARKIRPPENDING",
                  "a dispatch routine returned STATUS_PENDING for IRP %p at stack location %d, which was not "
                  "marked with IoMarkIrpPending (in the dispatch routine or its completion routine)",
                  (void *)irp, (int)location);
}

void note_frames_passed(PIRP irp, CHAR location, bool marked)
{
    auto checks = g_pending_checks.equal_range(irp);
    for (auto it = checks.first; it != checks.second;) {
        if (it->second == location) {
            if (!marked) {
                pending_without_mark(irp, location);
            }
            it = g_pending_checks.erase(it);
        } else {
            ++it;
        }
    }
    auto range = g_frames.equal_range(irp);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second->location == location && !it->second->passed) {
            it->second->passed = true;
            it->second->marked = marked;
        }
    }
}

// The walk has left the last stack location: the IRP goes to whoever built it.
void complete_to_io_manager(PIRP irp, ULONG generation)
{
    io_top_completion top = nullptr;
    void *context = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto it = g_irps.find(irp);
        if (it == g_irps.end() || it->second.generation != generation) {
            return;
        }
        if (it->second.top == nullptr) {
            verifier_stop("IRP_COMPLETED_TO_IO_MANAGER",
                          "IRP %p allocated with IoAllocateIrp was completed past its last stack location; the "
                          "completion routine of its owner must return STATUS_MORE_PROCESSING_REQUIRED",
                          (void *)irp);
        }
        it->second.state = irp_state::done;
        top = it->second.top;
        context = it->second.top_context;
    }
    top(irp, context);
}

} // namespace

void io_irps_reset()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_irps.clear();
    g_frames.clear();
    g_pending_checks.clear();
    g_cancel_lock = 0;
}

PIRP io_allocate_irp(CCHAR stack_size)
{
    return allocate(stack_size, __builtin_return_address(0), {});
}

void io_set_top_completion(PIRP irp, io_top_completion routine, void *context)
{
    std::lock_guard<std::mutex> lock(g_lock);
    irp_record &record = record_of(irp, "io_set_top_completion");
    record.top = routine;
    record.top_context = context;
}

ULONG io_live_irps(const std::string &module_path)
{
    std::lock_guard<std::mutex> lock(g_lock);
    ULONG count = 0;
    for (auto &entry : g_irps) {
        if (!module_path.empty() && entry.second.module == module_path) {
            ++count;
        }
    }
    return count;
}

} // namespace platform

using namespace platform;

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    verifier_check_irql(DISPATCH_LEVEL, "IoAllocateIrp");
    void *caller = __builtin_return_address(0);
    return allocate(StackSize, caller, io_module_of(caller));
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    if (PacketSize < IoSizeOfIrp(StackSize)) {
        verifier_stop("IRP_PACKET_TOO_SMALL", "IoInitializeIrp(%p): %u bytes cannot hold %d stack locations",
                      (void *)Irp, PacketSize, (int)StackSize);
    }
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_irps.find(Irp);
    if (it != g_irps.end() && (it->second.state == irp_state::sent || it->second.state == irp_state::completing)) {
        verifier_stop("IRP_REINITIALIZED_IN_USE", "IoInitializeIrp(%p) while a driver holds the IRP", (void *)Irp);
    }
    init_irp(Irp, PacketSize, StackSize);
    if (it == g_irps.end()) {
        irp_record &record = g_irps[Irp];
        record.module = io_module_of(__builtin_return_address(0));
    } else {
        it->second.state = irp_state::idle;
        it->second.generation++;
    }
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    std::lock_guard<std::mutex> lock(g_lock);
    irp_record &record = record_of(Irp, "IoReuseIrp");
    if (record.state == irp_state::sent) {
        verifier_stop("IRP_REUSED_IN_USE", "IoReuseIrp(%p) while a driver holds the IRP", (void *)Irp);
    }
    if (Irp->CancelRoutine != nullptr) {
        verifier_stop("IRP_REUSED_WITH_CANCEL_ROUTINE", "IoReuseIrp(%p) with a cancel routine still set",
                      (void *)Irp);
    }
    UCHAR flags = Irp->AllocationFlags;
    init_irp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Iostatus;
    record.state = irp_state::idle;
    record.generation++;
    g_pending_checks.erase(Irp);
}

VOID IoFreeIrp(PIRP Irp)
{
    {
        std::lock_guard<std::mutex> lock(g_lock);
        irp_record &record = record_of(Irp, "IoFreeIrp");
        if (record.state == irp_state::sent) {
            verifier_stop("IRP_FREED_IN_USE",
                          "IoFreeIrp(%p) while a driver still holds the IRP (sent and not completed, or queued)",
                          (void *)Irp);
        }
        if (!record.from_pool) {
            verifier_stop("IRP_FREED_NOT_ALLOCATED", "IoFreeIrp(%p) on an IRP set up with IoInitializeIrp",
                          (void *)Irp);
        }
        g_irps.erase(Irp);
        g_pending_checks.erase(Irp);
    }
    ExFreePoolWithTag(Irp, irp_tag);
}

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                  PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                  BOOLEAN InvokeOnCancel)
{
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
    return STATUS_SUCCESS;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    verifier_check_irql(DISPATCH_LEVEL, "IoCallDriver");
    {
        std::lock_guard<std::mutex> lock(g_lock);
        irp_record &record = record_of(Irp, "IoCallDriver");
        if (record.state == irp_state::done) {
            verifier_stop("IRP_USED_AFTER_COMPLETION", "IoCallDriver(%p, %p) with an IRP already completed",
                          (void *)DeviceObject, (void *)Irp);
        }
        if (record.state != irp_state::sent) {
            record.state = irp_state::sent;
            record.generation++;
        }
    }
    IoSetNextIrpStackLocation(Irp);
    if (Irp->CurrentLocation <= 0) {
        verifier_stop("NO_MORE_IRP_STACK_LOCATIONS", "IoCallDriver(%p, %p): the IRP has %d stack locations",
                      (void *)DeviceObject, (void *)Irp, (int)Irp->StackCount);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];

    call_frame frame{Irp, Irp->CurrentLocation};
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_frames.emplace(Irp, &frame);
    }
    NTSTATUS status;
    if (dispatch != nullptr) {
        status = dispatch(DeviceObject, Irp);
    } else {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    auto range = g_frames.equal_range(Irp);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == &frame) {
            g_frames.erase(it);
            break;
        }
    }
    if (status == STATUS_PENDING) {
        if (frame.passed && !frame.marked) {
            pending_without_mark(Irp, frame.location);
        }
        if (!frame.passed) {
            g_pending_checks.emplace(Irp, frame.location);
        }
    }
    return status;
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IofCallDriver(DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    verifier_check_irql(DISPATCH_LEVEL, "IoCompleteRequest");
    ULONG generation;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto it = g_irps.find(Irp);
        if (it == g_irps.end() || (it->second.state != irp_state::sent && it->second.state != irp_state::owned)) {
            verifier_stop("IRP_COMPLETED_TWICE",
                          "IoCompleteRequest(%p) on an IRP that no driver holds (completed before, or freed)",
                          (void *)Irp);
        }
        if (Irp->CancelRoutine != nullptr) {
            verifier_stop("IRP_COMPLETED_WITH_CANCEL_ROUTINE",
                          "IoCompleteRequest(%p) with cancel routine %p still set", (void *)Irp,
                          (void *)Irp->CancelRoutine);
        }
        if (Irp->IoStatus.Status == STATUS_PENDING) {
            verifier_stop("IRP_COMPLETED_WITH_STATUS_PENDING", "IoCompleteRequest(%p) with IoStatus.Status STATUS_PENDING",
                          (void *)Irp);
        }
        it->second.state = irp_state::completing;
        generation = it->second.generation;
    }
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        const UCHAR control = stack->Control;
        {
            std::lock_guard<std::mutex> lock(g_lock);
            note_frames_passed(Irp, Irp->CurrentLocation, (control & SL_PENDING_RETURNED) != 0);
        }
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        IoSkipCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        const bool above_top = Irp->CurrentLocation > Irp->StackCount;
        if (!invoke) {
            if (Irp->PendingReturned && !above_top) {
                IoMarkIrpPending(Irp);
            }
            continue;
        }
        PDEVICE_OBJECT device = above_top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
        if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
            std::lock_guard<std::mutex> lock(g_lock);
            auto it = g_irps.find(Irp);
            if (it != g_irps.end() && it->second.generation == generation &&
                it->second.state == irp_state::completing) {
                it->second.state = irp_state::owned;
            }
            return;
        }
        if (Irp->PendingReturned && !above_top &&
            (IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED) == 0) {
            verifier_stop("PENDING_NOT_PROPAGATED",
                          "completion routine %p of IRP %p returned without IoMarkIrpPending although "
                          "Irp->PendingReturned is set",
                          (void *)routine, (void *)Irp);
        }
    }
    complete_to_io_manager(Irp, generation);
}

VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    IofCompleteRequest(Irp, PriorityBoost);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql)
{
    KeAcquireSpinLock(&g_cancel_lock, Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(&g_cancel_lock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp)
{
    verifier_check_irql(DISPATCH_LEVEL, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    routine(device, Irp);
    return TRUE;
}

} // extern "C"
