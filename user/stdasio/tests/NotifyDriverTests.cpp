// The driver object's side of the notifications: one reset request per object whatever asks,
// session loss through the session-events sink, the notification thread's reload and its
// decisions, and the period arithmetic the streams are opened with.
#include "StreamFixture.h"
#include <cwchar>
#include "DeviceList.h"
#include "NotifyPanel.h"
#include "SessionNotifications.h"
#include "Settings.h"
#include "Stream.h"

namespace stream_test {
namespace {

using namespace notify_test;

UINT ResetMessage()
{
    return RegisterWindowMessageW(OvResetMessageName);
}

size_t CountPanel(UINT message)
{
    size_t count = 0;
    for (const auto &seen : PanelMessages()) {
        count += seen.message == message ? 1 : 0;
    }
    return count;
}

void StoreDword(LPCWSTR name, DWORD value)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, OvSettingsKey, 0, nullptr, 0,
                                             KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
    RegCloseKey(key);
}

void StoreByte(LPCWSTR name, BYTE value)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, OvSettingsKey, 0, nullptr, 0,
                                             KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
    RegSetValueExW(key, name, 0, REG_BINARY, &value, sizeof(value));
    RegCloseKey(key);
}

DWORD StoredDword(LPCWSTR name)
{
    HKEY key = nullptr;
    DWORD value = 0;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, OvSettingsKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
        DWORD size = sizeof(value);
        RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size);
        RegCloseKey(key);
    }
    return value;
}

class NotifyDriverTest : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        ClearPanelMessages();
    }
    // Starts the notification thread of driver as init does; the driver's destruction ends it.
    void startNotificationThread(OVASIO *driver)
    {
        ASSERT_EQ(driver->m_settings->createNotifyEvents(driver->m_notifyHandles), (DWORD)OV_NOTIFY_EVENTS_OK);
        driver->m_notificationThread = CreateThread(nullptr, 0, OVASIO::notificationThread, driver, 0, nullptr);
        ASSERT_NE(driver->m_notificationThread, nullptr);
        m_presence = OpenEventW(SYNCHRONIZE, FALSE, OvPresenceEventName);
        ASSERT_NE(m_presence, nullptr);
        ASSERT_EQ(WaitForSingleObject(m_presence, 10000), (DWORD)WAIT_OBJECT_0);
    }
    void TearDown() override
    {
        if (m_presence != nullptr) {
            CloseHandle(m_presence);
        }
        StreamTest::TearDown();
    }
    // The control panel's signal after it wrote the key.
    static void signalChange()
    {
        const HANDLE changed = OpenEventW(EVENT_MODIFY_STATE, FALSE, OvSettingsChangedEventName);
        ASSERT_NE(changed, nullptr);
        SetEvent(changed);
        CloseHandle(changed);
    }

    HANDLE m_presence = nullptr;
};

TEST_F(NotifyDriverTest, ResetIsRequestedOncePerDriverObject)
{
    PanelWindow panel;
    OVASIO *silent = createDriver(false);
    silent->requestReset();
    EXPECT_EQ(silent->m_resetRequested, 0u);
    EXPECT_EQ(host().messages.load(), 0);

    OVASIO *driver = createDriver(true);
    driver->requestReset();
    driver->onSessionLost();
    driver->requestReset();
    EXPECT_EQ(driver->m_sessionLost, 1u);
    EXPECT_EQ(driver->m_resetRequested, 1u);
    EXPECT_EQ(host().resets.load(), 1);
    EXPECT_EQ(CountPanel(ResetMessage()), 1u);

    // Another driver object asks on its own account.
    OVASIO *other = createDriver(true);
    other->onSessionLost();
    EXPECT_EQ(host().resets.load(), 2);
    EXPECT_EQ(CountPanel(ResetMessage()), 2u);
}

