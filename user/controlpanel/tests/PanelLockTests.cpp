// The dialog run inside the test's machine, so that a subclass can look at the settings mutex
// at the moment the dialog tells the user that the device refused a rate: the mutex must be
// free then, or a modal box would hold up every driver and host that waits for it.
#include "PanelFixture.h"
#include <commctrl.h>
#include <platform/process.h>
#include <platform/ui_automation.h>
#include <atomic>
#include <thread>
#include "AsioControlPanelDlg.h"
#include "CmnRegUtil.h"
#include "ControlPanelResources.h"
#include "NamedObjects.h"
#include "PanelTestSupport.h"

namespace {

namespace ui = platform::ui;

std::atomic<int> g_refusals{0};
std::atomic<DWORD> g_probe{WAIT_FAILED};

class ProbingDialog : public CAsioControlPanelDlg {
protected:
    void ShowDeviceInUse() override
    {
        DWORD result = WAIT_FAILED;
        std::thread other([&result] {
            HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, OVM_SETTINGS_MUTEX_NAME);
            result = mutex == nullptr ? WAIT_FAILED : WaitForSingleObject(mutex, 0);
            if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
                ReleaseMutex(mutex);
            }
            if (mutex != nullptr) {
                CloseHandle(mutex);
            }
        });
        other.join();
        g_probe = result;
        ++g_refusals;
        CAsioControlPanelDlg::ShowDeviceInUse();
    }
};

class PanelLockTest : public PanelTest {};

TEST_F(PanelLockTest, TheRefusalIsShownWithTheSettingsMutexFree)
{
    sim::audio_device_options options;
    options.clock_rates = {44100, 48000, 192000};
    options.initial_rate = 48000;
    attach(u"OVM0001", options);
    store_number(REGVAL_SAMPLING_RATE, 48000);
    CAfxResourceRegistration resources(g_PanelResources);
    g_refusals = 0;
    g_probe = WAIT_FAILED;

    platform::process *panel = platform::process_create(L"ovmlsaaudcp.exe", L"ovmlsaaudcp.exe");
    std::atomic<INT_PTR> result{-2};
    platform::thread *thread = platform::process_start_thread(panel, [&result] {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
        InitCommonControlsEx(&controls);
        ProbingDialog dialog;
        result = dialog.DoModal();
    });
    ASSERT_NE(nullptr, thread);
    m_panel = ui::find_window_by_title(PANEL_WINDOW_TITLE);
    // The fixture closes the dialog on every way out, before its process is torn down.
    ASSERT_NE(nullptr, m_panel);
    settle();

    ASSERT_TRUE(select(IDC_RATE_COMBO, 2)); // 88200 Hz, which the device lacks
    EXPECT_EQ(1, g_refusals.load());
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, g_probe.load()) << "another thread owns the settings mutex meanwhile";
    EXPECT_EQ(48000u, stored_number(REGVAL_SAMPLING_RATE));

    // A refusal found while the dialog follows a settings change is shown the same way.
    store_number(REGVAL_SAMPLING_RATE, 88200);
    EXPECT_TRUE(panel_test::wait_for([] { return g_refusals.load() == 2; }));
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, g_probe.load());

    const HWND window = m_panel;
    m_panel = nullptr;
    ASSERT_TRUE(ui::close_window(window));
    EXPECT_TRUE(platform::process_wait_threads(panel, 10000));
    EXPECT_NE(-2, result.load());
    platform::thread_dereference(thread);
    platform::process_dereference(panel);
}

} // namespace
