// The verifier's rules for IRPs, MDLs and work items: each misuse stops the machine with the
// rule's name.
#include "io_test_support.h"
#include "../io_internal.h"

using namespace io_test;

namespace {

NTSTATUS keep(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID never_called(PDEVICE_OBJECT, PIRP)
{
}

class IoVerifierDeathTests : public IoFixture {
protected:
    PIRP owned_irp(PDEVICE_OBJECT device)
    {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, keep, nullptr, TRUE, TRUE, TRUE);
        return irp;
    }
};

TEST_F(IoVerifierDeathTests, IrpCompletedTwice)
{
    PDEVICE_OBJECT device = make_device([](PDEVICE_OBJECT, PIRP irp) {
        complete(irp, STATUS_SUCCESS); // the built IRP is freed here
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    EXPECT_DEATH(IoCallDriver(device, irp), "IRP_COMPLETED_TWICE");
}

TEST_F(IoVerifierDeathTests, IrpCompletedWithCancelRoutineSet)
{
    PDEVICE_OBJECT device = make_device([](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, never_called);
        return complete(irp, STATUS_SUCCESS);
    });
    PIRP irp = owned_irp(device);
    EXPECT_DEATH(IoCallDriver(device, irp), "IRP_COMPLETED_WITH_CANCEL_ROUTINE");
    IoFreeIrp(irp);
}

TEST_F(IoVerifierDeathTests, PendingReturnedWithoutMarkingTheIrp)
{
    PIRP held = nullptr;
    PDEVICE_OBJECT device = make_device([&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        return STATUS_PENDING;
    });
    PIRP irp = owned_irp(device);
    EXPECT_DEATH(
        {
            IoCallDriver(device, irp);
            complete(held, STATUS_SUCCESS);
        },
        "PENDING_WITHOUT_IOMARKIRPPENDING");
}

TEST_F(IoVerifierDeathTests, IrpFreedWhileADriverHoldsIt)
{
    PDEVICE_OBJECT device = make_device([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    PIRP irp = owned_irp(device);
    ASSERT_EQ(STATUS_PENDING, IoCallDriver(device, irp));
    EXPECT_DEATH(IoFreeIrp(irp), "IRP_FREED_IN_USE");
}

TEST_F(IoVerifierDeathTests, CallDriverAboveDispatchLevel)
{
    PDEVICE_OBJECT device = make_device([](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
    PIRP irp = owned_irp(device);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
            IoCallDriver(device, irp);
        },
        "IRQL_NOT_LESS_OR_EQUAL");
    IoFreeIrp(irp);
}

TEST_F(IoVerifierDeathTests, DriverAllocatedIrpCompletedToTheIoManager)
{
    PDEVICE_OBJECT device = make_device([](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_DEATH(IoCallDriver(device, irp), "IRP_COMPLETED_TO_IO_MANAGER");
    IoFreeIrp(irp);
}

TEST_F(IoVerifierDeathTests, MdlFreedWhileMapped)
{
    static UCHAR buffer[100];
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
    EXPECT_DEATH(IoFreeMdl(mdl), "MDL_FREED_WHILE_MAPPED");
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST_F(IoVerifierDeathTests, WorkItemQueuedTwice)
{
    PDEVICE_OBJECT device = make_device(nullptr);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    EXPECT_DEATH(
        {
            platform::io_work_pause(true);
            IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
            IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
        },
        "WORK_ITEM_QUEUED_TWICE");
    IoFreeWorkItem(item);
}

} // namespace
