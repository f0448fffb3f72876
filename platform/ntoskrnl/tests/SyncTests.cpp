// Spin locks, events, mutexes, semaphores, fast mutexes and the waits on them.
#include "KernelTestFixture.h"
#include <atomic>
#include <vector>

using namespace kernel_test;

namespace {

struct SpinLockTests : KernelTest {};
struct WaitTests : KernelTest {};

LARGE_INTEGER zero_timeout()
{
    LARGE_INTEGER t;
    t.QuadPart = 0;
    return t;
}

} // namespace

TEST_F(SpinLockTests, AcquireRaisesToDispatchAndReleaseRestoresTheIrql)
{
    KSPIN_LOCK a;
    KSPIN_LOCK b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old = 0xFF;
    KeAcquireSpinLock(&a, &old);
    EXPECT_EQ(PASSIVE_LEVEL, old);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    EXPECT_FALSE(KeTestSpinLock(&a));
    KeAcquireSpinLockAtDpcLevel(&b);
    EXPECT_EQ(2u, platform::verifier_spin_locks_held());
    KeReleaseSpinLockFromDpcLevel(&b);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    KeReleaseSpinLock(&a, old);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    EXPECT_TRUE(KeTestSpinLock(&a));

    KeRaiseIrql(APC_LEVEL, &old);
    KIRQL inner;
    KeAcquireSpinLock(&a, &inner);
    EXPECT_EQ(APC_LEVEL, inner);
    KeReleaseSpinLock(&a, inner);
    EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());
    KeLowerIrql(old);
}

TEST_F(SpinLockTests, QueuedLocksNestAndRestoreInReverseOrder)
{
    KSPIN_LOCK a;
    KSPIN_LOCK b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KLOCK_QUEUE_HANDLE ha;
    KLOCK_QUEUE_HANDLE hb;
    KeAcquireInStackQueuedSpinLock(&a, &ha);
    EXPECT_EQ(PASSIVE_LEVEL, ha.OldIrql);
    KeAcquireInStackQueuedSpinLock(&b, &hb);
    EXPECT_EQ(DISPATCH_LEVEL, hb.OldIrql);
    KeReleaseInStackQueuedSpinLock(&hb);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    KeReleaseInStackQueuedSpinLock(&ha);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(SpinLockTests, ProtectsDataAcrossThreads)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ULONG counter = 0; // deliberately not atomic: the lock alone protects it
    constexpr int threads = 4;
    constexpr int rounds = 20000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
                if ((i + t) % 2 == 0) {
                    KIRQL old;
                    KeAcquireSpinLock(&lock, &old);
                    counter = counter + 1;
                    KeReleaseSpinLock(&lock, old);
                } else {
                    KLOCK_QUEUE_HANDLE handle;
                    KeAcquireInStackQueuedSpinLock(&lock, &handle);
                    counter = counter + 1;
                    KeReleaseInStackQueuedSpinLock(&handle);
                }
            }
        });
    }
    for (auto &w : workers) {
        w.join();
    }
    EXPECT_EQ((ULONG)(threads * rounds), counter);
}

TEST_F(SpinLockTests, TryAcquireFailsWhileAnotherThreadHoldsTheLock)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        held = true;
        while (!release) {
            std::this_thread::yield();
        }
        KeReleaseSpinLock(&lock, old);
    });
    ASSERT_TRUE(eventually([&] { return held.load(); }));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
    release = true;
    holder.join();
    EXPECT_TRUE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
}

TEST_F(SpinLockTests, InterlockedListsReturnThePreviousFirstEntry)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head;
    LIST_ENTRY e1;
    LIST_ENTRY e2;
    InitializeListHead(&head);
    EXPECT_EQ(nullptr, ExInterlockedInsertTailList(&head, &e1, &lock));
    EXPECT_EQ(&e1, ExInterlockedInsertTailList(&head, &e2, &lock));
    EXPECT_EQ(&e1, ExInterlockedRemoveHeadList(&head, &lock));
    EXPECT_EQ(&e2, ExInterlockedRemoveHeadList(&head, &lock));
    EXPECT_EQ(nullptr, ExInterlockedRemoveHeadList(&head, &lock));
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(WaitTests, WaitAnyReturnsTheLowestSignalledIndex)
{
    KEVENT events[3];
    KeInitializeEvent(&events[0], NotificationEvent, FALSE);
    KeInitializeEvent(&events[1], SynchronizationEvent, TRUE);
    KeInitializeEvent(&events[2], NotificationEvent, TRUE);
    PVOID objects[] = {&events[0], &events[1], &events[2]};
    LARGE_INTEGER timeout = zero_timeout();
    EXPECT_EQ(STATUS_WAIT_1, KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &timeout,
                                                      nullptr));
    EXPECT_EQ(0, KeReadStateEvent(&events[1])) << "the satisfied synchronization event resets";
    EXPECT_EQ(1, KeReadStateEvent(&events[2])) << "the other object is untouched";
    EXPECT_EQ(STATUS_WAIT_0 + 2, KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE,
                                                          &timeout, nullptr));
}

TEST_F(WaitTests, WaitAllTakesNothingUntilEveryObjectIsSignalled)
{
    KSEMAPHORE semaphore;
    KEVENT event;
    KeInitializeSemaphore(&semaphore, 1, 4);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PVOID objects[] = {&semaphore, &event};
    LARGE_INTEGER timeout = zero_timeout();
    EXPECT_EQ(STATUS_TIMEOUT,
              KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr));
    EXPECT_EQ(1, KeReadStateSemaphore(&semaphore));
    EXPECT_EQ(0, KeSetEvent(&event, 0, FALSE));
    EXPECT_EQ(STATUS_SUCCESS,
              KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr));
    EXPECT_EQ(0, KeReadStateSemaphore(&semaphore));
}

