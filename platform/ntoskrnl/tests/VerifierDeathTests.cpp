// Each verifier rule stops the process with a message naming the rule.
#include "KernelTestFixture.h"
#include <platform/io_driver.h>
#include <platform/kernel_handles.h>
#include <atomic>

using namespace kernel_test;

namespace {

// Death tests run in a freshly started child, so the DPC and timer threads of the parent do
// not disturb them.
struct VerifierDeathTests : KernelTest {
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        KernelTest::SetUp();
    }
};

constexpr ULONG tag_a = tag("Abcd");

VOID noop_dpc(PKDPC, PVOID, PVOID, PVOID) {}

VOID raise_and_return(PVOID)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

VOID wait_forever_dpc(PKDPC, PVOID context, PVOID, PVOID)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000;
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, &timeout);
}

void run_system_thread(PKSTART_ROUTINE routine)
{
    HANDLE handle;
    PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, nullptr);
    PVOID object;
    ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

} // namespace

TEST_F(VerifierDeathTests, IrqlChangesInTheWrongDirection)
{
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeLowerIrql(HIGH_LEVEL);
        },
        "IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &old);
        },
        "IRQL_NOT_GREATER_OR_EQUAL: KeRaiseIrql");
}

TEST_F(VerifierDeathTests, WaitsAtDispatchLevelNeedAZeroTimeout)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER timeout;
            timeout.QuadPart = -10000;
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject with a non-zero timeout at DISPATCH_LEVEL");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            PVOID objects[] = {&event};
            KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        },
        "IRQL_NOT_LESS_OR_EQUAL: KeWaitForMultipleObjects with an infinite timeout at DISPATCH_LEVEL");
    EXPECT_DEATH(
        {
            KDPC dpc;
            KeInitializeDpc(&dpc, wait_forever_dpc, &event);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            KeFlushQueuedDpcs();
        },
        "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject with a non-zero timeout");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER interval;
            interval.QuadPart = -1;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        },
        "IRQL_NOT_LESS_OR_EQUAL: KeDelayExecutionThread");
}

TEST_F(VerifierDeathTests, SpinLockRules)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            std::thread([&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); }).join();
        },
        "SPIN_LOCK_NOT_OWNED: KeReleaseSpinLock");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, DISPATCH_LEVEL);
        },
        "SPIN_LOCK_RELEASED_WITH_WRONG_IRQL");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLock(&lock, &old);
        },
        "SPIN_LOCK_ALREADY_OWNED");
    EXPECT_DEATH(KeAcquireSpinLockAtDpcLevel(&lock), "IRQL_NOT_GREATER_OR_EQUAL: KeAcquireSpinLockAtDpcLevel");
    EXPECT_DEATH(
        {
            KSPIN_LOCK second;
            KeInitializeSpinLock(&second);
            KLOCK_QUEUE_HANDLE first_handle;
            KLOCK_QUEUE_HANDLE second_handle;
            KeAcquireInStackQueuedSpinLock(&lock, &first_handle);
            KeAcquireInStackQueuedSpinLock(&second, &second_handle);
            KeReleaseInStackQueuedSpinLock(&first_handle);
        },
        "QUEUED_SPIN_LOCK_RELEASED_OUT_OF_ORDER");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeLowerIrql(PASSIVE_LEVEL);
        },
        "IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql to 0 while 1 spin lock");
}

TEST_F(VerifierDeathTests, PoolRules)
{
    EXPECT_DEATH(
        {
            void *p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag_a);
            ExFreePool(p);
            ExFreePool(p);
        },
        "BAD_POOL_CALLER: ExFreePool of 0x[0-9a-f]+, which is not an allocated pool block");
    EXPECT_DEATH(
        {
            int local = 0;
            ExFreePoolWithTag(&local, tag_a);
        },
        "BAD_POOL_CALLER");
    EXPECT_DEATH(ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag_a), tag("Wxyz")),
                 "BAD_POOL_CALLER: ExFreePoolWithTag .* with tag 'Wxyz'; it was allocated with tag 'Abcd'");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 8, tag_a);
        },
        "IRQL_NOT_LESS_OR_EQUAL: pool allocation of paged pool at IRQL 2");
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0), "BAD_POOL_CALLER: .*tag 0");
    EXPECT_DEATH(ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_PAGED, 8, tag_a), "BAD_POOL_CALLER: ExAllocatePool2");
}

TEST_F(VerifierDeathTests, LeakAtUnloadListsTagSizeAndCount)
{
    EXPECT_DEATH(
        {
            ExAllocatePoolWithTag(NonPagedPoolNx, 40, tag_a);
            ExAllocatePoolWithTag(NonPagedPoolNx, 40, tag_a);
            platform::pool_verify_unload(this_executable());
        },
        "POOL_LEAK_AT_UNLOAD: .* unloaded with pool still allocated:\ntag 'Abcd' size 40 count 2");
}

