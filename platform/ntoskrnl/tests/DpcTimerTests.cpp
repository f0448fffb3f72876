// DPCs on the DPC thread and timers on the machine clock.
#include "KernelTestFixture.h"
#include <atomic>
#include <platform/thread.h>

using namespace kernel_test;

namespace {

struct DpcTimerTests : KernelTest {};

struct dpc_record {
    std::atomic<int> runs{0};
    std::atomic<KIRQL> irql{0xFF};
    std::atomic<PVOID> context{nullptr};
    std::atomic<PVOID> argument1{nullptr};
    std::atomic<PVOID> argument2{nullptr};
    std::atomic<ULONG> thread_id{0};
};

VOID record_dpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2)
{
    auto *record = static_cast<dpc_record *>(context);
    record->irql = KeGetCurrentIrql();
    record->context = context;
    record->argument1 = argument1;
    record->argument2 = argument2;
    record->thread_id = (ULONG)(ULONG_PTR)PsGetCurrentThreadId();
    record->runs += 1;
}

// Holds the DPC thread until released, so that other DPCs stay queued.
struct dpc_gate {
    std::atomic<bool> entered{false};
    std::atomic<bool> open{false};
};

VOID gate_dpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2)
{
    auto *gate = static_cast<dpc_gate *>(context);
    gate->entered = true;
    while (!gate->open) {
        std::this_thread::yield();
    }
}

} // namespace

TEST_F(DpcTimerTests, DpcRunsAtDispatchLevelOnTheDpcThread)
{
    dpc_record record;
    KDPC dpc;
    KeInitializeDpc(&dpc, record_dpc, &record);
    int a1 = 0;
    int a2 = 0;
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, &a1, &a2));
    KeFlushQueuedDpcs();
    EXPECT_EQ(1, record.runs.load());
    EXPECT_EQ(DISPATCH_LEVEL, record.irql.load());
    EXPECT_EQ(&record, record.context.load());
    EXPECT_EQ(&a1, record.argument1.load());
    EXPECT_EQ(&a2, record.argument2.load());
    EXPECT_NE((ULONG)(ULONG_PTR)PsGetCurrentThreadId(), record.thread_id.load());
}

TEST_F(DpcTimerTests, QueuedDpcIsQueuedOnceAndCanBeRemoved)
{
    dpc_gate gate;
    KDPC blocker;
    KeInitializeDpc(&blocker, gate_dpc, &gate);
    ASSERT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
    ASSERT_TRUE(eventually([&] { return gate.entered.load(); }));

    dpc_record record;
    KDPC dpc;
    KeInitializeDpc(&dpc, record_dpc, &record);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    gate.open = true;
    KeFlushQueuedDpcs();
    EXPECT_EQ(1, record.runs.load());
}

TEST_F(DpcTimerTests, HighImportanceDpcRunsFirst)
{
    dpc_gate gate;
    KDPC blocker;
    KeInitializeDpc(&blocker, gate_dpc, &gate);
    ASSERT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
    ASSERT_TRUE(eventually([&] { return gate.entered.load(); }));
    std::atomic<int> order{0};
    struct ordered {
        std::atomic<int> *order;
        int position = -1;
    } low{&order}, high{&order};
    auto routine = [](PKDPC, PVOID context, PVOID, PVOID) {
        auto *o = static_cast<ordered *>(context);
        o->position = (*o->order)++;
    };
    KDPC low_dpc;
    KDPC high_dpc;
    KeInitializeDpc(&low_dpc, routine, &low);
    KeInitializeDpc(&high_dpc, routine, &high);
    KeSetImportanceDpc(&high_dpc, HighImportance);
    KeInsertQueueDpc(&low_dpc, nullptr, nullptr);
    KeInsertQueueDpc(&high_dpc, nullptr, nullptr);
    gate.open = true;
    KeFlushQueuedDpcs();
    EXPECT_EQ(0, high.position);
    EXPECT_EQ(1, low.position);
}

