// OVSETTINGS signals: the named events shared with the control panel, the three registered
// messages sent to its window found by title, and the start of the control-panel program.
#include <gtest/gtest.h>
#include <windows.h>
#include <platform/win32_system.h>
#include <memory>
#include <mutex>
#include <vector>
#include <sim/machine.h>
#include "Settings.h"

namespace {

BOOL IsSignalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

struct PanelMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

std::mutex g_panelLock;
std::vector<PanelMessage> g_panelMessages;

LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= 0xC000 && message <= 0xFFFF) {
        std::lock_guard<std::mutex> guard(g_panelLock);
        g_panelMessages.push_back({message, wParam, lParam});
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A stand-in for the control panel: a top-level window with its title, on its own thread.
class PanelWindow {
public:
    PanelWindow()
    {
        m_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        WaitForSingleObject(m_ready, 10000);
    }
    ~PanelWindow()
    {
        if (m_window != nullptr) {
            PostMessageW(m_window, WM_QUIT, 0, 0);
        }
        WaitForSingleObject(m_thread, 10000);
        CloseHandle(m_thread);
        CloseHandle(m_ready);
    }
    HWND window() const { return m_window; }

private:
    static DWORD WINAPI Run(LPVOID context)
    {
        PanelWindow *self = static_cast<PanelWindow *>(context);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = PanelProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"OvPanelTestWindow";
        RegisterClassW(&windowClass);
        self->m_window = CreateWindowExW(0, L"OvPanelTestWindow", OvControlPanelTitle, WS_OVERLAPPEDWINDOW, 0, 0, 0,
                                         0, nullptr, nullptr, windowClass.hInstance, nullptr);
        SetEvent(self->m_ready);
        MSG message;
        while (self->m_window != nullptr && GetMessageW(&message, nullptr, 0, 0) > 0) {
            DispatchMessageW(&message);
        }
        if (self->m_window != nullptr) {
            DestroyWindow(self->m_window);
        }
        UnregisterClassW(L"OvPanelTestWindow", windowClass.hInstance);
        return 0;
    }

    HANDLE m_ready = nullptr;
    HANDLE m_thread = nullptr;
    HWND volatile m_window = nullptr;
};

class NotifySignalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_machine = std::make_unique<sim::machine>();
        std::lock_guard<std::mutex> guard(g_panelLock);
        g_panelMessages.clear();
    }
    void TearDown() override
    {
        m_settings.reset();
        platform::process_set_launch_result(true, 0);
        m_machine.reset();
    }
    static std::vector<PanelMessage> panelMessages()
    {
        std::lock_guard<std::mutex> guard(g_panelLock);
        return g_panelMessages;
    }
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

TEST_F(NotifySignalTest, WithoutAWindowNothingIsSent)
{
    m_settings->sendRateMessage(44100);
    m_settings->sendStreamStateMessage(OV_STREAM_STATE_STARTED);
    m_settings->sendResetMessage();
    EXPECT_TRUE(panelMessages().empty());
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
}

TEST_F(NotifySignalTest, ControlPanelPathLongerThanItsBufferStartsNothing)
{
    setControlPanel(REG_SZ, L"C:\\" + std::wstring(200, L'p') + L".exe");
    const size_t before = platform::process_launch_records().size();
    EXPECT_FALSE(OVSETTINGS::launchControlPanel());
    EXPECT_EQ(platform::process_launch_records().size(), before);
}

} // namespace