TEST_F(VerifierDeathTests, TraceProviderRulesAtRegistrationAndUnload)
{
    static constexpr GUID provider = {0x6B0F2D4C, 0x19A3, 0x4E58, {0x8C, 0x2D, 0x51, 0x07, 0xE6, 0x9A, 0x3B, 0x72}};
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            REGHANDLE handle = 0;
            EtwRegister(&provider, nullptr, nullptr, &handle);
        },
        "IRQL_NOT_LESS_OR_EQUAL: EtwRegister");
    EXPECT_DEATH(
        {
            REGHANDLE handle = 0;
            EtwRegister(&provider, nullptr, nullptr, &handle);
            platform::io_unload_driver_object(platform::io_create_driver_object(L"Leaky", this_executable()));
        },
        "TRACE_PROVIDERS_LEFT_AT_UNLOAD: .*Leaky unloaded with 1 trace provider\\(s\\) still registered");
}

TEST_F(VerifierDeathTests, PoolHoldingASetTimerOrQueuedDpcCannotBeFreed)
{
    EXPECT_DEATH(
        {
            auto *timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), tag_a));
            KeInitializeTimer(timer);
            KeSetTimer(timer, relative_ms(60000), nullptr);
            ExFreePoolWithTag(timer, tag_a);
        },
        "TIMER_OR_DPC_INVALID: pool block .* freed while it holds the set timer");
    EXPECT_DEATH(
        {
            struct gate_context {
                std::atomic<bool> entered{false};
            } gate;
            KDPC blocker;
            KeInitializeDpc(&blocker, [](PKDPC, PVOID c, PVOID, PVOID) {
                static_cast<gate_context *>(c)->entered = true;
                for (;;) {
                    std::this_thread::yield();
                }
            }, &gate);
            KeInsertQueueDpc(&blocker, nullptr, nullptr);
            while (!gate.entered) {
                std::this_thread::yield();
            }
            auto *dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KDPC), tag_a));
            KeInitializeDpc(dpc, noop_dpc, nullptr);
            KeInsertQueueDpc(dpc, nullptr, nullptr);
            ExFreePoolWithTag(dpc, tag_a);
        },
        "TIMER_OR_DPC_INVALID: pool block .* freed while it holds the queued DPC");
}

TEST_F(VerifierDeathTests, WaitObjectCountRules)
{
    KEVENT events[65];
    PVOID objects[65];
    for (int i = 0; i < 65; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, TRUE);
        objects[i] = &events[i];
    }
    EXPECT_DEATH(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
                 "MAXIMUM_WAIT_OBJECTS_EXCEEDED: .*without a wait block array");
    KWAIT_BLOCK blocks[65];
    EXPECT_DEATH(KeWaitForMultipleObjects(65, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, blocks),
                 "MAXIMUM_WAIT_OBJECTS_EXCEEDED");
    EXPECT_DEATH(
        {
            int not_an_object[8] = {};
            KeWaitForSingleObject(not_an_object, Executive, KernelMode, FALSE, nullptr);
        },
        "INVALID_DISPATCHER_OBJECT");
}

TEST_F(VerifierDeathTests, MutexAndSemaphoreRules)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_DEATH(KeReleaseMutex(&mutex, FALSE), "MUTEX_NOT_OWNED");
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 1, 2);
    EXPECT_DEATH(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), "SEMAPHORE_LIMIT_EXCEEDED");
}

TEST_F(VerifierDeathTests, HandleClosedTwice)
{
    EXPECT_DEATH(
        {
            int object = 0;
            HANDLE h = platform::kernel_handle_insert(&object, platform::kernel_handle_type::event, nullptr);
            ZwClose(h);
            ZwClose(h);
        },
        "INVALID_KERNEL_HANDLE: kernel handle .* closed twice");
}

TEST_F(VerifierDeathTests, SystemThreadMustEndCleanly)
{
    EXPECT_DEATH(run_system_thread(raise_and_return), "SYSTEM_THREAD_EXIT_AT_RAISED_IRQL");
}

TEST_F(VerifierDeathTests, PassiveLevelOnlyCalls)
{
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeFlushQueuedDpcs();
        },
        "IRQL_NOT_LESS_OR_EQUAL: KeFlushQueuedDpcs");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            HANDLE h;
            PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, raise_and_return, nullptr);
        },
        "IRQL_NOT_LESS_OR_EQUAL: PsCreateSystemThread");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            PAGED_CODE();
        },
        "IRQL_NOT_LESS_OR_EQUAL: pageable code");
}

TEST_F(VerifierDeathTests, FailedAssertionAndBugCheck)
{
    EXPECT_DEATH(ASSERT(1 + 1 == 3), "ASSERTION_FAILURE: 1 \\+ 1 == 3");
    EXPECT_DEATH(KeBugCheckEx(0xC4, 1, 2, 3, 4), "STOP: 0x000000C4");
}
