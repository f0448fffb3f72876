// MDLs (describing, locking, mapping, page allocation) and work items (PASSIVE_LEVEL worker
// threads, device references while queued).
#include "io_test_support.h"
#include "../io_internal.h"
#include <platform/pool.h>
#include <atomic>
#include <cstring>

using namespace io_test;

namespace {

class MdlTests : public IoFixture {};

TEST_F(MdlTests, DescribesAnUnalignedBufferAcrossPages)
{
    alignas(4096) static UCHAR buffer[3 * PAGE_SIZE];
    UCHAR *start = buffer + 100;
    const ULONG length = 2 * PAGE_SIZE;
    EXPECT_EQ(sizeof(MDL) + 3 * sizeof(PFN_NUMBER), MmSizeOfMdl(start, length));

    PMDL mdl = IoAllocateMdl(start, length, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, mdl);
    EXPECT_EQ(length, MmGetMdlByteCount(mdl));
    EXPECT_EQ(100u, MmGetMdlByteOffset(mdl));
    EXPECT_EQ(start, MmGetMdlVirtualAddress(mdl));
    EXPECT_EQ(0, mdl->MdlFlags);

    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    EXPECT_EQ(start, MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute));
    IoFreeMdl(mdl);
}

TEST_F(MdlTests, LockedPagesMapToTheBufferAndUnlockUnmaps)
{
    UCHAR data[300];
    std::memset(data, 0x5A, sizeof(data));
    PMDL mdl = IoAllocateMdl(data, sizeof(data), FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, mdl);
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);

    auto mapped = static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    ASSERT_NE(nullptr, mapped);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    mapped[299] = 0x11;
    EXPECT_EQ(0x11, data[299]);
    EXPECT_EQ(mapped, MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority)); // mapped once

    MmUnlockPages(mdl);
    EXPECT_EQ(0, mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA));
    IoFreeMdl(mdl);
}

TEST_F(MdlTests, AllocatedPagesAreZeroedMappableAndFreed)
{
    PHYSICAL_ADDRESS low{}, high{}, skip{};
    high.QuadPart = 0xFFFFFFFF;
    const ULONG before = platform::pool_outstanding_blocks();
    PMDL mdl = MmAllocatePagesForMdlEx(low, high, skip, 5000, MmCached, 0);
    ASSERT_NE(nullptr, mdl);
    EXPECT_EQ(5000u, MmGetMdlByteCount(mdl));
    auto mapped = static_cast<UCHAR *>(
        MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority));
    ASSERT_NE(nullptr, mapped);
    for (ULONG i = 0; i < 5000; ++i) {
        ASSERT_EQ(0, mapped[i]) << i;
    }
    mapped[4999] = 1;
    MmUnmapLockedPages(mapped, mdl);
    MmFreePagesFromMdl(mdl);
    ExFreePool(mdl);
    EXPECT_EQ(before, platform::pool_outstanding_blocks());
    EXPECT_EQ(nullptr, MmAllocatePagesForMdl(low, high, skip, 0));
}

TEST_F(MdlTests, IrpMdlsChainBehindThePrimary)
{
    UCHAR a[10], b[10], c[10];
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(a, sizeof(a), FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(b, sizeof(b), TRUE, FALSE, irp);
    PMDL third = IoAllocateMdl(c, sizeof(c), TRUE, FALSE, irp);
    EXPECT_EQ(first, irp->MdlAddress);
    EXPECT_EQ(second, first->Next);
    EXPECT_EQ(third, second->Next);
    IoFreeMdl(first);
    IoFreeMdl(second);
    IoFreeMdl(third);
    IoFreeIrp(irp);
}

TEST_F(MdlTests, MdlAllocationFailsUnderInjectedPoolFailure)
{
    UCHAR data[10];
    platform::pool_fail_nth(1);
    EXPECT_EQ(nullptr, IoAllocateMdl(data, sizeof(data), FALSE, FALSE, nullptr));
    platform::pool_fail_reset();
}

class WorkItemTests : public IoFixture {};

struct work_record {
    std::atomic<int> runs{0};
    KIRQL irql = 0xFF;
    PDEVICE_OBJECT device = nullptr;
    KEVENT done;
};

TEST_F(WorkItemTests, RoutineRunsOnceAtPassiveOnAnotherThreadWithItsDevice)
{
    PDEVICE_OBJECT device = make_device(nullptr);
    work_record record;
    KeInitializeEvent(&record.done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(nullptr, item);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old); // queued from DISPATCH_LEVEL, as a DPC would
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT d, PVOID c) {
            auto r = static_cast<work_record *>(c);
            r->irql = KeGetCurrentIrql();
            r->device = d;
            r->runs++;
            KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
        },
        DelayedWorkQueue, &record);
    KeLowerIrql(old);

    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 10000000;
    ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, &timeout));
    platform::io_wait_device_work(device);
    EXPECT_EQ(1, record.runs.load());
    EXPECT_EQ(PASSIVE_LEVEL, record.irql);
    EXPECT_EQ(device, record.device);
    IoFreeWorkItem(item);
}

