// Threads and waits: suspended start, termination, exit codes, priorities, the thread-local
// last error, user APCs in alertable waits, critical sections and the manual clock.
#include "Kernel32Test.h"
#include <mmsystem.h>
#include <avrt.h>
#include <platform/process.h>
#include <platform/realtime_processor.h>
#include <platform/thread.h>
#include <atomic>
#include <sched.h>

namespace {

using ThreadTests = Kernel32Test;

std::atomic<int> g_runs{0};

DWORD WINAPI count_run(LPVOID parameter)
{
    g_runs.fetch_add(1);
    return (DWORD)(ULONG_PTR)parameter;
}

TEST_F(ThreadTests, SuspendedThreadRunsOnlyAfterItsLastResume)
{
    g_runs = 0;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, count_run, (LPVOID)(ULONG_PTR)42, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(GetThreadId(thread), id);
    EXPECT_EQ(SuspendThread(thread), 1u);
    EXPECT_EQ(ResumeThread(thread), 2u);
    EXPECT_EQ(WaitForSingleObject(thread, 0), (DWORD)WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    EXPECT_EQ(g_runs.load(), 0);

    EXPECT_EQ(ResumeThread(thread), 1u);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(g_runs.load(), 1);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(ResumeThread(thread), 0u);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST_F(ThreadTests, TerminatingANeverResumedThreadEndsItWithoutRunningIt)
{
    g_runs = 0;
    HANDLE thread = CreateThread(nullptr, 0, count_run, nullptr, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(TerminateThread(thread, 0));
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD code = 99;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(g_runs.load(), 0);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST_F(ThreadTests, TerminatingAWaitingThreadEndsItAndAbandonsItsMutex)
{
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    struct context {
        HANDLE mutex;
        HANDLE never;
        std::atomic<bool> holding{false};
    } ctx{mutex, never};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            auto *c = static_cast<context *>(parameter);
            WaitForSingleObject(c->mutex, INFINITE);
            c->holding = true;
            WaitForSingleObject(c->never, INFINITE);
            return 7;
        },
        &ctx, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(eventually([&] { return ctx.holding.load(); }));

    EXPECT_TRUE(TerminateThread(thread, 1));
    EXPECT_EQ(WaitForSingleObject(mutex, 10000), (DWORD)WAIT_ABANDONED);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 1u);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(thread);
    CloseHandle(mutex);
    CloseHandle(never);
}

TEST_F(ThreadTests, ExitThreadSetsTheExitCode)
{
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { ExitThread((DWORD)-1); }, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, (DWORD)-1);
    CloseHandle(thread);
}

TEST_F(ThreadTests, PrioritiesAreKeptPerThread)
{
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 7));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
}

struct scheduling_seen {
    KPRIORITY priority = 0;
    bool realtime = false;
    int policy = -1;
    int processors = 0; // processors the thread may run on
};

scheduling_seen scheduling_now()
{
    scheduling_seen seen;
    seen.priority = platform::current_thread()->priority;
    seen.realtime = platform::current_thread()->realtime.load();
    seen.policy = sched_getscheduler(0);
    cpu_set_t set;
    CPU_ZERO(&set);
    seen.processors = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : -1;
    return seen;
}

// A multimedia task runs in the real-time priority range, and in the OS real-time class where
// the process may use it; reverting the task gives the thread its earlier priority back.
DWORD WINAPI run_as_pro_audio_task(LPVOID parameter)
{
    auto *seen = static_cast<scheduling_seen *>(parameter);
    DWORD index = 0;
    HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &index);
    if (task == nullptr) {
        return 1;
    }
    seen[0] = scheduling_now();
    AvSetMmThreadPriority(task, AVRT_PRIORITY_HIGH);
    seen[1] = scheduling_now();
    AvRevertMmThreadCharacteristics(task);
    seen[2] = scheduling_now();
    return 0;
}

