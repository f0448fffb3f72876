// Message queues across threads: SendMessageW waits for the answer on the window's thread,
// WM_QUIT from another thread ends a message loop, filters of PeekMessageW, and timers on the
// machine clock, killed from another thread.
#include "window_thread.h"
#include <gtest/gtest.h>
#include <platform/clock.h>
#include <platform/machine_state.h>
#include <atomic>

using namespace user32_test;

namespace {

class MessageQueueTest : public ::testing::Test {
protected:
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override { platform::machine_shutdown(); }
};

constexpr UINT WM_TEST_DOUBLE = WM_APP + 1;
constexpr UINT WM_TEST_CALLBACK = WM_APP + 2;

TEST_F(MessageQueueTest, SendMessageAcrossThreadsRunsOnTheWindowThreadAndReturnsItsAnswer)
{
    window_thread target([](UINT msg, WPARAM w, LPARAM, LRESULT *result) {
        if (msg != WM_TEST_DOUBLE) {
            return false;
        }
        *result = (LRESULT)w * 2;
        return true;
    });
    SetLastError(0);
    EXPECT_EQ(SendMessageW(target.hwnd(), WM_TEST_DOUBLE, 21, 0), 42);
    auto seen = target.messages(WM_TEST_DOUBLE);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].thread_id, target.thread_id());
    EXPECT_NE(seen[0].thread_id, platform::current_thread()->id);
}