TEST_F(WorkItemTests, DeletedDeviceStaysUntilItsQueuedItemHasRun)
{
    PDEVICE_OBJECT device = make_device(nullptr);
    static_cast<device_extension *>(device->DeviceExtension)->~device_extension();
    struct state {
        KEVENT gate, done;
        ULONG type_seen = 0;
    } s;
    KeInitializeEvent(&s.gate, NotificationEvent, FALSE);
    KeInitializeEvent(&s.done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    IoQueueWorkItemEx(
        item,
        [](PVOID object, PVOID c, PIO_WORKITEM self) {
            auto st = static_cast<state *>(c);
            KeWaitForSingleObject(&st->gate, Executive, KernelMode, FALSE, nullptr);
            st->type_seen = static_cast<PDEVICE_OBJECT>(object)->Type; // still a live device object
            IoFreeWorkItem(self);
            KeSetEvent(&st->done, IO_NO_INCREMENT, FALSE);
        },
        CriticalWorkQueue, &s);
    IoDeleteDevice(device);
    KeSetEvent(&s.gate, IO_NO_INCREMENT, FALSE);
    ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ((ULONG)IO_TYPE_DEVICE, s.type_seen);
}

TEST_F(WorkItemTests, AttachedDeviceReferenceKeepsADeletedDeviceUntilDereferenced)
{
    PDEVICE_OBJECT lower = make_device(nullptr);
    PDEVICE_OBJECT upper = make_device(nullptr, lower);
    EXPECT_EQ(2, upper->StackSize);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(lower);
    EXPECT_EQ(upper, top);
    IoDetachDevice(lower);
    static_cast<device_extension *>(upper->DeviceExtension)->~device_extension();
    IoDeleteDevice(upper);
    EXPECT_EQ((CSHORT)IO_TYPE_DEVICE, top->Type); // still allocated: the reference holds it
    ObDereferenceObject(top);
    EXPECT_EQ(lower, IoGetAttachedDevice(lower));
}

TEST_F(WorkItemTests, BlockedItemDoesNotStallTheNextOne)
{
    PDEVICE_OBJECT device = make_device(nullptr);
    KEVENT second_ran;
    KeInitializeEvent(&second_ran, NotificationEvent, FALSE);
    PIO_WORKITEM first = IoAllocateWorkItem(device);
    PIO_WORKITEM second = IoAllocateWorkItem(device);
    IoQueueWorkItem(
        first, [](PDEVICE_OBJECT, PVOID e) { KeWaitForSingleObject(e, Executive, KernelMode, FALSE, nullptr); },
        DelayedWorkQueue, &second_ran);
    IoQueueWorkItem(
        second, [](PDEVICE_OBJECT, PVOID e) { KeSetEvent(static_cast<PKEVENT>(e), IO_NO_INCREMENT, FALSE); },
        DelayedWorkQueue, &second_ran);
    platform::io_wait_device_work(device); // returns only when both have run
    EXPECT_EQ(1, KeReadStateEvent(&second_ran));
    IoFreeWorkItem(first);
    IoFreeWorkItem(second);
}

} // namespace
