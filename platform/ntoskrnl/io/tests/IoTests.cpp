// IRPs through device stacks: the completion walk, pending, built control requests,
// cancellation and the cancel-safe queue.
#include "io_test_support.h"
#include <platform/pool.h>
#include <thread>
#include <vector>

using namespace io_test;

namespace {

struct trace {
    std::vector<std::string> calls;
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<BOOLEAN> pending;
    NTSTATUS result = STATUS_SUCCESS;
};

NTSTATUS record_routine(PDEVICE_OBJECT device, PIRP irp, PVOID context, const char *name)
{
    auto t = static_cast<trace *>(context);
    t->calls.push_back(name);
    t->devices.push_back(device);
    t->pending.push_back(irp->PendingReturned);
    if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
        IoMarkIrpPending(irp);
    }
    return t->result;
}

NTSTATUS top_routine(PDEVICE_OBJECT d, PIRP i, PVOID c) { return record_routine(d, i, c, "top"); }
NTSTATUS mid_routine(PDEVICE_OBJECT d, PIRP i, PVOID c) { return record_routine(d, i, c, "mid"); }

NTSTATUS owner_routine(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto t = static_cast<trace *>(context);
    t->calls.push_back("owner");
    t->devices.push_back(device);
    t->pending.push_back(irp->PendingReturned);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A pass-through layer that sets a completion routine on the way down.
dispatch_function forward_with(PIO_COMPLETION_ROUTINE routine, trace *t)
{
    return [routine, t](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, routine, t, TRUE, TRUE, TRUE);
        PDEVICE_OBJECT lower = nullptr;
        for (PDEVICE_OBJECT d = device->DriverObject->DeviceObject; d != nullptr; d = d->NextDevice) {
            if (d->AttachedDevice == device) {
                lower = d;
            }
        }
        return IoCallDriver(lower, irp);
    };
}

class IoTests : public IoFixture {
protected:
    // bottom <- mid <- top; bottom runs bottom_dispatch.
    void build_stack(dispatch_function bottom_dispatch, trace *t)
    {
        bottom = make_device(std::move(bottom_dispatch));
        mid = make_device(forward_with(mid_routine, t), bottom);
        top = make_device(forward_with(top_routine, t), mid);
    }

    PIRP owner_irp(trace *t)
    {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        EXPECT_NE(nullptr, irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, owner_routine, t, TRUE, TRUE, TRUE);
        return irp;
    }

    PDEVICE_OBJECT bottom = nullptr, mid = nullptr, top = nullptr;
};

TEST_F(IoTests, CompletionRoutinesRunBottomUpWithTheirOwnDevice)
{
    trace t;
    build_stack([](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 7); }, &t);
    EXPECT_EQ(3, top->StackSize);
    PIRP irp = owner_irp(&t);

    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(top, irp));

    EXPECT_EQ((std::vector<std::string>{"mid", "top", "owner"}), t.calls);
    EXPECT_EQ((std::vector<PDEVICE_OBJECT>{mid, top, nullptr}), t.devices);
    EXPECT_EQ((std::vector<BOOLEAN>{FALSE, FALSE, FALSE}), t.pending);
    EXPECT_EQ(7u, irp->IoStatus.Information);
    EXPECT_EQ(irp->StackCount + 1, irp->CurrentLocation);
    IoFreeIrp(irp);
}

TEST_F(IoTests, MoreProcessingRequiredStopsTheWalkUntilCompletedAgain)
{
    trace t;
    build_stack([](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_UNSUCCESSFUL); }, &t);
    t.result = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = owner_irp(&t);

    EXPECT_EQ(STATUS_UNSUCCESSFUL, IoCallDriver(top, irp));
    EXPECT_EQ((std::vector<std::string>{"mid"}), t.calls);
    EXPECT_EQ(mid, IoGetCurrentIrpStackLocation(irp)->DeviceObject);

    t.result = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ((std::vector<std::string>{"mid", "top", "owner"}), t.calls);
    IoFreeIrp(irp);
}