TEST_F(MessageQueueTest, SenderAnswersMessagesSentBackToItWhileItWaits)
{
    // The receiver sends to a window of the waiting sender before it answers: the sender must
    // handle that nested send, or both threads would wait for ever.
    std::atomic<HWND> sender_window{nullptr};
    window_thread target([&](UINT msg, WPARAM w, LPARAM, LRESULT *result) {
        if (msg != WM_TEST_CALLBACK) {
            return false;
        }
        *result = SendMessageW(sender_window.load(), WM_TEST_DOUBLE, w, 0) + 1;
        return true;
    });

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpszClassName = L"SenderWindow";
    wc.lpfnWndProc = [](HWND h, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
        return msg == WM_TEST_DOUBLE ? (LRESULT)w * 2 : DefWindowProcW(h, msg, w, l);
    };
    ASSERT_NE(RegisterClassExW(&wc), 0);
    HWND own = CreateWindowExW(0, L"SenderWindow", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(own, nullptr);
    sender_window = own;
    EXPECT_EQ(SendMessageW(target.hwnd(), WM_TEST_CALLBACK, 5, 0), 11);
    EXPECT_TRUE(DestroyWindow(own));
}

TEST_F(MessageQueueTest, SendToAMissingWindowFailsWithInvalidWindowHandle)
{
    auto target = std::make_unique<window_thread>();
    HWND gone = target->hwnd();
    ASSERT_TRUE(PostMessageW(gone, WM_QUIT, 0, 0));
    target.reset();
    ASSERT_FALSE(IsWindow(gone));
    SetLastError(0);
    EXPECT_EQ(SendMessageW(gone, WM_TEST_DOUBLE, 1, 0), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(PostMessageW(gone, WM_TEST_DOUBLE, 1, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(MessageQueueTest, QuitPostedFromAnotherThreadEndsTheLoopAndDestroysNothingElse)
{
    auto target = std::make_unique<window_thread>();
    HWND hwnd = target->hwnd();
    ASSERT_TRUE(PostMessageW(hwnd, WM_QUIT, 7, 0));
    target.reset(); // joins the thread: its GetMessageW returned 0
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(MessageQueueTest, PostQuitMessageComesAfterPostedMessagesWithItsExitCode)
{
    MSG msg{};
    ASSERT_TRUE(PostMessageW(nullptr, WM_APP, 1, 0));
    PostQuitMessage(3);
    ASSERT_TRUE(PostMessageW(nullptr, WM_APP, 2, 0));
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, (UINT)WM_APP);
    EXPECT_EQ(msg.wParam, 1u);
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.wParam, 2u);
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.message, (UINT)WM_QUIT);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageQueueTest, PeekMessageRemovesOnlyMessagesInsideTheFilterRange)
{
    MSG msg{};
    ASSERT_TRUE(PostMessageW(nullptr, WM_KEYDOWN, 1, 0));
    ASSERT_TRUE(PostMessageW(nullptr, WM_APP, 2, 0));
    ASSERT_TRUE(PostMessageW(nullptr, WM_LBUTTONDOWN, 3, 0));

    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE));
    EXPECT_EQ(msg.message, (UINT)WM_KEYDOWN);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE));
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_NOREMOVE));
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE));
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE));
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, (UINT)WM_APP);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageQueueTest, WindowTimerTicksOnTheMachineClockUntilKilledFromAnotherThread)
{
    platform::clock_use_manual(true);
    window_thread target;
    // Set and killed from this thread, a thread of the same process as the window's.
    EXPECT_EQ(SetTimer(target.hwnd(), 2, 100, nullptr), 2u);

    platform::clock_advance(99 * platform::ticks_per_ms);
    ASSERT_TRUE(target.sync());
    EXPECT_TRUE(target.messages(WM_TIMER).empty());

    platform::clock_advance(1 * platform::ticks_per_ms);
    ASSERT_TRUE(target.wait_for_count(WM_TIMER, 1));
    auto ticks = target.messages(WM_TIMER);
    EXPECT_EQ(ticks[0].wparam, 2u);
    EXPECT_EQ(ticks[0].thread_id, target.thread_id());

    platform::clock_advance(100 * platform::ticks_per_ms);
    ASSERT_TRUE(target.wait_for_count(WM_TIMER, 2));

    EXPECT_TRUE(KillTimer(target.hwnd(), 2));
    platform::clock_advance(1000 * platform::ticks_per_ms);
    ASSERT_TRUE(target.sync());
    EXPECT_EQ(target.messages(WM_TIMER).size(), 2u);

    SetLastError(0);
    EXPECT_FALSE(KillTimer(target.hwnd(), 2));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(MessageQueueTest, SettingATimerAgainRestartsItsPeriod)
{
    platform::clock_use_manual(true);
    window_thread target;
    ASSERT_NE(SetTimer(target.hwnd(), 1, 100, nullptr), 0u);
    platform::clock_advance(80 * platform::ticks_per_ms);
    ASSERT_NE(SetTimer(target.hwnd(), 1, 100, nullptr), 0u);
    platform::clock_advance(80 * platform::ticks_per_ms);
    ASSERT_TRUE(target.sync());
    EXPECT_TRUE(target.messages(WM_TIMER).empty());
    platform::clock_advance(20 * platform::ticks_per_ms);
    EXPECT_TRUE(target.wait_for_count(WM_TIMER, 1));
}

TEST_F(MessageQueueTest, KillTimerWithoutAWindowOrTimerIsHarmless)
{
    SetLastError(0);
    EXPECT_FALSE(KillTimer(nullptr, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_FALSE(KillTimer((HWND)(ULONG_PTR)0x7777, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(MessageQueueTest, ThreadTimerWithProcedureIsDispatchedToIt)
{
    platform::clock_use_manual(true);
    static std::atomic<int> calls;
    static std::atomic<UINT_PTR> last_id;
    calls = 0;
    const UINT_PTR id = SetTimer(nullptr, 0, 1, [](HWND, UINT msg, UINT_PTR timer_id, DWORD) {
        EXPECT_EQ(msg, (UINT)WM_TIMER);
        last_id = timer_id;
        calls += 1;
    });
    ASSERT_NE(id, 0u);
    MSG msg{};
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    // Periods below the minimum are raised to it.
    platform::clock_advance((USER_TIMER_MINIMUM - 1) * platform::ticks_per_ms);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    platform::clock_advance(1 * platform::ticks_per_ms);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, (UINT)WM_TIMER);
    EXPECT_EQ(msg.hwnd, nullptr);
    DispatchMessageW(&msg);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(last_id.load(), id);
    EXPECT_TRUE(KillTimer(nullptr, id));

    // With the timer gone the same message no longer reaches the procedure.
    DispatchMessageW(&msg);
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(MessageQueueTest, GetMessageWaitsForAMessagePostedLater)
{
    std::atomic<bool> posted{false};
    const DWORD self = GetCurrentThreadId();
    MSG probe{};
    PeekMessageW(&probe, nullptr, 0, 0, PM_NOREMOVE); // makes this thread's queue
    std::thread poster([&] {
        posted = true;
        PostThreadMessageW(self, WM_APP + 9, 9, 0);
    });
    MSG msg{};
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_TRUE(posted.load());
    EXPECT_EQ(msg.message, (UINT)(WM_APP + 9));
    poster.join();
}

} // namespace
