// OVSETTINGS signals: the named events shared with the control panel, the three registered
// messages sent to its window found by title, and the start of the control-panel program.
#include <gtest/gtest.h>
#include <windows.h>
#include <platform/win32_system.h>
#include <memory>
#include <mutex>
#include <vector>
#include <sim/machine.h>
#include "NotifyPanel.h"
#include "Settings.h"

namespace {

using namespace notify_test;

BOOL IsSignalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

class NotifySignalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_machine = std::make_unique<sim::machine>();
        ClearPanelMessages();
    }
    void TearDown() override
    {
        m_settings.reset();
        platform::process_set_launch_result(true, 0);
        m_machine.reset();
    }
    static std::vector<PanelMessage> panelMessages() { return PanelMessages(); }
    static void setControlPanel(DWORD type, const std::wstring &path)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orvan\\Marla Series Setup", 0,
                                                 nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"ControlPanel", 0, type,
                                                reinterpret_cast<const BYTE *>(path.c_str()),
                                                (DWORD)((path.size() + 1) * sizeof(WCHAR))));
        RegCloseKey(key);
    }

    std::unique_ptr<sim::machine> m_machine;
    std::unique_ptr<OVSETTINGS> m_settings = std::make_unique<OVSETTINGS>();
};

TEST_F(NotifySignalTest, StreamingEventFollowsSetRunning)
{
    EXPECT_FALSE(m_settings->setRunning(TRUE));
    ASSERT_TRUE(m_settings->createStateEvents());
    const HANDLE streaming = OpenEventW(SYNCHRONIZE, FALSE, OvStreamingEventName);
    const HANDLE spare = OpenEventW(SYNCHRONIZE, FALSE, OvSpareEventName);
    ASSERT_NE(streaming, nullptr);
    ASSERT_NE(spare, nullptr);
    EXPECT_FALSE(IsSignalled(streaming));
    EXPECT_TRUE(m_settings->setRunning(TRUE));
    EXPECT_TRUE(IsSignalled(streaming));
    EXPECT_TRUE(IsSignalled(streaming)); // manual reset
    EXPECT_TRUE(m_settings->setRunning(FALSE));
    EXPECT_FALSE(IsSignalled(streaming));
    EXPECT_FALSE(IsSignalled(spare));
    EXPECT_TRUE(m_settings->closeStateEvents());
    EXPECT_FALSE(m_settings->setRunning(TRUE));
    CloseHandle(streaming);
    CloseHandle(spare);
}

// The control panel may have created the events first, and left them signalled.
TEST_F(NotifySignalTest, NotifyEventsOpenExistingOnesAndStartReset)
{
    const HANDLE presence = CreateEventW(nullptr, TRUE, TRUE, OvPresenceEventName);
    const HANDLE changed = CreateEventW(nullptr, FALSE, TRUE, OvSettingsChangedEventName);
    ASSERT_NE(presence, nullptr);
    ASSERT_NE(changed, nullptr);
    HANDLE triple[OV_NOTIFY_HANDLES] = {};
    ASSERT_EQ(m_settings->createNotifyEvents(triple), (DWORD)OV_NOTIFY_EVENTS_OK);
    for (HANDLE handle : triple) {
        EXPECT_NE(handle, nullptr);
    }
    EXPECT_FALSE(IsSignalled(presence));
    EXPECT_FALSE(IsSignalled(changed));
    EXPECT_FALSE(IsSignalled(triple[OV_NOTIFY_STOP]));

    SetEvent(changed);
    EXPECT_TRUE(IsSignalled(triple[OV_NOTIFY_SETTINGS_CHANGED]));
    EXPECT_FALSE(IsSignalled(changed)); // auto reset: taken by the wait above
    SetEvent(triple[OV_NOTIFY_PRESENCE]);
    EXPECT_TRUE(IsSignalled(presence));

    m_settings->closeNotifyEvents(triple);
    for (HANDLE handle : triple) {
        EXPECT_EQ(handle, nullptr);
    }
    CloseHandle(presence);
    CloseHandle(changed);
}

TEST_F(NotifySignalTest, MessagesReachTheWindowFoundByTitle)
{
    // Without the window nothing is sent, and nothing waits.
    m_settings->sendRateMessage(44100);
    m_settings->sendResetMessage();
    ASSERT_TRUE(panelMessages().empty());
    PanelWindow panel;
    ASSERT_NE(panel.window(), nullptr);
    m_settings->sendRateMessage(48000);
    m_settings->sendStreamStateMessage(OV_STREAM_STATE_FAILED);
    m_settings->sendResetMessage();
    const auto messages = panelMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].message, RegisterWindowMessageW(OvControlPanelTitle));
    EXPECT_EQ(messages[0].wParam, 48000u);
    EXPECT_EQ(messages[1].message, RegisterWindowMessageW(OvStreamStateMessageName));
    EXPECT_EQ(messages[1].wParam, 1u);
    EXPECT_EQ(messages[2].message, RegisterWindowMessageW(OvResetMessageName));
    EXPECT_EQ(messages[2].wParam, 0u);
    for (const auto &message : messages) {
        EXPECT_EQ(message.lParam, 0);
    }
}

TEST_F(NotifySignalTest, ControlPanelStartsFromTheSetupKeyOnly)
{
    const size_t before = platform::process_launch_records().size();
    EXPECT_FALSE(OVSETTINGS::launchControlPanel());
    setControlPanel(REG_EXPAND_SZ, L"C:\\Panel\\panel.exe");
    EXPECT_FALSE(OVSETTINGS::launchControlPanel());
    EXPECT_EQ(platform::process_launch_records().size(), before);

    setControlPanel(REG_SZ, L"C:\\Panel\\panel.exe");
    EXPECT_TRUE(OVSETTINGS::launchControlPanel());
    const auto records = platform::process_launch_records();
    ASSERT_EQ(records.size(), before + 1);
    EXPECT_EQ(records.back().application_name, L"C:\\Panel\\panel.exe");
    EXPECT_EQ(records.back().creation_flags, 0x30u);

    platform::process_set_launch_result(false, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(OVSETTINGS::launchControlPanel());

    // A path longer than the program path buffer starts nothing.
    setControlPanel(REG_SZ, L"C:\\" + std::wstring(200, L'p') + L".exe");
    const size_t tried = platform::process_launch_records().size();
    EXPECT_FALSE(OVSETTINGS::launchControlPanel());
    EXPECT_EQ(platform::process_launch_records().size(), tried);
}

} // namespace
