// RegNotifyChangeKeyValue: one-shot signalling, subtree changes, several registrations on
// one key, key deletion, closing the watched handle, and the synchronous form.
#include <atomic>
#include <thread>
#include "RegistryTest.h"

using namespace platform;

namespace {

constexpr DWORD all_changes = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET |
                              REG_NOTIFY_CHANGE_SECURITY;

class RegNotify : public RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CURRENT_USER, settings_key, &key));
        RegCloseKey(key);
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, settings_key, 0, KEY_NOTIFY, &watched_));
        event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(nullptr, event_);
    }
    void TearDown() override
    {
        if (watched_ != nullptr) {
            RegCloseKey(watched_);
        }
        CloseHandle(event_);
        RegistryTest::TearDown();
    }

    // Writes a value through a handle of its own, as another program would.
    static void write_value(const WCHAR *subkey, const WCHAR *name, DWORD value)
    {
        HKEY key = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                                                 nullptr, &key, &disposition));
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value)));
        RegCloseKey(key);
    }

    static bool signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

    HKEY watched_ = nullptr;
    HANDLE event_ = nullptr;
};

} // namespace

TEST_F(RegNotify, FiresOnceForTheFirstChange)
{
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(watched_, TRUE, all_changes, event_, TRUE));
    EXPECT_FALSE(signalled(event_));
    write_value(settings_key, L"sampling_rate", 48000);
    EXPECT_TRUE(signalled(event_));
    write_value(settings_key, L"sampling_rate", 96000);
    EXPECT_FALSE(signalled(event_)) << "the registration was used up";

    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(watched_, TRUE, all_changes, event_, TRUE));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, settings_key, 0, KEY_SET_VALUE, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(key, L"sampling_rate"));
    RegCloseKey(key);
    EXPECT_TRUE(signalled(event_));
}

TEST_F(RegNotify, SubtreeChangesReachOnlySubtreeWatches)
{
    HANDLE shallow = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(watched_, FALSE, REG_NOTIFY_CHANGE_LAST_SET, shallow, TRUE));
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(watched_, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event_, TRUE));
    const std::wstring below = std::wstring(settings_key) + L"\\deeper\\still";
    write_value(below.c_str(), L"v", 1); // creates two keys, then sets a value below
    EXPECT_TRUE(signalled(event_));
    EXPECT_FALSE(signalled(shallow));
    write_value(settings_key, L"v", 1);
    EXPECT_TRUE(signalled(shallow));
    CloseHandle(shallow);
}

TEST_F(RegNotify, EveryRegistrationOnTheKeyFires)
{
    // One watcher per processor package plus one, each with its own handle and event.
    std::vector<HKEY> keys(5);
    std::vector<HANDLE> events(5);
    for (size_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, settings_key, 0, KEY_NOTIFY, &keys[i]));
        events[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(keys[i], TRUE, all_changes, events[i], TRUE));
    }
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(watched_, TRUE, all_changes, event_, TRUE));
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(watched_, TRUE, all_changes, event_, TRUE));
    write_value(settings_key, L"buffer_size_index", 3);
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_TRUE(signalled(events[i])) << i;
        RegCloseKey(keys[i]);
        CloseHandle(events[i]);
    }
    EXPECT_TRUE(signalled(event_));
}

TEST_F(RegNotify, ClosingTheKeySignalsItsPendingRegistration)
{
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(watched_, TRUE, all_changes, event_, TRUE));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(watched_));
    watched_ = nullptr;
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event_, 10000));
    write_value(settings_key, L"v", 1);
    EXPECT_FALSE(signalled(event_));

    // A registration that already fired is not signalled again by the close.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, settings_key, 0, KEY_READ, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(key, TRUE, all_changes, event_, TRUE));
    write_value(settings_key, L"v", 2);
    EXPECT_TRUE(signalled(event_));
    RegCloseKey(key);
    EXPECT_FALSE(signalled(event_));
}

TEST_F(RegNotify, DeletingTheWatchedKeyFires)
{
    HKEY sub = nullptr;
    const std::wstring path = std::wstring(settings_key) + L"\\gone";
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CURRENT_USER, path.c_str(), &sub));
    RegCloseKey(sub);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_NOTIFY, &sub));
    HANDLE on_sub = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(sub, FALSE, REG_NOTIFY_CHANGE_LAST_SET, on_sub, TRUE));
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(watched_, FALSE, REG_NOTIFY_CHANGE_NAME, event_, TRUE));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str()));
    EXPECT_TRUE(signalled(on_sub));
    EXPECT_TRUE(signalled(event_));
    EXPECT_EQ(ERROR_KEY_DELETED, RegNotifyChangeKeyValue(sub, FALSE, REG_NOTIFY_CHANGE_LAST_SET, on_sub, TRUE));
    RegCloseKey(sub);
    CloseHandle(on_sub);
}

TEST_F(RegNotify, BadArgumentsAreRefused)
{
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegNotifyChangeKeyValue(watched_, TRUE, 0, event_, TRUE));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegNotifyChangeKeyValue(watched_, TRUE, 0x40, event_, TRUE));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegNotifyChangeKeyValue(watched_, TRUE, all_changes, nullptr, TRUE));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegNotifyChangeKeyValue(watched_, TRUE, all_changes, mutex, TRUE));
    CloseHandle(mutex);
    EXPECT_EQ(ERROR_SUCCESS,
              RegNotifyChangeKeyValue(watched_, TRUE, all_changes | REG_NOTIFY_THREAD_AGNOSTIC, event_, TRUE));
}

TEST_F(RegNotify, AnEventClosedBeforeTheChangeIsNotTouched)
{
    HANDLE early = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(watched_, TRUE, all_changes, early, TRUE));
    ASSERT_TRUE(CloseHandle(early));
    HANDLE other = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    write_value(settings_key, L"v", 1);
    EXPECT_FALSE(signalled(other));
    CloseHandle(other);
}

TEST_F(RegNotify, SynchronousCallReturnsAfterTheChange)
{
    std::atomic<bool> returned{false};
    std::atomic<LSTATUS> result{-1};
    std::thread waiter([&] {
        result = RegNotifyChangeKeyValue(watched_, TRUE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE);
        returned = true;
    });
    // The waiter registers at a moment this thread cannot see, so keep changing until it returns.
    DWORD n = 0;
    EXPECT_TRUE(eventually([&] {
        write_value(settings_key, L"v", ++n);
        return returned.load();
    }));
    waiter.join();
    EXPECT_EQ(ERROR_SUCCESS, result.load());
}