TEST_F(WaitTests, MoreThanThreeObjectsNeedAWaitBlockArray)
{
    KEVENT events[5];
    PVOID objects[5];
    for (int i = 0; i < 5; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, i == 4);
        objects[i] = &events[i];
    }
    KWAIT_BLOCK blocks[5];
    LARGE_INTEGER timeout = zero_timeout();
    EXPECT_EQ(STATUS_WAIT_0 + 4,
              KeWaitForMultipleObjects(5, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, blocks));
}

TEST_F(WaitTests, EventsReportTheirPreviousState)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(0, KeSetEvent(&event, 0, FALSE));
    EXPECT_EQ(1, KeSetEvent(&event, 0, FALSE));
    EXPECT_EQ(1, KeResetEvent(&event));
    EXPECT_EQ(0, KeResetEvent(&event));
    KeSetEvent(&event, 0, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(0, KeReadStateEvent(&event));
}

TEST_F(WaitTests, SetEventWakesAWaitingThread)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] { status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    KeSetEvent(&event, 0, FALSE);
    waiter.join();
    EXPECT_EQ(STATUS_WAIT_0, status);
    EXPECT_EQ(0, KeReadStateEvent(&event));
}

TEST_F(WaitTests, MutexIsRecursiveForItsOwnerAndExcludesOthers)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(1, KeReadStateMutex(&mutex));
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(-1, KeReadStateMutex(&mutex));

    NTSTATUS other = STATUS_PENDING;
    std::thread([&] {
        LARGE_INTEGER timeout = zero_timeout();
        other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &timeout);
    }).join();
    EXPECT_EQ(STATUS_TIMEOUT, other);

    EXPECT_EQ(-1, KeReleaseMutex(&mutex, FALSE));
    EXPECT_EQ(0, KeReleaseMutex(&mutex, FALSE));
    EXPECT_EQ(1, KeReadStateMutex(&mutex));
}

TEST_F(WaitTests, MutexLeftByAnEndedThreadIsAbandoned)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    std::thread([&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); }).join();
    EXPECT_EQ(STATUS_ABANDONED, KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(0, KeReleaseMutex(&mutex, FALSE));
}

TEST_F(WaitTests, SemaphoreCountsAndReportsThePreviousCount)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 3);
    EXPECT_EQ(0, KeReleaseSemaphore(&semaphore, 0, 2, FALSE));
    EXPECT_EQ(2, KeReadStateSemaphore(&semaphore));
    LARGE_INTEGER timeout = zero_timeout();
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(0, KeReleaseSemaphore(&semaphore, 0, 3, FALSE));
    EXPECT_EQ(3, KeReadStateSemaphore(&semaphore));
}

TEST_F(WaitTests, ZeroTimeoutWaitIsAllowedAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER timeout = zero_timeout();
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    KeClearEvent(&event);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    KeLowerIrql(old);
}

TEST_F(WaitTests, RelativeTimeoutFollowsTheManualClock)
{
    platform::clock_use_manual(true);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    LONGLONG called_at = 0;
    LONGLONG returned_at = 0;
    std::thread waiter([&] {
        LARGE_INTEGER timeout = relative_ms(100);
        called_at = platform::clock_now();
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        returned_at = platform::clock_now();
        done = true;
    });
    EXPECT_TRUE(advance_until([&] { return done.load(); }, 10 * platform::ticks_per_ms));
    waiter.join();
    EXPECT_EQ(STATUS_TIMEOUT, status);
    EXPECT_GE(returned_at, called_at + 100 * platform::ticks_per_ms) << "no timeout before the manual clock got there";
}

TEST_F(WaitTests, AbsoluteTimeoutIsSystemTime)
{
    platform::clock_use_manual(true);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER deadline;
    deadline.QuadPart = now.QuadPart + 50 * platform::ticks_per_ms;
    const LONGLONG start = platform::clock_now();
    LONGLONG returned_at = 0;
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] {
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline);
        returned_at = platform::clock_now();
    });
    platform::clock_advance(50 * platform::ticks_per_ms);
    waiter.join();
    EXPECT_EQ(STATUS_TIMEOUT, status);
    EXPECT_EQ(start + 50 * platform::ticks_per_ms, returned_at);
}

TEST_F(WaitTests, DelayExecutionReturnsSuccessAfterTheInterval)
{
    platform::clock_use_manual(true);
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    LONGLONG called_at = 0;
    LONGLONG returned_at = 0;
    std::thread sleeper([&] {
        LARGE_INTEGER interval = relative_ms(10);
        called_at = platform::clock_now();
        status = KeDelayExecutionThread(KernelMode, FALSE, &interval);
        returned_at = platform::clock_now();
        done = true;
    });
    EXPECT_TRUE(advance_until([&] { return done.load(); }, platform::ticks_per_ms));
    sleeper.join();
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_GE(returned_at, called_at + 10 * platform::ticks_per_ms);
}

TEST_F(WaitTests, FastMutexExcludesAndRaisesToApcLevel)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ULONG counter = 0;
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                ExAcquireFastMutex(&mutex);
                EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());
                counter = counter + 1;
                ExReleaseFastMutex(&mutex);
            }
            EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
        });
    }
    for (auto &w : workers) {
        w.join();
    }
    EXPECT_EQ(8000u, counter);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
    std::thread([&] {
        EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex));
        EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    }).join();
    ExReleaseFastMutex(&mutex);
}
