// System threads, object references, kernel handles, interlocked operations and lists.
#include "KernelTestFixture.h"
#include <platform/kernel_handles.h>
#include <platform/thread.h>
#include <atomic>
#include <thread>
#include <vector>

using namespace kernel_test;

namespace {

struct ThreadTests : KernelTest {};
struct InterlockedTests : KernelTest {};

struct start_record {
    KEVENT started;
    KEVENT proceed;
    KIRQL irql = 0xFF;
    BOOLEAN system = FALSE;
    HANDLE id = nullptr;
    bool after_terminate = false;
};

VOID recording_routine(PVOID context)
{
    auto *record = static_cast<start_record *>(context);
    record->irql = KeGetCurrentIrql();
    record->system = PsIsSystemThread(PsGetCurrentThread());
    record->id = PsGetCurrentThreadId();
    KeSetEvent(&record->started, 0, FALSE);
    KeWaitForSingleObject(&record->proceed, Executive, KernelMode, FALSE, nullptr);
}

VOID terminating_routine(PVOID context)
{
    auto *record = static_cast<start_record *>(context);
    PsTerminateSystemThread(STATUS_SUCCESS);
    record->after_terminate = true;
}

// Starts a system thread; its referenced object, or null.
PVOID start_system_thread(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE handle = nullptr;
    PVOID object = nullptr;
    if (NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context))) {
        ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr);
        ZwClose(handle);
    }
    return object;
}

void init_record(start_record &record)
{
    KeInitializeEvent(&record.started, NotificationEvent, FALSE);
    KeInitializeEvent(&record.proceed, NotificationEvent, FALSE);
}

} // namespace

TEST_F(ThreadTests, SystemThreadRunsAtPassiveAndItsObjectIsSignalledWhenItEnds)
{
    start_record record;
    init_record(record);
    HANDLE handle = nullptr;
    CLIENT_ID client{};
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, &client,
                                                   recording_routine, &record));
    ASSERT_NE(nullptr, handle);
    PVOID object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr));
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));

    KeWaitForSingleObject(&record.started, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(PASSIVE_LEVEL, record.irql);
    EXPECT_TRUE(record.system);
    EXPECT_EQ(client.UniqueThread, record.id);
    EXPECT_NE(PsGetCurrentThreadId(), record.id);
    LARGE_INTEGER zero{};
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero));

    KeSetEvent(&record.proceed, 0, FALSE);
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr));
    ObDereferenceObject(object);
}

// What the machine's quiescence sees of a system thread that waits for all of two events, then
// for a third with a deadline on the manual clock, and runs (spins) between its waits; and of
// a DPC that runs.
struct quiet_record {
    KEVENT first, second, third;
    std::atomic<int> phase{0}; // the wait the thread has passed
    std::atomic<bool> hold{true};
};

VOID quiet_routine(PVOID context)
{
    auto *r = static_cast<quiet_record *>(context);
    PVOID both[2] = {&r->first, &r->second};
    KWAIT_BLOCK blocks[2];
    KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE, nullptr, blocks);
    r->phase = 1;
    while (r->hold.exchange(true)) {
    }
    LARGE_INTEGER timeout = relative_ms(10);
    KeWaitForSingleObject(&r->third, Executive, KernelMode, FALSE, &timeout);
    r->phase = 2;
    while (r->hold.exchange(true)) {
    }
    KeWaitForSingleObject(&r->third, Executive, KernelMode, FALSE, nullptr);
}

std::atomic<bool> g_dpc_hold{false};

VOID holding_dpc(PKDPC, PVOID, PVOID, PVOID)
{
    while (g_dpc_hold) {
    }
}

