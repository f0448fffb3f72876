// Events, mutexes, semaphores and their names: creation and opening, ownership, abandonment,
// the namespace, and the handle errors of waits and CloseHandle.
#include "Kernel32Test.h"
#include <atomic>

namespace {

using SyncObjectTests = Kernel32Test;

constexpr const WCHAR *mutex_name = L"Global\\{6A9FCDD5-0000-4000-8000-000000000001}";

DWORD WINAPI hold_mutex_and_return(LPVOID parameter)
{
    return WaitForSingleObject(*static_cast<HANDLE *>(parameter), INFINITE);
}

TEST_F(SyncObjectTests, CreatingAnExistingMutexOpensItUnownedWithAlreadyExists)
{
    HANDLE first = CreateMutexW(nullptr, FALSE, mutex_name);
    ASSERT_NE(first, nullptr);
    HANDLE holder = CreateThread(nullptr, 0, hold_mutex_and_return, &first, 0, nullptr);
    ASSERT_NE(holder, nullptr);
    ASSERT_EQ(WaitForSingleObject(holder, 10000), WAIT_OBJECT_0); // thread ended: mutex abandoned

    HANDLE mine = CreateMutexW(nullptr, TRUE, mutex_name);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_NE(mine, first);
    EXPECT_FALSE(ReleaseMutex(mine)) << "bInitialOwner is ignored for an existing mutex";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
    EXPECT_EQ(WaitForSingleObject(mine, 0), (DWORD)WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mine));
    EXPECT_TRUE(CloseHandle(holder));
    EXPECT_TRUE(CloseHandle(mine));
    EXPECT_TRUE(CloseHandle(first));
}

TEST_F(SyncObjectTests, NewNamedObjectClearsLastErrorAndAcceptsANullDacl)
{
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, TRUE};
    SetLastError(1234);
    HANDLE mutex = CreateMutexW(&attributes, TRUE, mutex_name);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(ReleaseMutex(mutex)) << "a new mutex created with bInitialOwner is owned";
    EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(SyncObjectTests, NameVanishesWhenItsLastHandleCloses)
{
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, L"{F5C8CEA3-0000-4000-8000-000000000002}0");
    ASSERT_NE(created, nullptr);
    HANDLE opened = OpenEventW(SYNCHRONIZE, FALSE, L"{F5C8CEA3-0000-4000-8000-000000000002}0");
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(SetEvent(opened));
    EXPECT_EQ(WaitForSingleObject(created, 0), WAIT_OBJECT_0) << "both handles name one object";
    EXPECT_TRUE(CloseHandle(created));
    HANDLE again = OpenEventW(SYNCHRONIZE, FALSE, L"{F5C8CEA3-0000-4000-8000-000000000002}0");
    EXPECT_NE(again, nullptr) << "still open through the second handle";
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_TRUE(CloseHandle(opened));

    SetLastError(0);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"{F5C8CEA3-0000-4000-8000-000000000002}0"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(SyncObjectTests, NamespacesKeepGlobalApartFromLocalAndAreCaseSensitive)
{
    HANDLE local = CreateEventW(nullptr, TRUE, FALSE, L"Local\\marker");
    ASSERT_NE(local, nullptr);
    HANDLE bare = OpenEventW(SYNCHRONIZE, FALSE, L"marker");
    EXPECT_NE(bare, nullptr) << "bare names live in the local namespace";
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"Global\\marker"), nullptr);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"MARKER"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    CloseHandle(bare);
    CloseHandle(local);
}

TEST_F(SyncObjectTests, NameOfAnotherTypeIsRefused)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, L"Global\\shared-name");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, L"Global\\shared-name"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\shared-name"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReleaseMutex(event));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(event);
}

TEST_F(SyncObjectTests, AutoResetEventReleasesOneWaitManualResetStays)
{
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(automatic, nullptr);
    ASSERT_NE(manual, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(automatic);
    CloseHandle(manual);
}

TEST_F(SyncObjectTests, MutexIsRecursiveAndOnlyItsOwnerReleasesIt)
{
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    std::atomic<DWORD> other_result{0};
    std::atomic<DWORD> other_error{0};
    std::thread([&] {
        other_result = ReleaseMutex(mutex);
        other_error = GetLastError();
    }).join();
    EXPECT_EQ(other_result.load(), (DWORD)FALSE);
    EXPECT_EQ(other_error.load(), (DWORD)ERROR_NOT_OWNER);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
    CloseHandle(mutex);
}

TEST_F(SyncObjectTests, SemaphoreCountsAndRefusesToPassItsLimit)
{
    EXPECT_EQ(CreateSemaphoreW(nullptr, 3, 2, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 2, nullptr);
    ASSERT_NE(semaphore, nullptr);
    LONG previous = -7;
    EXPECT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 1);
    previous = -7;
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(previous, -7);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(semaphore);
}

TEST_F(SyncObjectTests, ClosedNullAndUnknownHandlesFailWithInvalidHandle)
{
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    const HANDLE bad[] = {event, nullptr, (HANDLE)(ULONG_PTR)0x7777770};
    for (HANDLE handle : bad) {
        SCOPED_TRACE(testing::Message() << "handle " << handle);
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(handle));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(SetEvent(handle));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    }
}

TEST_F(SyncObjectTests, WaitForMultipleObjectsReportsTheLowestSignalledIndex)
{
    HANDLE events[3];
    for (HANDLE &event : events) {
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
    }
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), (DWORD)WAIT_TIMEOUT);
    SetEvent(events[0]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(0, events, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    CloseHandle(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_FAILED) << "one closed handle fails the wait";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(events[0]);
    CloseHandle(events[2]);
}

TEST_F(SyncObjectTests, AbandonedMutexGoesToTheNextWaiterWithItsIndex)
{
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE idle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    HANDLE holder = CreateThread(nullptr, 0, hold_mutex_and_return, &mutex, 0, nullptr);
    ASSERT_NE(holder, nullptr);
    ASSERT_EQ(WaitForSingleObject(holder, 10000), WAIT_OBJECT_0);

    const HANDLE handles[] = {idle, mutex};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), (DWORD)WAIT_ABANDONED_0 + 1);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "the abandonment is reported once";
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(holder);
    CloseHandle(idle);
    CloseHandle(mutex);
}

TEST_F(SyncObjectTests, ClosingAnOwnedMutexLeavesItsOwnerSafe)
{
    HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(CloseHandle(mutex));
    HANDLE again = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(ReleaseMutex(again));
    EXPECT_TRUE(CloseHandle(again));
}

} // namespace