TEST_F(IoTests, RoutinesRunOnlyForTheOutcomesTheyAskedFor)
{
    struct row {
        NTSTATUS status;
        BOOLEAN success, error, cancel, cancelled;
        bool expected;
    } rows[] = {
        {STATUS_SUCCESS, TRUE, FALSE, FALSE, FALSE, true},   {STATUS_SUCCESS, FALSE, TRUE, TRUE, FALSE, false},
        {STATUS_UNSUCCESSFUL, FALSE, TRUE, FALSE, FALSE, true}, {STATUS_UNSUCCESSFUL, TRUE, FALSE, FALSE, FALSE, false},
        {STATUS_CANCELLED, FALSE, FALSE, TRUE, TRUE, true},  {STATUS_CANCELLED, TRUE, FALSE, FALSE, TRUE, false},
    };
    NTSTATUS status_to_complete = STATUS_SUCCESS;
    PDEVICE_OBJECT device = make_device([&](PDEVICE_OBJECT, PIRP irp) { return complete(irp, status_to_complete); });
    for (const row &r : rows) {
        SCOPED_TRACE(::testing::Message() << "status 0x" << std::hex << r.status << " flags " << (int)r.success
                                          << (int)r.error << (int)r.cancel);
        bool ran = false;
        trace catcher;
        PIRP irp = IoAllocateIrp(2, FALSE);
        ASSERT_NE(nullptr, irp);
        // The test's own location catches the IRP whatever the inner routine does.
        IoSetCompletionRoutine(irp, owner_routine, &catcher, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = device;
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID c) -> NTSTATUS {
                *static_cast<bool *>(c) = true;
                return STATUS_SUCCESS;
            },
            &ran, r.success, r.error, r.cancel);
        irp->Cancel = r.cancelled;
        status_to_complete = r.status;
        IoCallDriver(device, irp);
        EXPECT_EQ(r.expected, ran);
        EXPECT_EQ(1u, catcher.calls.size());
        IoFreeIrp(irp);
    }
}

TEST_F(IoTests, PendingReturnedReachesEveryRoutineAbove)
{
    trace t;
    PIRP held = nullptr;
    build_stack(
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        },
        &t);
    PIRP irp = owner_irp(&t);

    EXPECT_EQ(STATUS_PENDING, IoCallDriver(top, irp));
    EXPECT_TRUE(t.calls.empty());

    std::thread([&] { complete(held, STATUS_SUCCESS); }).join();
    EXPECT_EQ((std::vector<std::string>{"mid", "top", "owner"}), t.calls);
    EXPECT_EQ((std::vector<BOOLEAN>{TRUE, TRUE, TRUE}), t.pending);
    IoFreeIrp(irp);
}

TEST_F(IoTests, LayersWithoutRoutinePropagatePendingUpwards)
{
    trace t;
    PIRP held = nullptr;
    PDEVICE_OBJECT lower = make_device([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT upper = make_device(
        [lower](PDEVICE_OBJECT, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(lower, irp);
        },
        lower);
    PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_WRITE;
    IoSetCompletionRoutine(irp, owner_routine, &t, TRUE, TRUE, TRUE);

    EXPECT_EQ(STATUS_PENDING, IoCallDriver(upper, irp));
    complete(held, STATUS_SUCCESS);
    EXPECT_EQ((std::vector<BOOLEAN>{TRUE}), t.pending);
    IoFreeIrp(irp);
}

TEST_F(IoTests, BuiltControlRequestCopiesOutputSetsEventAndFreesItself)
{
    ULONG seen_code = 0, seen_in = 0, seen_out = 0;
    PDEVICE_OBJECT device = make_device([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        seen_code = stack->Parameters.DeviceIoControl.IoControlCode;
        seen_in = stack->Parameters.DeviceIoControl.InputBufferLength;
        seen_out = stack->Parameters.DeviceIoControl.OutputBufferLength;
        auto buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        for (int i = 0; i < 6; ++i) {
            buffer[i] = (UCHAR)(buffer[i] + 0x10);
        }
        return complete(irp, STATUS_SUCCESS, 6);
    });
    const ULONG irp_blocks = platform::pool_outstanding_blocks();
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    UCHAR in[4] = {1, 2, 3, 4};
    UCHAR out[8];
    std::memset(out, 0xCC, sizeof(out));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;

    PIRP irp = IoBuildDeviceIoControlRequest(code, device, in, sizeof(in), out, 6, FALSE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, IoGetNextIrpStackLocation(irp)->MajorFunction);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(device, irp));

    EXPECT_EQ(code, seen_code);
    EXPECT_EQ(4u, seen_in);
    EXPECT_EQ(6u, seen_out);
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
    EXPECT_EQ(6u, iosb.Information);
    const UCHAR expected[8] = {0x11, 0x12, 0x13, 0x14, 0x10, 0x10, 0xCC, 0xCC};
    EXPECT_EQ(0, std::memcmp(expected, out, sizeof(out)));
    EXPECT_EQ(irp_blocks, platform::pool_outstanding_blocks()); // IRP and system buffer freed
}

TEST_F(IoTests, PendedInternalRequestSignalsWhenCompletedLater)
{
    PIRP held = nullptr;
    PVOID argument = nullptr;
    PDEVICE_OBJECT device = make_device([&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(IRP_MJ_INTERNAL_DEVICE_CONTROL, IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        argument = IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    int urb = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;

    EXPECT_EQ(STATUS_PENDING, IoCallDriver(device, irp));
    EXPECT_EQ(&urb, argument);
    EXPECT_EQ(0, KeReadStateEvent(&event));

    // The completing thread signals the event before the I/O manager frees the IRP, so it is
    // joined before the machine shuts down.
    std::thread completer([&] { complete(held, STATUS_DEVICE_NOT_CONNECTED); });
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 1000 * 1000 * 10; // 10 s
    const NTSTATUS waited = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    completer.join();
    ASSERT_EQ(STATUS_SUCCESS, waited);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, iosb.Status);
}

TEST_F(IoTests, ReusedIrpStartsOverWithTheGivenStatus)
{
    PDEVICE_OBJECT device = make_device([](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 3); });
    trace t;
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, irp->IoStatus.Status);
        EXPECT_EQ(0u, irp->IoStatus.Information);
        EXPECT_EQ(irp->StackCount + 1, irp->CurrentLocation);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
        IoSetCompletionRoutine(irp, owner_routine, &t, TRUE, TRUE, TRUE);
        EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(device, irp));
    }
    EXPECT_EQ(3u, t.calls.size());
    IoFreeIrp(irp);
}