TEST_F(NotifyDriverTest, ConcurrentReasonsStillAskOnce)
{
    OVASIO *driver = createDriver(true);
    std::vector<HANDLE> threads;
    for (int i = 0; i < 8; i++) {
        threads.push_back(CreateThread(
            nullptr, 0,
            [](LPVOID context) -> DWORD {
                static_cast<OVASIO *>(context)->onSessionLost();
                return 0;
            },
            driver, 0, nullptr));
    }
    for (HANDLE thread : threads) {
        ASSERT_EQ(WaitForSingleObject(thread, 10000), (DWORD)WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(host().resets.load(), 1);
}

TEST_F(NotifyDriverTest, SessionEventsObjectFollowsItsOwner)
{
    OVASIO *driver = createDriver(true);
    OVAUDIOSESSIONNOTIFICATIONS *events = new OVAUDIOSESSIONNOTIFICATIONS(OV_FLOW_RENDER);
    EXPECT_EQ(events->AddRef(), 1u);

    IUnknown *unknown = reinterpret_cast<IUnknown *>(0x1);
    EXPECT_EQ(events->QueryInterface(IID_IAudioClient, reinterpret_cast<void **>(&unknown)), E_NOINTERFACE);
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(events->QueryInterface(IID_IAudioSessionEvents, nullptr), E_POINTER);
    ASSERT_EQ(events->QueryInterface(IID_IAudioSessionEvents, reinterpret_cast<void **>(&unknown)), S_OK);
    EXPECT_EQ(unknown, static_cast<IAudioSessionEvents *>(events));
    EXPECT_EQ(unknown->Release(), 1u);

    // Without an owner, and for a reason past the documented ones, nothing is reported.
    EXPECT_EQ(events->OnSessionDisconnected(DisconnectReasonDeviceRemoval), S_OK);
    EXPECT_EQ(events->SetOwner(nullptr), 0u);
    EXPECT_EQ(events->SetOwner(driver), 1u);
    EXPECT_EQ(events->OnSessionDisconnected((AudioSessionDisconnectReason)6), S_OK);
    EXPECT_EQ(events->OnStateChanged(AudioSessionStateExpired), S_OK);
    EXPECT_EQ(driver->m_sessionLost, 0u);
    EXPECT_EQ(host().resets.load(), 0);

    EXPECT_EQ(events->OnSessionDisconnected(DisconnectReasonExclusiveModeOverride), S_OK);
    EXPECT_EQ(driver->m_sessionLost, 1u);
    EXPECT_EQ(host().resets.load(), 1);
    events->ClearOwner();
    driver->m_sessionLost = 0;
    EXPECT_EQ(events->OnSessionDisconnected(DisconnectReasonFormatChanged), S_OK);
    EXPECT_EQ(driver->m_sessionLost, 0u);
    EXPECT_EQ(events->Release(), 0u);
}

// The audio service's own disconnect reaches the driver through the registered sink.
TEST_F(NotifyDriverTest, DisconnectedSessionsOfBothStreamsAskOnce)
{
    addEndpoints();
    PanelWindow panel;
    OVASIO *driver = createDriver(true);
    OVRENDER render(driver, driver->m_renderQueue);
    OVCAPTURE capture(driver);
    OVAUDIOSESSIONNOTIFICATIONS *renderEvents = nullptr;
    OVAUDIOSESSIONNOTIFICATIONS *captureEvents = nullptr;
    ASSERT_EQ(render.getDevice(m_renderId.c_str()), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(render.activate(), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(render.open(44100, 100000, 16), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(render.getServices(), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(render.registerSessionEvents(&renderEvents), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(capture.getDevice(m_captureId.c_str()), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(capture.activate(), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(capture.open(44100, 100000, 16), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(capture.getServices(), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(capture.registerSessionEvents(&captureEvents), (DWORD)OV_STREAM_OK);
    ASSERT_EQ(renderEvents->SetOwner(driver), 1u);
    ASSERT_EQ(captureEvents->SetOwner(driver), 1u);

    ASSERT_TRUE(platform::audio_endpoint_disconnect(m_renderId, DisconnectReasonExclusiveModeOverride));
    platform::audio_notifications_drain();
    EXPECT_EQ(driver->m_sessionLost, 1u);
    EXPECT_EQ(host().resets.load(), 1);
    ASSERT_TRUE(platform::audio_endpoint_disconnect(m_captureId, DisconnectReasonFormatChanged));
    platform::audio_notifications_drain();
    EXPECT_EQ(host().resets.load(), 1);
    EXPECT_EQ(CountPanel(ResetMessage()), 1u);

    renderEvents->ClearOwner();
    captureEvents->ClearOwner();
    render.close();
    capture.close();
}

TEST_F(NotifyDriverTest, PresenceEventIsSetWhileTheThreadRuns)
{
    OVASIO *driver = createDriver(true);
    startNotificationThread(driver);
    EXPECT_EQ(WaitForSingleObject(m_presence, 0), (DWORD)WAIT_OBJECT_0);
    SetEvent(driver->m_notifyHandles[OV_NOTIFY_STOP]);
    ASSERT_EQ(WaitForSingleObject(driver->m_notificationThread, 10000), (DWORD)WAIT_OBJECT_0);
    DWORD exitCode = 1;
    ASSERT_TRUE(GetExitCodeThread(driver->m_notificationThread, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_NE(WaitForSingleObject(m_presence, 0), (DWORD)WAIT_OBJECT_0);
}

// Before a host created buffers, a change is only remembered for the next createBuffers.
TEST_F(NotifyDriverTest, ChangeWithoutHostCallbacksIsRememberedOnly)
{
    PanelWindow panel;
    OVASIO *driver = createDriver(false);
    startNotificationThread(driver);
    StoreDword(L"buffer_size,2", 256);
    signalChange();
    ASSERT_TRUE(wait_until([&] { return driver->m_settingsChangedEarly != 0; }));
    EXPECT_EQ(driver->m_resetRequested, 0u);
    EXPECT_EQ(host().messages.load(), 0);
    EXPECT_TRUE(PanelMessages().empty());
}

// "notify" and "lock" alone ask for nothing; the first change that matters asks once, and a
// later one not again.
TEST_F(NotifyDriverTest, OnlyBufferRateOrDeviceChangesAskTheHost)
{
    PanelWindow panel;
    OVASIO *driver = createDriver(true);
    OVSETTINGSRECORD defaults = OvDefaultSettings;
    ASSERT_TRUE(driver->m_settings->load(&defaults));
    startNotificationThread(driver);

    StoreByte(L"notify", 1);
    signalChange();
    StoreByte(L"lock", 1);
    signalChange();
    // A change the driver already has is no change.
    StoreDword(L"sampling_rate", 44100);
    signalChange();
    StoreDword(L"sampling_rate", 48000);
    signalChange();
    ASSERT_TRUE(wait_until([&] { return host().resets.load() == 1; }));
    EXPECT_EQ(driver->m_settingsChangedEarly, 0u);

    // Only the older buffer size: the reload converts it and writes it back, which shows
    // that the thread took this change too.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, OvSettingsKey, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key));
    RegDeleteValueW(key, L"buffer_size,2");
    RegCloseKey(key);
    StoreDword(L"buffer_size", 20);
    signalChange();
    ASSERT_TRUE(wait_until([&] { return StoredDword(L"buffer_size,2") == 128; }));
    SetEvent(driver->m_notifyHandles[OV_NOTIFY_STOP]);
    ASSERT_EQ(WaitForSingleObject(driver->m_notificationThread, 10000), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(host().resets.load(), 1);
    EXPECT_EQ(CountPanel(ResetMessage()), 1u);
}

// A wait that fails on a handle closed under the thread: the named settings-changed event is
// opened again and followed; without its stop event the thread ends, and says so.
TEST_F(NotifyDriverTest, FailedWaitsAreRepairedOrReported)
{
    // Another handle keeps the named event, as the control panel's does.
    const HANDLE panelChanged = CreateEventW(nullptr, FALSE, FALSE, OvSettingsChangedEventName);
    ASSERT_NE(panelChanged, nullptr);
    OVASIO *driver = createDriver(true);
    ASSERT_EQ(driver->m_settings->createNotifyEvents(driver->m_notifyHandles), (DWORD)OV_NOTIFY_EVENTS_OK);
    const HANDLE closed = driver->m_notifyHandles[OV_NOTIFY_SETTINGS_CHANGED];
    ASSERT_TRUE(CloseHandle(closed));
    driver->m_notificationThread = CreateThread(nullptr, 0, OVASIO::notificationThread, driver, 0, nullptr);
    ASSERT_NE(driver->m_notificationThread, nullptr);
    StoreDword(L"buffer_size,2", 256);
    SetEvent(panelChanged);
    EXPECT_TRUE(wait_until([&] { return host().resets.load() == 1; })) << "the change after the repair was missed";
    EXPECT_NE(driver->m_notifyHandles[OV_NOTIFY_SETTINGS_CHANGED], closed);
    EXPECT_EQ(WaitForSingleObject(driver->m_notificationThread, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(panelChanged);

    for (const bool withCallbacks : {true, false}) {
        SCOPED_TRACE(withCallbacks);
        const int resets = host().resets.load();
        OVASIO *stopless = createDriver(withCallbacks);
        ASSERT_EQ(stopless->m_settings->createNotifyEvents(stopless->m_notifyHandles), (DWORD)OV_NOTIFY_EVENTS_OK);
        ASSERT_TRUE(CloseHandle(stopless->m_notifyHandles[OV_NOTIFY_STOP]));
        stopless->m_notificationThread = CreateThread(nullptr, 0, OVASIO::notificationThread, stopless, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(stopless->m_notificationThread, 10000), (DWORD)WAIT_OBJECT_0);
        DWORD exitCode = 0;
        ASSERT_TRUE(GetExitCodeThread(stopless->m_notificationThread, &exitCode));
        EXPECT_EQ(exitCode, (DWORD)-2);
        EXPECT_EQ(host().resets.load(), resets + (withCallbacks ? 1 : 0));
        EXPECT_EQ(stopless->m_settingsChangedEarly, withCallbacks ? 0u : 1u);
    }
}

// "selected" counts as a change only when it names another listed device.
TEST_F(NotifyDriverTest, SelectedDeviceChangesOnlyForAnotherListedDevice)
{
    const std::wstring vendor = SupportedDeviceIds[0].vendor;
    const std::wstring product = SupportedDeviceIds[0].product;
    const std::wstring first = L"USB\\" + vendor + L"&" + product + L"\\FIRST";
    const std::wstring second = L"USB\\" + vendor + L"&" + product + L"\\SECOND";
    addDevice(first, 1);
    addDevice(second, 2);
    OVASIO *driver = createDriver(true);
    ASSERT_TRUE(driver->m_devices->refresh());
    ASSERT_EQ(driver->m_devices->count(), 2u);
    ASSERT_TRUE(driver->m_devices->selectByKey(first.c_str()));

    OVSETTINGSRECORD record = OvDefaultSettings;
    wcscpy(record.selected, first.c_str());
    EXPECT_EQ(driver->compareSettings(&record), 0u);
    wcscpy(record.selected, second.c_str());
    EXPECT_EQ(driver->compareSettings(&record), (DWORD)OV_CHANGED_SELECTED);
    wcscpy(record.selected, (L"USB\\" + vendor + L"&" + product + L"\\UNPLUGGED").c_str());
    record.notify = 1;
    EXPECT_EQ(driver->compareSettings(&record), (DWORD)OV_CHANGED_NOTIFY);
}

TEST_F(NotifyDriverTest, PeriodArithmetic)
{
    OVASIO *driver = createDriver(false);
    const struct {
        DWORD frames;
        DWORD rate;
        DWORD duration;
        DWORD tenths;
        BOOL longPeriod;
    } rows[] = {
        {512, 44100, 116100, 116, TRUE}, {512, 48000, 106667, 107, TRUE}, {132, 44100, 29932, 30, FALSE},
        {133, 44100, 30159, 30, TRUE},   {143, 48000, 29792, 30, FALSE},  {144, 48000, 30000, 30, TRUE},
        {64, 44100, 14512, 15, FALSE},   {4096, 48000, 853333, 853, TRUE}, {512, 0, 0, 0, FALSE},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.frames << " frames at " << row.rate);
        driver->m_bufferFrames = row.frames;
        driver->m_sampleRate = row.rate;
        EXPECT_EQ(driver->bufferDuration(), row.duration);
        EXPECT_EQ(driver->periodTenthsMs(), row.tenths);
        EXPECT_EQ(driver->isLongPeriod(), row.longPeriod);
    }
}

} // namespace
} // namespace stream_test