TEST_F(ThreadTests, MachineIsQuiescentOnlyWhileEveryStartedOrJoinedThreadIsBlockedAndNoDpcRuns)
{
    platform::clock_use_manual(true);
    EXPECT_TRUE(eventually([] { return platform::machine_quiescent(); })) << "a booted machine rests";
    quiet_record r;
    KeInitializeEvent(&r.first, NotificationEvent, FALSE);
    KeInitializeEvent(&r.second, NotificationEvent, FALSE);
    KeInitializeEvent(&r.third, NotificationEvent, FALSE);
    PVOID object = start_system_thread(quiet_routine, &r);
    ASSERT_NE(nullptr, object);

    EXPECT_TRUE(eventually([] { return platform::machine_quiescent(); })) << "blocked on two events";
    KeSetEvent(&r.first, 0, FALSE);
    EXPECT_TRUE(platform::machine_quiescent()) << "one of all the objects is not enough";
    KeSetEvent(&r.second, 0, FALSE);
    EXPECT_FALSE(platform::machine_quiescent()) << "satisfied, then running";
    EXPECT_TRUE(eventually([&] { return r.phase == 1; }));
    EXPECT_FALSE(platform::machine_quiescent()) << "running";
    r.hold = false;
    EXPECT_TRUE(eventually([] { return platform::machine_quiescent(); })) << "blocked until its deadline";
    platform::clock_advance(10 * platform::ticks_per_ms);
    EXPECT_FALSE(platform::machine_quiescent()) << "the deadline is due";
    EXPECT_TRUE(eventually([&] { return r.phase == 2; }));
    r.hold = false;
    EXPECT_TRUE(eventually([] { return platform::machine_quiescent(); }));

    KDPC dpc;
    KeInitializeDpc(&dpc, holding_dpc, nullptr);
    g_dpc_hold = true;
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_FALSE(platform::machine_quiescent()) << "a DPC queued or running";
    g_dpc_hold = false;
    KeFlushQueuedDpcs();
    EXPECT_TRUE(eventually([] { return platform::machine_quiescent(); }));

    KeSetEvent(&r.third, 0, FALSE);
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr));
    ObDereferenceObject(object);
    platform::clock_use_manual(false);

    // A thread from outside that joins the machine counts while it runs, not once it waits.
    EXPECT_TRUE(eventually([] { return platform::machine_quiescent(); }));
    std::atomic<bool> joined{false};
    KEVENT leave;
    KeInitializeEvent(&leave, NotificationEvent, FALSE);
    std::thread outside([&] {
        platform::thread_join_machine();
        joined = true;
        while (r.hold.exchange(true)) {
        }
        KeWaitForSingleObject(&leave, Executive, KernelMode, FALSE, nullptr);
        platform::thread_leave_machine();
        while (joined) {
        }
    });
    ASSERT_TRUE(eventually([&] { return joined.load(); }));
    EXPECT_FALSE(platform::machine_quiescent()) << "a joined thread that runs";
    r.hold = false;
    EXPECT_TRUE(eventually([] { return platform::machine_quiescent(); })) << "a joined thread that waits";
    KeSetEvent(&leave, 0, FALSE);
    EXPECT_TRUE(eventually([] { return platform::machine_quiescent(); })) << "a thread that left runs outside";
    joined = false;
    outside.join();
}

TEST_F(ThreadTests, TerminateSystemThreadEndsTheThreadAtOnce)
{
    start_record record;
    PVOID object = start_system_thread(terminating_routine, &record);
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr));
    EXPECT_FALSE(record.after_terminate);
    ObDereferenceObject(object);
}

TEST_F(ThreadTests, WaitAnyOverThreadObjectsReturnsTheOneThatEnded)
{
    start_record first;
    start_record second;
    init_record(first);
    init_record(second);
    HANDLE handles[2];
    PVOID objects[2];
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handles[0], THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                                   recording_routine, &first));
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handles[1], THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                                   recording_routine, &second));
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(STATUS_SUCCESS,
                  ObReferenceObjectByHandle(handles[i], SYNCHRONIZE, nullptr, KernelMode, &objects[i], nullptr));
        ZwClose(handles[i]);
    }
    KeSetEvent(&second.proceed, 0, FALSE);
    EXPECT_EQ(STATUS_WAIT_1, KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                                      nullptr));
    KeSetEvent(&first.proceed, 0, FALSE);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr,
                                                       nullptr));
    ObDereferenceObject(objects[0]);
    ObDereferenceObject(objects[1]);
}

TEST_F(ThreadTests, HandleLookupFailuresAreReported)
{
    int dummy = 0;
    HANDLE other = platform::kernel_handle_insert(&dummy, platform::kernel_handle_type::registry_key, nullptr);
    PVOID object = &dummy;
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
              ObReferenceObjectByHandle(other, 0, *PsThreadType, KernelMode, &object, nullptr));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(other));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, *PsThreadType,
                                                               KernelMode, &object, nullptr));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(reinterpret_cast<HANDLE>(0x1234)));
}

