// Simulated processes: an abrupt end releases what the process held; CreateProcessW starts a
// program module as a process or records the request.
#include "Kernel32Test.h"
#include <platform/process.h>
#include <platform/win32_handles.h>
#include <platform/win32_system.h>
#include <atomic>

namespace {

using ProcessTests = Kernel32Test;

std::atomic<int> g_ended_processes{0};
platform::process_end_hook g_end_hook("kernel32 tests", [](platform::process *) { g_ended_processes.fetch_add(1); });

struct inside_context {
    std::atomic<bool> holding{false};
    std::atomic<bool> returned_from_wait{false};
};

TEST_F(ProcessTests, KilledProcessAbandonsItsMutexesAndClosesItsHandles)
{
    platform::process *p = platform::process_create(L"panel.exe", L"panel.exe");
    inside_context ctx;
    platform::thread *t = platform::process_start_thread(p, [&ctx] {
        HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Global\\owned-by-victim");
        HANDLE own_event = CreateEventW(nullptr, TRUE, FALSE, L"victim-only");
        ctx.holding = mutex != nullptr && own_event != nullptr;
        WaitForSingleObject(own_event, INFINITE);
        ctx.returned_from_wait = true;
    });
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(eventually([&] { return ctx.holding.load(); }));
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\owned-by-victim");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(platform::win32_handle_count(p), 2u);
    const int ended_before = g_ended_processes.load();

    platform::process_terminate(p, 9);

    EXPECT_EQ(WaitForSingleObject(mutex, 10000), (DWORD)WAIT_ABANDONED) << "the next waiter owns it";
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(platform::process_wait_threads(p, 10000));
    EXPECT_FALSE(ctx.returned_from_wait.load()) << "the thread unwound from its wait";
    EXPECT_EQ(t->exit_code, 9u);
    EXPECT_EQ(platform::win32_handle_count(p), 0u);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"victim-only"), nullptr) << "its last handle was the victim's";
    EXPECT_EQ(g_ended_processes.load(), ended_before + 1);
    EXPECT_EQ(platform::process_start_thread(p, [] {}), nullptr) << "an ended process starts no thread";
    CloseHandle(mutex);
    platform::thread_dereference(t);
    platform::process_dereference(p);
}

TEST_F(ProcessTests, BusyThreadOfAKilledProcessUnwindsAtItsNextWait)
{
    platform::process *p = platform::process_create(L"host.exe", L"host.exe");
    std::atomic<bool> go{false};
    std::atomic<bool> running{false};
    std::atomic<bool> passed_sleep{false};
    platform::thread *t = platform::process_start_thread(p, [&] {
        running = true;
        while (!go.load()) {
        }
        Sleep(0);
        passed_sleep = true;
    });
    ASSERT_TRUE(eventually([&] { return running.load(); }));
    platform::process_terminate(p, 4);
    go = true;
    EXPECT_TRUE(platform::process_wait_threads(p, 10000));
    EXPECT_FALSE(passed_sleep.load());
    platform::thread_dereference(t);
    platform::process_dereference(p);
}

TEST_F(ProcessTests, CreateProcessRunsAProgramModuleAsANewProcess)
{
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, L"k32testprogram-started");
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"k32testprogram-release");
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    WCHAR command_line[] = L"\"C:\\Program Files\\Orvan\\k32testprogram.exe\" -tray";
    ASSERT_TRUE(CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE,
                               CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &info));
    EXPECT_NE(info.dwProcessId, GetCurrentProcessId());
    EXPECT_EQ(GetProcessId(info.hProcess), info.dwProcessId);
    EXPECT_EQ(GetThreadId(info.hThread), info.dwThreadId);
    ASSERT_EQ(WaitForSingleObject(started, 10000), WAIT_OBJECT_0) << "wWinMain saw its instance and arguments";
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    EXPECT_TRUE(platform::process_launch_records().empty());

    SetEvent(release);
    ASSERT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(info.hThread, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 3u);
    EXPECT_TRUE(GetExitCodeThread(info.hThread, &code));
    EXPECT_EQ(code, 3u);
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_TRUE(CloseHandle(info.hProcess));
    CloseHandle(started);
    CloseHandle(release);
}

TEST_F(ProcessTests, TerminateProcessEndsAProgramAndAbandonsWhatItOwned)
{
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, L"k32testprogram-started");
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"k32testprogram-release");
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    WCHAR command_line[] = L"k32testprogram -tray";
    ASSERT_TRUE(CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    ASSERT_EQ(WaitForSingleObject(started, 10000), WAIT_OBJECT_0);
    HANDLE owned = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\k32testprogram-owned");
    ASSERT_NE(owned, nullptr);

    EXPECT_TRUE(TerminateProcess(info.hProcess, 5));
    EXPECT_EQ(WaitForSingleObject(owned, 10000), (DWORD)WAIT_ABANDONED);
    ASSERT_EQ(WaitForSingleObject(info.hThread, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 5u);
    EXPECT_FALSE(TerminateProcess(GetCurrentProcess(), 1)) << "the host's own process is not ended";
    ReleaseMutex(owned);
    CloseHandle(owned);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    CloseHandle(started);
    CloseHandle(release);
}

TEST_F(ProcessTests, UnknownProgramIsRecordedAndSucceedsOrFailsAsConfigured)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    WCHAR command_line[] = L"C:\\Windows\\notthere.exe /x";
    ASSERT_TRUE(CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE, 0x30, nullptr, nullptr, &startup, &info));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);

    platform::process_set_launch_result(false, ERROR_FILE_NOT_FOUND);
    PROCESS_INFORMATION untouched{};
    EXPECT_FALSE(CreateProcessW(L"C:\\Windows\\other.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &startup, &untouched));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(untouched.hProcess, nullptr);

    const auto records = platform::process_launch_records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].command_line, L"C:\\Windows\\notthere.exe /x");
    EXPECT_EQ(records[0].creation_flags, 0x30u);
    EXPECT_EQ(records[1].application_name, L"C:\\Windows\\other.exe");
}

} // namespace