TEST_F(ThreadTests, MultimediaTaskRunsInTheRealTimeRangeUntilReverted)
{
    scheduling_seen seen[3];
    HANDLE thread = CreateThread(nullptr, 0, run_as_pro_audio_task, seen, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    CloseHandle(thread);
    ASSERT_EQ(code, 0u);
    EXPECT_EQ(seen[0].priority, 23);
    EXPECT_EQ(seen[1].priority, 23 + AVRT_PRIORITY_HIGH);
    // In the real-time class the thread shares the machine's real-time processor.
    const int all = scheduling_now().processors;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].policy, seen[i].realtime ? SCHED_FIFO : SCHED_OTHER);
        EXPECT_EQ(seen[i].processors, seen[i].realtime && platform::realtime_processor_in_use() ? 1 : all);
    }
    EXPECT_EQ(seen[2].priority, 8);
    EXPECT_FALSE(seen[2].realtime);
    EXPECT_EQ(seen[2].policy, SCHED_OTHER);
    EXPECT_EQ(seen[2].processors, all);
}

TEST_F(ThreadTests, LastErrorBelongsToEachThread)
{
    SetLastError(5);
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            const DWORD initial = GetLastError();
            SetLastError(77);
            return initial;
        },
        nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(GetLastError(), 5u);
    CloseHandle(thread);
}

struct apc_context {
    HANDLE ready;
    HANDLE never;
    std::atomic<int> apcs{0};
    std::atomic<DWORD> alertable_result{0};
    std::atomic<DWORD> plain_result{0};
};

TEST_F(ThreadTests, QueuedApcRunsOnlyInAnAlertableWait)
{
    apc_context ctx;
    ctx.ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ctx.never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            auto *c = static_cast<apc_context *>(parameter);
            WaitForSingleObject(c->ready, INFINITE);
            c->plain_result = WaitForSingleObject(c->never, 0);
            const HANDLE both[] = {c->never, c->never};
            c->alertable_result = WaitForMultipleObjectsEx(2, both, FALSE, INFINITE, TRUE);
            return 0;
        },
        &ctx, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_NE(QueueUserAPC([](ULONG_PTR data) { reinterpret_cast<apc_context *>(data)->apcs.fetch_add(1); },
                           thread, (ULONG_PTR)&ctx),
              0u);
    SetEvent(ctx.ready);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ctx.plain_result.load(), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(ctx.alertable_result.load(), (DWORD)WAIT_IO_COMPLETION);
    EXPECT_EQ(ctx.apcs.load(), 1);
    EXPECT_EQ(QueueUserAPC([](ULONG_PTR) {}, nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(thread);
    CloseHandle(ctx.ready);
    CloseHandle(ctx.never);
}

TEST_F(ThreadTests, CriticalSectionIsRecursiveAndExclusive)
{
    CRITICAL_SECTION section;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 4000));
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    std::atomic<int> other{-1};
    std::thread([&] { other = TryEnterCriticalSection(&section); }).join();
    EXPECT_EQ(other.load(), FALSE);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    std::thread([&] {
        other = TryEnterCriticalSection(&section);
        if (other) {
            LeaveCriticalSection(&section);
        }
    }).join();
    EXPECT_EQ(other.load(), TRUE);

    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EnterCriticalSection(&section);
    std::thread waiter([&] {
        EnterCriticalSection(&section);
        SetEvent(entered);
        LeaveCriticalSection(&section);
    });
    EXPECT_EQ(WaitForSingleObject(entered, 0), (DWORD)WAIT_TIMEOUT);
    LeaveCriticalSection(&section);
    EXPECT_EQ(WaitForSingleObject(entered, 10000), WAIT_OBJECT_0);
    waiter.join();
    DeleteCriticalSection(&section);
    CloseHandle(entered);
}

TEST_F(ThreadTests, SlimLockIsExclusiveAndNotRecursive)
{
    SRWLOCK lock = SRWLOCK_INIT;
    AcquireSRWLockExclusive(&lock);
    EXPECT_FALSE(TryAcquireSRWLockExclusive(&lock)) << "not recursive";
    std::atomic<int> other{-1};
    std::thread([&] { other = TryAcquireSRWLockExclusive(&lock); }).join();
    EXPECT_EQ(other.load(), FALSE);

    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread waiter([&] {
        AcquireSRWLockExclusive(&lock);
        SetEvent(entered);
        ReleaseSRWLockExclusive(&lock);
    });
    EXPECT_EQ(WaitForSingleObject(entered, 0), (DWORD)WAIT_TIMEOUT);
    ReleaseSRWLockExclusive(&lock);
    EXPECT_EQ(WaitForSingleObject(entered, 10000), WAIT_OBJECT_0);
    waiter.join();
    EXPECT_TRUE(TryAcquireSRWLockExclusive(&lock));
    ReleaseSRWLockExclusive(&lock);
    InitializeSRWLock(&lock);
    EXPECT_EQ(nullptr, lock.Ptr);
    CloseHandle(entered);
}