TEST_F(ThreadTests, CurrentThreadPseudoHandleAndPriority)
{
    PVOID object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(NtCurrentThread(), 0, *PsThreadType, KernelMode, &object, nullptr));
    EXPECT_EQ(static_cast<PVOID>(KeGetCurrentThread()), object);
    const KPRIORITY original = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    EXPECT_EQ(LOW_REALTIME_PRIORITY, KeSetPriorityThread(KeGetCurrentThread(), original));
    EXPECT_EQ(original, KeQueryPriorityThread(KeGetCurrentThread()));
    ObDereferenceObject(object);
}

TEST_F(ThreadTests, ShutdownClosesHandlesLeftOpen)
{
    static std::atomic<int> closed{0};
    closed = 0;
    int dummy = 0;
    platform::kernel_handle_insert(&dummy, platform::kernel_handle_type::event, [](void *) { closed += 1; });
    platform::machine_shutdown();
    EXPECT_EQ(1, closed.load());
    platform::machine_boot();
}

TEST_F(InterlockedTests, OperationsReturnWhatWindowsReturns)
{
    volatile LONG value = 5;
    EXPECT_EQ(6, InterlockedIncrement(&value));
    EXPECT_EQ(5, InterlockedDecrement(&value));
    EXPECT_EQ(5, InterlockedExchangeAdd(&value, 10));
    EXPECT_EQ(15, InterlockedExchange(&value, 3));
    EXPECT_EQ(3, InterlockedCompareExchange(&value, 9, 4)) << "no exchange when the comparand differs";
    EXPECT_EQ(3, value);
    EXPECT_EQ(3, InterlockedCompareExchange(&value, 9, 3));
    EXPECT_EQ(9, value);
    EXPECT_EQ(9, InterlockedAnd(&value, 1));
    EXPECT_EQ(1, InterlockedOr(&value, 6));
    EXPECT_EQ(7, value);
    volatile LONG64 wide = 0x100000000LL;
    EXPECT_EQ(0x100000001LL, InterlockedIncrement64(&wide));
    EXPECT_EQ(0x100000001LL, InterlockedCompareExchange64(&wide, 1, 0x100000001LL));
    EXPECT_EQ(1, wide);
    PVOID volatile pointer = nullptr;
    int target = 0;
    EXPECT_EQ(nullptr, InterlockedCompareExchangePointer(&pointer, &target, nullptr));
    EXPECT_EQ(&target, InterlockedExchangePointer(&pointer, nullptr));
}

TEST_F(InterlockedTests, SListIsLastInFirstOutWithItsDepth)
{
    SLIST_HEADER head;
    InitializeSListHead(&head);
    SLIST_ENTRY entries[3];
    EXPECT_EQ(nullptr, InterlockedPopEntrySList(&head));
    EXPECT_EQ(nullptr, InterlockedPushEntrySList(&head, &entries[0]));
    EXPECT_EQ(&entries[0], InterlockedPushEntrySList(&head, &entries[1]));
    InterlockedPushEntrySList(&head, &entries[2]);
    EXPECT_EQ(3, QueryDepthSList(&head));
    EXPECT_EQ(&entries[2], InterlockedPopEntrySList(&head));
    PSLIST_ENTRY rest = InterlockedFlushSList(&head);
    EXPECT_EQ(&entries[1], rest);
    EXPECT_EQ(&entries[0], rest->Next);
    EXPECT_EQ(0, QueryDepthSList(&head));
    EXPECT_EQ(nullptr, InterlockedPopEntrySList(&head));
}

TEST_F(InterlockedTests, SListLosesNoEntryUnderConcurrentUse)
{
    SLIST_HEADER head;
    InitializeSListHead(&head);
    constexpr int per_thread = 2000;
    constexpr int threads = 4;
    std::vector<SLIST_ENTRY> entries(per_thread * threads);
    std::atomic<int> popped{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                InterlockedPushEntrySList(&head, &entries[t * per_thread + i]);
                if (i % 2 == 1 && InterlockedPopEntrySList(&head) != nullptr) {
                    popped += 1;
                }
            }
        });
    }
    for (auto &w : workers) {
        w.join();
    }
    int remaining = 0;
    for (PSLIST_ENTRY e = InterlockedFlushSList(&head); e != nullptr; e = e->Next) {
        ++remaining;
    }
    EXPECT_EQ(per_thread * threads, popped.load() + remaining);
}