TEST_F(DpcTimerTests, OneShotTimerSignalsAndQueuesItsDpcAtTheDueTime)
{
    platform::clock_use_manual(true);
    dpc_record record;
    KDPC dpc;
    KeInitializeDpc(&dpc, record_dpc, &record);
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, relative_ms(10), &dpc));
    platform::clock_advance(9 * platform::ticks_per_ms);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    platform::clock_advance(1 * platform::ticks_per_ms);
    ASSERT_TRUE(eventually([&] { return record.runs.load() == 1; }));
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr));
    EXPECT_TRUE(KeReadStateTimer(&timer)) << "a notification timer stays signalled";
    EXPECT_FALSE(KeCancelTimer(&timer)) << "a one-shot timer is no longer set once it fired";
    platform::clock_advance(100 * platform::ticks_per_ms);
    KeFlushQueuedDpcs();
    EXPECT_EQ(1, record.runs.load());
}

TEST_F(DpcTimerTests, PeriodicTimerFiresOncePerPeriod)
{
    platform::clock_use_manual(true);
    dpc_record record;
    KDPC dpc;
    KeInitializeDpc(&dpc, record_dpc, &record);
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimerEx(&timer, relative_ms(10), 10, &dpc);
    constexpr int periods = 5;
    for (int i = 1; i <= periods; ++i) {
        platform::clock_advance(10 * platform::ticks_per_ms);
        ASSERT_TRUE(eventually([&] { return record.runs.load() == i; })) << "period " << i;
    }
    EXPECT_TRUE(KeCancelTimer(&timer));
    platform::clock_advance(100 * platform::ticks_per_ms);
    KeFlushQueuedDpcs();
    EXPECT_EQ(periods, record.runs.load());
}

TEST_F(DpcTimerTests, PeriodicTimerStaysOnItsGridAfterAClockJump)
{
    platform::clock_use_manual(true);
    dpc_record record;
    KDPC dpc;
    KeInitializeDpc(&dpc, record_dpc, &record);
    KTIMER timer;
    KeInitializeTimer(&timer);
    const LONGLONG start = platform::clock_now();
    KeSetTimerEx(&timer, relative_ms(10), 10, &dpc);
    platform::clock_advance(35 * platform::ticks_per_ms);
    ASSERT_TRUE(eventually([&] { return record.runs.load() == 1; }));
    ASSERT_TRUE(eventually([&] { return timer.DueTime.QuadPart == (ULONGLONG)(start + 40 * platform::ticks_per_ms); }));
    platform::clock_advance(5 * platform::ticks_per_ms);
    ASSERT_TRUE(eventually([&] { return record.runs.load() == 2; }));
    KeCancelTimer(&timer);
}

TEST_F(DpcTimerTests, SetTimerReportsWhetherItWasAlreadySet)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimerEx(&timer, relative_ms(60000), 0, nullptr));
    EXPECT_TRUE(KeSetTimerEx(&timer, relative_ms(60000), 0, nullptr));
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST_F(DpcTimerTests, SynchronizationTimerResetsWhenAWaitIsSatisfied)
{
    platform::clock_use_manual(true);
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimer(&timer, relative_ms(1), nullptr);
    platform::clock_advance(platform::ticks_per_ms);
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr));
    EXPECT_FALSE(KeReadStateTimer(&timer));
}

TEST_F(DpcTimerTests, SettingATimerAgainClearsItsSignal)
{
    platform::clock_use_manual(true);
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, relative_ms(1), nullptr);
    platform::clock_advance(platform::ticks_per_ms);
    ASSERT_TRUE(eventually([&] { return KeReadStateTimer(&timer) != FALSE; }));
    KeSetTimer(&timer, relative_ms(1), nullptr);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    KeCancelTimer(&timer);
}

TEST_F(DpcTimerTests, TimerWithAnAbsoluteDueTimeFiresThen)
{
    platform::clock_use_manual(true);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart += 20 * platform::ticks_per_ms;
    KeSetTimer(&timer, due, nullptr);
    platform::clock_advance(19 * platform::ticks_per_ms);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    platform::clock_advance(platform::ticks_per_ms);
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr));
}

TEST_F(DpcTimerTests, ShutdownStopsTheTimerAndDpcThreads)
{
    const ULONG before = platform::thread_running_count();
    KTIMER timer;
    KeInitializeTimer(&timer);
    dpc_record record;
    KDPC dpc;
    KeInitializeDpc(&dpc, record_dpc, &record);
    KeSetTimer(&timer, relative_ms(60000), &dpc);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    platform::machine_shutdown();
    EXPECT_FALSE(timer.Inserted);
    EXPECT_TRUE(eventually([&] { return platform::thread_running_count() <= before; }));
    platform::machine_boot();
}