TEST_F(ThreadTests, TimedWaitsSleepAndTickCountsFollowTheManualClock)
{
    platform::clock_use_manual(true);
    const DWORD start = timeGetTime();
    EXPECT_EQ(GetTickCount(), start);
    EXPECT_EQ(GetTickCount64(), (ULONGLONG)start);
    LARGE_INTEGER frequency{}, before{}, after{};
    EXPECT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_TRUE(QueryPerformanceCounter(&before));

    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> wait_result{0};
    std::atomic<bool> slept{false};
    std::thread sleeper([&] {
        Sleep(100);
        slept = true;
        wait_result = WaitForSingleObject(never, 50);
    });
    ASSERT_TRUE(advance_until([&] { return slept.load(); }));
    EXPECT_GE(timeGetTime() - start, 100u);
    ASSERT_TRUE(advance_until([&] { return wait_result.load() != 0; }));
    EXPECT_EQ(wait_result.load(), (DWORD)WAIT_TIMEOUT);
    EXPECT_GE(timeGetTime() - start, 150u);
    sleeper.join();
    EXPECT_TRUE(QueryPerformanceCounter(&after));
    EXPECT_EQ((after.QuadPart - before.QuadPart) * 1000 / frequency.QuadPart, (LONGLONG)(timeGetTime() - start));
    CloseHandle(never);
}

TEST_F(ThreadTests, AlertableSleepReturnsWhenAnApcRan)
{
    std::atomic<bool> ran{false};
    HANDLE self = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    QueueUserAPC([](ULONG_PTR data) { reinterpret_cast<std::atomic<bool> *>(data)->store(true); }, self,
                 (ULONG_PTR)&ran);
    EXPECT_EQ(SleepEx(0, FALSE), 0u);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(SleepEx(INFINITE, TRUE), (DWORD)WAIT_IO_COMPLETION);
    EXPECT_TRUE(ran.load());
    CloseHandle(self);
}

TEST_F(ThreadTests, SystemTimeSplitsIntoTheCalendar)
{
    // 29 February 2000, 13:45:30.250 UTC, a Tuesday.
    const ULONGLONG time = 125963055302500000ULL;
    FILETIME file_time{(DWORD)time, (DWORD)(time >> 32)};
    SYSTEMTIME split{};
    ASSERT_TRUE(FileTimeToSystemTime(&file_time, &split));
    EXPECT_EQ(split.wYear, 2000);
    EXPECT_EQ(split.wMonth, 2);
    EXPECT_EQ(split.wDay, 29);
    EXPECT_EQ(split.wDayOfWeek, 2);
    EXPECT_EQ(split.wHour, 13);
    EXPECT_EQ(split.wMinute, 45);
    EXPECT_EQ(split.wSecond, 30);
    EXPECT_EQ(split.wMilliseconds, 250);
}

TEST_F(ThreadTests, ThreadNotCreatedByCreateThreadCanBeEndedThroughItsOwnHandle)
{
    platform::process *p = platform::process_create(L"host.exe", L"host.exe");
    std::atomic<HANDLE> own{nullptr};
    std::atomic<bool> returned{false};
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    platform::thread *t = platform::process_start_thread(p, [&] {
        HANDLE duplicate = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &duplicate, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        own = duplicate;
        WaitForSingleObject(never, INFINITE);
        returned = true;
    });
    ASSERT_TRUE(eventually([&] { return own.load() != nullptr; }));
    EXPECT_TRUE(TerminateThread(own.load(), 6));
    EXPECT_TRUE(platform::process_wait_threads(p, 10000));
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(t->exit_code, 6u);
    platform::thread_dereference(t);
    platform::process_terminate(p, 0);
    platform::process_dereference(p);
    CloseHandle(never);
}

} // namespace
