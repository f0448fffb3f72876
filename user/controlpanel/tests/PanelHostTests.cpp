// The control panel beside the real ASIO driver and a host that streams through it: the
// panel's writes reach the running driver as reset requests, and the panel follows the host
// taking the driver and letting go of it. (A host that dies holding the driver is played by
// its named objects in the sync thread's tests: a killed host's driver object stays behind.)
#include "PanelFixture.h"
#include <objbase.h>
#include <platform/ui_automation.h>
#include <platform/win32_system.h>
#include <sim/asio_host.h>
#include "CmnRegUtil.h"
#include "ControlPanelResources.h"
#include "NamedObjects.h"
#include "PanelTestSupport.h"

namespace {

using panel_test::wait_for;
namespace ui = platform::ui;

const WCHAR DriverName[] = L"Orvan Marla Series Async ASIO";

class PanelHostTest : public PanelTest {
protected:
    void SetUp() override
    {
        PanelTest::SetUp();
        platform::module_register_path(L"ovmlsaaso.dll", L"C:\\Program Files\\Orvan\\ASIO\\ovmlsaaso.dll");
        m_driver = LoadLibraryW(L"ovmlsaaso.dll");
        ASSERT_NE(nullptr, m_driver);
        auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE *)()>(
            reinterpret_cast<void (*)()>(GetProcAddress(m_driver, "DllRegisterServer")));
        ASSERT_NE(nullptr, registerServer);
        ASSERT_EQ(S_OK, registerServer());
    }
    void TearDown() override
    {
        PanelTest::TearDown();
        if (m_driver != nullptr) {
            FreeLibrary(m_driver);
        }
    }

    static sim::asio_host_options host_options()
    {
        sim::asio_host_options options;
        options.driver = DriverName;
        return options;
    }

    static bool driver_in_use()
    {
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, OVM_DRIVER_IN_USE_EVENT_NAME);
        const bool set = event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
        if (event != nullptr) {
            CloseHandle(event);
        }
        return set;
    }

    HMODULE m_driver = nullptr;
};

TEST_F(PanelHostTest, TheRunningDriverHearsOfThePanelsWrites)
{
    const attached_device device = attach(u"OVM0001");
    store_selected(device.instance_id);
    store_number(REGVAL_SAMPLING_RATE, 48000);
    store_number(REGVAL_BUFFER_SIZE_INDEX, 7);
    sim::asio_host host(host_options());
    ASSERT_TRUE(host.start()) << host.error();
    ASSERT_TRUE(host.wait_buffer_switches(8, 10000));
    ASSERT_TRUE(driver_in_use());
    ASSERT_NE(nullptr, start_panel());
    ASSERT_EQ(0, bold_row());
    ASSERT_TRUE(control_enabled(IDC_BUFFER_SLIDER)) << "the host's own device stays the user's to set up";

    const uint64_t resets = host.resets();
    ASSERT_TRUE(ui::move_slider(m_panel, IDC_BUFFER_SLIDER, 3));
    EXPECT_EQ(3u, stored_number(REGVAL_BUFFER_SIZE_INDEX));
    EXPECT_TRUE(host.wait_resets(resets + 1, 10000)) << "the driver asked its host for a reset";
    EXPECT_TRUE(wait_for([&] { return host.buffer_size() == 256; })) << host.buffer_size();

    ASSERT_TRUE(host.stop());
    EXPECT_TRUE(wait_for([] { return !driver_in_use(); }));
}

TEST_F(PanelHostTest, OnAFirstRunThePanelFollowsTheRateAHostSets)
{
    const attached_device device = attach(u"OVM0001");
    ASSERT_NE(nullptr, start_panel()); // before the settings key exists
    ASSERT_EQ(0, selection(IDC_RATE_COMBO));

    sim::asio_host_options options = host_options();
    options.sample_rate = 96000;
    sim::asio_host host(options);
    ASSERT_TRUE(host.start()) << host.error();
    EXPECT_TRUE(wait_for([&] { return stored_number(REGVAL_SAMPLING_RATE) == 96000 && selection(IDC_RATE_COMBO) == 3; }));
    settle();
    EXPECT_EQ(3, selection(IDC_RATE_COMBO));
    EXPECT_EQ(96000u, device_rate(device)) << "the panel left the host's rate on the device";
    const uint64_t switches = host.buffer_switches();
    EXPECT_TRUE(host.wait_buffer_switches(switches + 8, 10000));
    EXPECT_EQ(96000.0, host.sample_rate());
    ASSERT_TRUE(host.stop());
}

TEST_F(PanelHostTest, AHostReleasingTheDriverGivesThePanelTheChoiceBack)
{
    const attached_device device = attach(u"OVM0001");
    const attached_device second = attach(u"OVM0002", {}, u"Second USB Audio");
    store_selected(device.instance_id);
    store_number(REGVAL_SAMPLING_RATE, 48000);
    sim::asio_host host(host_options());
    ASSERT_TRUE(host.start()) << host.error();
    ASSERT_NE(nullptr, start_panel());
    ASSERT_TRUE(driver_in_use());

    // The host holds the driver: another device cannot become current.
    ASSERT_NE(-1, row_of(device));
    ASSERT_EQ(row_of(device), bold_row());
    ASSERT_TRUE(select(IDC_DEVICE_LIST, row_of(second)));
    EXPECT_EQ(device.instance_id, stored_selected());
    EXPECT_EQ(row_of(device), bold_row());

    // A DSD rate the host left behind, written without telling the driver.
    store_number(REGVAL_SAMPLING_RATE, 2822400);
    ASSERT_TRUE(host.stop());
    EXPECT_TRUE(wait_for([&] { return stored_number(REGVAL_SAMPLING_RATE) == 88200; }));
    EXPECT_TRUE(wait_for([] { return !driver_in_use(); }));
    settle();

    // The driver is free again: a click makes the other device current. Taking the stored
    // rate, its driver registers its interface anew and the list is read again.
    ASSERT_TRUE(select(IDC_DEVICE_LIST, row_of(device)));
    ASSERT_TRUE(select(IDC_DEVICE_LIST, row_of(second)));
    EXPECT_EQ(second.instance_id, stored_selected());
    EXPECT_TRUE(wait_for([&] { return bold_row() == row_of(second); }));
}

} // namespace
