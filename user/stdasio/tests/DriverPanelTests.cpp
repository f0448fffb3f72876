// What the standard ASIO driver object tells a running control panel: the stream-state message
// after init, createBuffers and start and at destruction, the reset-request message, and the
// rate message.
#include "DriverFixture.h"
#include <mutex>
#include <vector>

namespace stdasio_test {
namespace {

const WCHAR PanelTitle[] = L"Orvan Marla Series Audio Driver Control Panel";

struct panel_message {
    UINT message;
    WPARAM wparam;
};

std::mutex g_panel_lock;
std::vector<panel_message> g_panel_messages;

LRESULT CALLBACK panel_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message >= 0xC000 && message <= 0xFFFF) {
        std::lock_guard<std::mutex> guard(g_panel_lock);
        g_panel_messages.push_back({message, wparam});
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// A window with the control panel's title on a thread of its own, recording registered
// messages.
class panel_window {
public:
    panel_window()
    {
        {
            std::lock_guard<std::mutex> guard(g_panel_lock);
            g_panel_messages.clear();
        }
        m_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_thread = CreateThread(nullptr, 0, run, this, 0, nullptr);
        WaitForSingleObject(m_ready, 10000);
    }
    ~panel_window()
    {
        if (m_window != nullptr) {
            PostMessageW(m_window, WM_QUIT, 0, 0);
        }
        WaitForSingleObject(m_thread, 10000);
        CloseHandle(m_thread);
        CloseHandle(m_ready);
    }
    bool ready() const { return m_window != nullptr; }

private:
    static DWORD WINAPI run(LPVOID context)
    {
        panel_window *self = static_cast<panel_window *>(context);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = panel_proc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"DriverPanelTestWindow";
        RegisterClassW(&windowClass);
        const HWND window = CreateWindowExW(0, L"DriverPanelTestWindow", PanelTitle, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0,
                                            nullptr, nullptr, windowClass.hInstance, nullptr);
        self->m_window = window;
        SetEvent(self->m_ready);
        MSG message;
        while (window != nullptr && GetMessageW(&message, nullptr, 0, 0) > 0) {
            DispatchMessageW(&message);
        }
        if (window != nullptr) {
            DestroyWindow(window);
        }
        UnregisterClassW(L"DriverPanelTestWindow", windowClass.hInstance);
        return 0;
    }

    HANDLE m_ready = nullptr;
    HANDLE m_thread = nullptr;
    HWND volatile m_window = nullptr;
};

class DriverPanel : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        m_stateMessage = RegisterWindowMessageW(L"{D0DD3551-B394-450b-A261-839C13B405C3}.NRC");
        m_resetMessage = RegisterWindowMessageW(L"{D0DD3551-B394-450b-A261-839C13B405C3}.NRA");
        m_rateMessage = RegisterWindowMessageW(PanelTitle);
        m_panel = std::make_unique<panel_window>();
        ASSERT_TRUE(m_panel->ready());
    }
    void TearDown() override
    {
        DriverTest::TearDown();
        m_panel.reset();
    }
    // The messages the panel has received, as {message, wParam}, with the message replaced by
    // 'S' (stream state), 'R' (reset request) or 'F' (rate).
    std::vector<std::pair<char, WPARAM>> received() const
    {
        std::vector<std::pair<char, WPARAM>> out;
        std::lock_guard<std::mutex> guard(g_panel_lock);
        for (const panel_message &m : g_panel_messages) {
            const char kind = m.message == m_stateMessage ? 'S'
                              : m.message == m_resetMessage ? 'R'
                              : m.message == m_rateMessage  ? 'F'
                                                            : '?';
            out.emplace_back(kind, m.wparam);
        }
        return out;
    }
    void forget()
    {
        std::lock_guard<std::mutex> guard(g_panel_lock);
        g_panel_messages.clear();
    }
    void release(IASIO *driver)
    {
        for (auto it = m_drivers.begin(); it != m_drivers.end(); ++it) {
            if (*it == driver) {
                m_drivers.erase(it);
                break;
            }
        }
        driver->Release();
    }

    using messages = std::vector<std::pair<char, WPARAM>>;
    UINT m_stateMessage = 0;
    UINT m_resetMessage = 0;
    UINT m_rateMessage = 0;
    std::unique_ptr<panel_window> m_panel;
};

TEST_F(DriverPanel, FailedInitCreateBuffersAndStartReportOneAndDestructionTwo)
{
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(ASIOFalse, driver->init(nullptr));
    EXPECT_EQ((messages{{'S', 1}}), received());
    ASIOBufferInfo infos[1] = {{ASIOTrue, 0, {}}};
    ASIOCallbacks callbacks = recording_callbacks();
    EXPECT_EQ(ASE_NotPresent, driver->createBuffers(infos, 1, 512, &callbacks));
    EXPECT_EQ(ASE_NotPresent, driver->start());
    EXPECT_EQ((messages{{'S', 1}, {'S', 1}, {'S', 1}}), received());
    release(driver);
    EXPECT_EQ((messages{{'S', 1}, {'S', 1}, {'S', 1}, {'S', 2}}), received());
}

TEST_F(DriverPanel, StreamingSessionReportsEachStepAndTheRate)
{
    add_device();
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASIOTrue, driver->init(nullptr));
    EXPECT_EQ(ASIOFalse, driver->init(nullptr));
    EXPECT_EQ(ASE_OK, driver->setSampleRate(48000.0));
    EXPECT_EQ((messages{{'S', 1}, {'F', 48000}}), received());
    forget();

    ASIOBufferInfo infos[4] = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks callbacks = recording_callbacks();
    ASSERT_EQ(ASE_OK, driver->createBuffers(infos, 4, 512, &callbacks));
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_EQ(ASE_NotPresent, driver->start());
    ASSERT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ((messages{{'S', 0}, {'S', 1}}), received());
    forget();
    ASSERT_EQ(ASE_OK, driver->disposeBuffers());
    release(driver);
    EXPECT_EQ((messages{{'S', 2}}), received());
}

TEST_F(DriverPanel, ResetRequestIsAnnouncedOnceAndDestructionThenSaysNothing)
{
    add_device();
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASIOTrue, driver->init(nullptr));
    forget();
    ASIOBufferInfo infos[4] = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks callbacks = recording_callbacks();
    EXPECT_EQ(ASE_InvalidMode, driver->createBuffers(infos, 4, 1024, &callbacks));
    EXPECT_EQ(ASE_InvalidMode, driver->createBuffers(infos, 4, 1024, &callbacks));
    EXPECT_EQ((messages{{'R', 0}, {'S', 1}, {'S', 1}}), received());
    EXPECT_EQ(1, record().resets.load());
    forget();
    release(driver);
    EXPECT_TRUE(received().empty());
}

} // namespace
} // namespace stdasio_test
