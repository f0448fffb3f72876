// Named objects shared by the driver and the panel: the settings mutex across processes
// (recursive, abandoned when its owner dies), the driver's settings events and the settings
// change notification, and the scope locks.
#include "ClientTest.h"
#include "NamedObjects.h"
#include "RegUtil2.h"
#include "SyncObj.h"
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using SyncObjTests = ClientTest;

bool eventually(const std::function<bool()> &condition)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

TEST_F(SyncObjTests, SettingsMutexIsSharedRecursiveAndAbandonedWhenItsOwnerProcessDies)
{
    std::atomic<bool> holding{false};
    std::atomic<bool> released_inner{false};
    platform::process *host = platform::process_create(L"host.exe", L"host.exe");
    platform::thread *t = platform::process_start_thread(host, [&] {
        HANDLE mutex = nullptr;
        ASSERT_TRUE(SYNCOBJ::CreateNamedMutex(&mutex, OVM_SETTINGS_MUTEX_NAME));
        CMutexLock outer(mutex);
        {
            CMutexLock inner(mutex);
            released_inner = inner.IsOwned() != FALSE;
        }
        holding = outer.IsOwned() != FALSE;
        HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        WaitForSingleObject(never, INFINITE);
    });
    ASSERT_NE(nullptr, t);
    ASSERT_TRUE(eventually([&] { return holding.load(); }));
    EXPECT_TRUE(released_inner.load()) << "the owner takes it again";

    HANDLE mine = nullptr;
    ASSERT_TRUE(SYNCOBJ::CreateNamedMutex(&mine, OVM_SETTINGS_MUTEX_NAME));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError()) << "the panel opens the driver's mutex";
    EXPECT_FALSE(SYNCOBJ::WaitMutex(mine, 0)) << "still held after the inner lock ended";

    platform::process_terminate(host, 1);
    {
        CMutexLock lock(mine);
        EXPECT_TRUE(lock.IsOwned()) << "abandonment counts as ownership";
    }
    EXPECT_TRUE(SYNCOBJ::WaitMutex(mine, 0)) << "the lock released it";
    EXPECT_TRUE(ReleaseMutex(mine));
    EXPECT_TRUE(platform::process_wait_threads(host, 10000));
    platform::thread_dereference(t);
    platform::process_dereference(host);

    HANDLE previous = mine;
    ASSERT_TRUE(SYNCOBJ::CreateNamedMutex(&mine, OVM_SETTINGS_MUTEX_NAME));
    EXPECT_FALSE(CloseHandle(previous)) << "the old handle in the slot was closed";
    EXPECT_TRUE(CloseHandle(mine));
}

TEST_F(SyncObjTests, MutexLockWithoutAUsableHandleGoesOnUnlocked)
{
    {
        CMutexLock lock(nullptr);
        EXPECT_FALSE(lock.IsOwned());
    }
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, mutex);
    ASSERT_TRUE(CloseHandle(mutex));
    CMutexLock lock(mutex);
    EXPECT_FALSE(lock.IsOwned());
}

TEST_F(SyncObjTests, DriverEventsHaveTheirKindsAndNamesAndGoWithTheirOwner)
{
    SYNCOBJ_ASIO events;
    HANDLE marker = nullptr, change = nullptr, stop = nullptr;
    EXPECT_FALSE(events.GetHandles(&marker, &change, &stop));
    EXPECT_EQ(nullptr, marker);

    ASSERT_TRUE(events.Create());
    ASSERT_TRUE(events.GetHandles(&marker, &change, &stop));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(marker, 0)) << "created off";
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(change, 0));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(stop, 0));
    SetEvent(marker);
    SetEvent(change);
    SetEvent(stop);
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(marker, 0));
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(marker, 0)) << "marker: manual reset";
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(change, 0));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(change, 0)) << "change: auto reset";
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(stop, 0));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(stop, 0)) << "stop: auto reset";

    HANDLE opened = OpenEventW(SYNCHRONIZE, FALSE, OVM_DRIVER_MARKER_EVENT_NAME);
    EXPECT_NE(nullptr, opened);
    CloseHandle(opened);

    events.Close();
    EXPECT_FALSE(events.GetHandles(&marker, &change, &stop));
    EXPECT_EQ(nullptr, OpenEventW(SYNCHRONIZE, FALSE, OVM_DRIVER_MARKER_EVENT_NAME)) << "its names went with it";
    EXPECT_EQ(nullptr, OpenEventW(SYNCHRONIZE, FALSE, OVM_SETTINGS_CHANGED_EVENT_NAME));

    {
        CRegUtil2 settings;
        ASSERT_TRUE(settings.Create());
    }
    EXPECT_EQ(nullptr, OpenEventW(SYNCHRONIZE, FALSE, OVM_DRIVER_MARKER_EVENT_NAME)) << "the destructor closes them";
}

TEST_F(SyncObjTests, PanelNotifiesARunningDriverInAnotherProcessOnly)
{
    platform::process *early = run_in_process(L"panel.exe", [] { SYNCOBJ_ASIO::NotifySettingsChanged(); });
    end_process(early);
    EXPECT_EQ(nullptr, OpenEventW(SYNCHRONIZE, FALSE, OVM_SETTINGS_CHANGED_EVENT_NAME))
        << "without a driver nothing is created";

    std::atomic<bool> listening{false};
    std::atomic<DWORD> woke{WAIT_FAILED};
    platform::process *host = platform::process_create(L"host.exe", L"host.exe");
    platform::thread *t = platform::process_start_thread(host, [&] {
        CRegUtil2 settings;
        HANDLE marker = nullptr, change = nullptr, stop = nullptr;
        if (!settings.Create() || !settings.GetHandles(&marker, &change, &stop)) {
            return;
        }
        SetEvent(marker);
        listening = true;
        const HANDLE waits[2] = {change, stop};
        woke = WaitForMultipleObjects(2, waits, FALSE, 10000);
    });
    ASSERT_NE(nullptr, t);
    ASSERT_TRUE(eventually([&] { return listening.load(); }));

    platform::process *panel = run_in_process(L"panel.exe", [] { SYNCOBJ_ASIO::NotifySettingsChanged(); });
    EXPECT_TRUE(platform::process_wait_threads(host, 10000));
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, woke.load()) << "the driver saw the change event";
    end_process(panel);
    end_process(host);
    platform::thread_dereference(t);
}

TEST_F(SyncObjTests, CriticalSectionWithInitialisedFlag)
{
    CCritSec section;
    EXPECT_FALSE(section.IsInitialized());
    EXPECT_EQ(nullptr, section.Get());
    {
        CCritSecLock none(section);
    }
    section.Init();
    ASSERT_TRUE(section.IsInitialized());
    {
        CCritSecLock outer(section);
        CCritSecLock inner(section.Get());
        std::atomic<BOOL> other{TRUE};
        std::thread([&] { other = TryEnterCriticalSection(section.Get()); }).join();
        EXPECT_FALSE(other.load()) << "held by this thread";
    }
    std::atomic<BOOL> other{FALSE};
    std::thread([&] {
        other = TryEnterCriticalSection(section.Get());
        if (other) {
            LeaveCriticalSection(section.Get());
        }
    }).join();
    EXPECT_TRUE(other.load()) << "both scopes left it";
    section.Delete();
    section.Delete();
    EXPECT_FALSE(section.IsInitialized());
}

} // namespace
