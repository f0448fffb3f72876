// The settings-key watcher: one watch thread per processor package plus one, one WM_APP(0) per
// thread for each change of the key, and no thread left once the watcher is gone.
#include <gtest/gtest.h>
#include <windows.h>
#include <platform/win32_system.h>
#include <sim/machine.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include "CplRegUtil.h"
#include "NamedObjects.h"
#include "RegKeyWatcher.h"

namespace {

const WCHAR TargetClass[] = L"CplWatchTarget";

class CountingWatcher : public CRegKeyWatcher {
public:
    ~CountingWatcher() override { Stop(); }
    void OnKeyChanged() override { ++changes; }
    std::atomic<int> changes{0};
};

// The panel's watcher, remembering which watch threads have delivered a change.
class ThreadRecordingNotify : public CRegistryNotify {
public:
    ~ThreadRecordingNotify() override { Stop(); }
    void OnKeyChanged() override
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            threads.insert(GetCurrentThreadId());
        }
        CRegistryNotify::OnKeyChanged();
    }
    size_t distinct_threads()
    {
        std::lock_guard<std::mutex> guard(lock);
        return threads.size();
    }
    std::mutex lock;
    std::set<DWORD> threads;
};

class RegKeyWatcherTests : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_machine = std::make_unique<sim::machine>();
        CCplRegUtil settings;
        DWORD probe = 0;
        settings.GetValue(REGVAL_SAMPLING_RATE, &probe, sizeof(probe)); // creates the key
    }
    void TearDown() override
    {
        if (m_window != nullptr) {
            DestroyWindow(m_window);
        }
        m_machine.reset();
    }

    HWND target_window()
    {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.lpszClassName = TargetClass;
        RegisterClassExW(&windowClass);
        m_window = CreateWindowExW(0, TargetClass, L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        return m_window;
    }

    // WM_APP messages to the window until count arrived, or the time ran out; then whatever
    // else came within a short grace.
    int collect_app_messages(int count, DWORD timeout_ms)
    {
        int seen = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            MSG message;
            while (PeekMessageW(&message, m_window, 0, 0, PM_REMOVE)) {
                if (message.message == WM_APP) {
                    EXPECT_EQ(0u, message.wParam);
                    ++seen;
                }
            }
            if (seen >= count) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return seen;
    }

    static void write_rate(DWORD rate)
    {
        CCplRegUtil settings;
        ASSERT_EQ(REGUTIL_OK, settings.SetDword(REGVAL_SAMPLING_RATE, rate));
    }

    std::unique_ptr<sim::machine> m_machine;
    HWND m_window = nullptr;
};

bool wait_for(const std::function<bool()> &condition, DWORD timeout_ms = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST_F(RegKeyWatcherTests, ThreadCountFollowsProcessorPackages)
{
    struct row {
        ULONG packages;
        DWORD threads;
    };
    for (const row r : {row{0, 2}, row{1, 2}, row{4, 5}, row{16, 17}, row{20, 17}}) {
        SCOPED_TRACE(r.packages);
        platform::set_processor_packages(r.packages);
        CountingWatcher watcher;
        EXPECT_EQ(r.packages, watcher.GetProcessorPackages());
        ASSERT_EQ(0u, watcher.Start());
        EXPECT_EQ(r.threads, watcher.GetThreadCount());
        watcher.Stop();
        EXPECT_EQ(0u, watcher.GetThreadCount());
    }
}

TEST_F(RegKeyWatcherTests, OneChangePostsOneMessagePerThread)
{
    platform::set_processor_packages(4);
    ASSERT_NE(nullptr, target_window());
    ThreadRecordingNotify watcher;
    watcher.SetTarget(m_window);
    ASSERT_EQ(0u, watcher.Start());
    ASSERT_EQ(5u, watcher.GetThreadCount());

    // Start returns with every thread waiting for a change.
    write_rate(96000);
    EXPECT_EQ(5, collect_app_messages(5, 10000));
    EXPECT_EQ(5u, watcher.distinct_threads());
    EXPECT_EQ(0, collect_app_messages(1, 100)) << "one change, one message per thread";
}

TEST_F(RegKeyWatcherTests, AChangeWhileTheOwnerHandlesTheLastOneIsNotLost)
{
    // Each thread's first call waits until the key has changed again.
    class GatedWatcher : public CRegKeyWatcher {
    public:
        GatedWatcher() { gate = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
        ~GatedWatcher() override
        {
            SetEvent(gate);
            Stop();
            CloseHandle(gate);
        }
        void OnKeyChanged() override
        {
            ++changes;
            WaitForSingleObject(gate, INFINITE);
        }
        HANDLE gate = nullptr;
        std::atomic<int> changes{0};
    };
    platform::set_processor_packages(1);
    GatedWatcher watcher;
    ASSERT_EQ(0u, watcher.Start());
    write_rate(48000);
    ASSERT_TRUE(wait_for([&] { return watcher.changes.load() == 2; }));
    write_rate(96000);
    SetEvent(watcher.gate);
    EXPECT_TRUE(wait_for([&] { return watcher.changes.load() == 4; }));
}

TEST_F(RegKeyWatcherTests, DestructionStopsAndJoinsTheThreads)
{
    auto watcher = std::make_unique<CountingWatcher>();
    ASSERT_EQ(0u, watcher->Start());
    ASSERT_TRUE(wait_for([&] {
        write_rate(48000);
        return watcher->changes.load() >= 2;
    }));
    watcher.reset();
    // A thread that outlived its watcher would call into freed memory here.
    for (DWORD rate : {44100u, 88200u, 96000u}) {
        write_rate(rate);
    }
}

TEST_F(RegKeyWatcherTests, StopEndsNotificationsAndStartRunsAgain)
{
    CountingWatcher watcher;
    ASSERT_EQ(0u, watcher.Start());
    ASSERT_TRUE(wait_for([&] {
        write_rate(48000);
        return watcher.changes.load() >= 1;
    }));
    watcher.Stop();
    watcher.Stop();
    const int before = watcher.changes.load();
    write_rate(96000);
    EXPECT_EQ(before, watcher.changes.load());

    ASSERT_EQ(0u, watcher.Start());
    EXPECT_EQ(2u, watcher.GetThreadCount());
    EXPECT_TRUE(wait_for([&] {
        write_rate(44100);
        return watcher.changes.load() > before;
    }));
}

TEST_F(RegKeyWatcherTests, MissingKeyEndsTheThreadsWithoutHanging)
{
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CURRENT_USER, OVM_SETTINGS_KEY));
    CountingWatcher watcher;
    ASSERT_EQ(0u, watcher.Start());
    watcher.Stop();
    EXPECT_EQ(0, watcher.changes.load());
}

} // namespace