TEST_F(IoTests, MissingDispatchRoutineFailsTheRequest)
{
    PDEVICE_OBJECT device = make_device(nullptr);
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = nullptr;
    trace t;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoSetCompletionRoutine(irp, owner_routine, &t, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoCallDriver(device, irp));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, irp->IoStatus.Status);
    EXPECT_EQ(1u, t.calls.size());
    IoFreeIrp(irp);
}

// ---- Cancellation ----

PIRP g_cancelled = nullptr;
KIRQL g_irql_in_cancel = 0;

VOID cancel_routine(PDEVICE_OBJECT, PIRP irp)
{
    g_irql_in_cancel = KeGetCurrentIrql();
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_cancelled = irp;
    complete(irp, STATUS_CANCELLED);
}

TEST_F(IoTests, CancelCallsTheCancelRoutineOnce)
{
    PDEVICE_OBJECT device = make_device([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, cancel_routine);
        return STATUS_PENDING;
    });
    trace t;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, owner_routine, &t, TRUE, TRUE, TRUE);
    g_cancelled = nullptr;
    ASSERT_EQ(STATUS_PENDING, IoCallDriver(device, irp));

    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(irp, g_cancelled);
    EXPECT_EQ(DISPATCH_LEVEL, g_irql_in_cancel);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(STATUS_CANCELLED, irp->IoStatus.Status);
    EXPECT_EQ(1u, t.calls.size());

    EXPECT_FALSE(IoCancelIrp(irp)); // the routine was taken by the first cancel
    IoFreeIrp(irp);
}

TEST_F(IoTests, CancelWithoutCancelRoutineOnlyFlagsTheIrp)
{
    PIRP held = nullptr;
    PDEVICE_OBJECT device = make_device([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    trace t;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, owner_routine, &t, TRUE, TRUE, TRUE);
    ASSERT_EQ(STATUS_PENDING, IoCallDriver(device, irp));

    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_TRUE(t.calls.empty());
    complete(held, STATUS_SUCCESS);
    EXPECT_EQ(1u, t.calls.size());
    IoFreeIrp(irp);
}

// ---- Cancel-safe queue ----

struct test_queue {
    IO_CSQ csq;
    KSPIN_LOCK lock = 0;
    LIST_ENTRY list;
    std::vector<PIRP> completed_cancelled;
};

test_queue *queue_from(PIO_CSQ csq)
{
    return CONTAINING_RECORD(csq, test_queue, csq);
}

VOID q_insert(PIO_CSQ csq, PIRP irp) { InsertTailList(&queue_from(csq)->list, &irp->Tail.Overlay.ListEntry); }
VOID q_remove(PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); }
PIRP q_peek(PIO_CSQ csq, PIRP irp, PVOID)
{
    PLIST_ENTRY head = &queue_from(csq)->list;
    PLIST_ENTRY next = irp == nullptr ? head->Flink : irp->Tail.Overlay.ListEntry.Flink;
    return next == head ? nullptr : CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry);
}
VOID q_acquire(PIO_CSQ csq, PKIRQL irql) { KeAcquireSpinLock(&queue_from(csq)->lock, irql); }
VOID q_release(PIO_CSQ csq, KIRQL irql) { KeReleaseSpinLock(&queue_from(csq)->lock, irql); }
VOID q_complete_cancelled(PIO_CSQ csq, PIRP irp)
{
    queue_from(csq)->completed_cancelled.push_back(irp);
    complete(irp, STATUS_CANCELLED);
}

class CsqTests : public IoFixture {
protected:
    void SetUp() override
    {
        IoFixture::SetUp();
        InitializeListHead(&queue.list);
        ASSERT_EQ(STATUS_SUCCESS, IoCsqInitialize(&queue.csq, q_insert, q_remove, q_peek, q_acquire, q_release,
                                                  q_complete_cancelled));
        device = make_device([this](PDEVICE_OBJECT, PIRP irp) {
            auto context = contexts.empty() ? nullptr : &contexts[next_context++];
            IoCsqInsertIrp(&queue.csq, irp, context);
            return STATUS_PENDING;
        });
    }

    PIRP send(trace *t)
    {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, owner_routine, t, TRUE, TRUE, TRUE);
        EXPECT_EQ(STATUS_PENDING, IoCallDriver(device, irp));
        return irp;
    }

    test_queue queue;
    std::vector<IO_CSQ_IRP_CONTEXT> contexts;
    size_t next_context = 0;
    PDEVICE_OBJECT device = nullptr;
};

TEST_F(CsqTests, RemoveNextTakesIrpsInOrderAndClearsTheirCancelRoutine)
{
    trace t;
    PIRP first = send(&t);
    PIRP second = send(&t);
    EXPECT_NE(nullptr, first->CancelRoutine);

    EXPECT_EQ(first, IoCsqRemoveNextIrp(&queue.csq, nullptr));
    EXPECT_EQ(nullptr, first->CancelRoutine);
    EXPECT_FALSE(IoCancelIrp(first)); // out of the queue: the queue no longer cancels it
    EXPECT_EQ(second, IoCsqRemoveNextIrp(&queue.csq, nullptr));
    EXPECT_EQ(nullptr, IoCsqRemoveNextIrp(&queue.csq, nullptr));
    complete(first, STATUS_SUCCESS);
    complete(second, STATUS_SUCCESS);
    EXPECT_TRUE(queue.completed_cancelled.empty());
    IoFreeIrp(first);
    IoFreeIrp(second);
}

TEST_F(CsqTests, CancelledIrpLeavesTheQueueThroughCompleteCanceled)
{
    trace t;
    PIRP first = send(&t);
    PIRP second = send(&t);

    EXPECT_TRUE(IoCancelIrp(first));
    EXPECT_EQ((std::vector<PIRP>{first}), queue.completed_cancelled);
    EXPECT_EQ(STATUS_CANCELLED, first->IoStatus.Status);
    EXPECT_EQ(second, IoCsqRemoveNextIrp(&queue.csq, nullptr));
    EXPECT_EQ(nullptr, IoCsqRemoveNextIrp(&queue.csq, nullptr));
    complete(second, STATUS_SUCCESS);
    IoFreeIrp(first);
    IoFreeIrp(second);
}

TEST_F(CsqTests, RemoveByContextFindsItsIrpOnlyOnce)
{
    contexts.resize(2);
    trace t;
    PIRP first = send(&t);
    PIRP second = send(&t);

    EXPECT_EQ(second, IoCsqRemoveIrp(&queue.csq, &contexts[1]));
    EXPECT_EQ(nullptr, IoCsqRemoveIrp(&queue.csq, &contexts[1]));
    EXPECT_TRUE(IoCancelIrp(first));
    EXPECT_EQ(nullptr, IoCsqRemoveIrp(&queue.csq, &contexts[0])); // cancelled: gone from the queue
    complete(second, STATUS_SUCCESS);
    IoFreeIrp(first);
    IoFreeIrp(second);
}

TEST_F(CsqTests, IrpCancelledBeforeInsertIsCompletedAtOnce)
{
    trace t;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, owner_routine, &t, TRUE, TRUE, TRUE);
    irp->Cancel = TRUE;
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(device, irp));
    EXPECT_EQ((std::vector<PIRP>{irp}), queue.completed_cancelled);
    EXPECT_EQ(nullptr, IoCsqRemoveNextIrp(&queue.csq, nullptr));
    EXPECT_EQ((std::vector<BOOLEAN>{TRUE}), t.pending);
    IoFreeIrp(irp);
}

} // namespace
