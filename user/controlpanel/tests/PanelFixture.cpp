// The panel tests' machine, devices, program start and settings helpers.
#include "PanelFixture.h"
#include <wingdi.h>
#include <ks.h>
#include <ksmedia.h>
#include <platform/pnp.h>
#include <platform/ui_automation.h>
#include <platform/window_station.h>
#include <algorithm>
#include <chrono>
#include <thread>
#include "AsioDeviceList.h"
#include "CmnRegUtil.h"
#include "ControlPanelResources.h"
#include "PanelTestSupport.h"
#include "RegUtil2.h"

namespace {

const WCHAR PanelCommandLine[] = L"\"C:\\Program Files\\Orvan\\ASIO\\ovmlsaaudcp.exe\"";

std::wstring interface_path_of(DEVICE_OBJECT *pdo)
{
    for (const auto &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        if (entry.pdo == pdo) {
            return entry.user_path;
        }
    }
    return {};
}

HANDLE start_program()
{
    std::wstring line = PanelCommandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

} // namespace

void PanelTest::SetUp()
{
    m_machine = std::make_unique<sim::machine>();
    m_machine->install_driver(L"USB\\Class_01&SubClass_01", "ovmlsaau", L"OVMLSAAU");
}

void PanelTest::TearDown()
{
    if (m_panel != nullptr) {
        close_panel();
    }
    if (m_process != nullptr) {
        CloseHandle(m_process);
        m_process = nullptr;
    }
    m_machine.reset();
    m_models.clear();
}

PanelTest::attached_device PanelTest::attach(const char16_t *serial, sim::audio_device_options options,
                                             const char16_t *product)
{
    sim::uac2_options descriptors;
    descriptors.serial = serial;
    if (product != nullptr) {
        descriptors.product = product;
    }
    auto model = std::make_shared<sim::audio_device>(sim::build_uac2_device(descriptors), options);
    attached_device device;
    EXPECT_EQ(STATUS_SUCCESS, m_machine->attach(model, &device.pdo));
    m_models.push_back(model);
    if (device.pdo == nullptr) {
        return device;
    }
    platform::device_node *node = platform::pnp_node_of(device.pdo);
    EXPECT_NE(nullptr, node);
    if (node != nullptr) {
        device.instance_id = node->instance_id;
        device.description = node->description;
    }
    device.interface_path = interface_path_of(device.pdo);
    platform::device_notifications_flush();
    return device;
}

void PanelTest::detach(attached_device &device)
{
    ASSERT_EQ(STATUS_SUCCESS, m_machine->detach(device.pdo));
    device.pdo = nullptr;
    platform::device_notifications_flush();
}

HWND PanelTest::start_panel()
{
    m_process = start_program();
    if (m_process == nullptr) {
        return nullptr;
    }
    m_panel = platform::ui::find_window_by_title(PANEL_WINDOW_TITLE);
    if (m_panel != nullptr) {
        settle();
    }
    return m_panel;
}

void PanelTest::settle() const
{
    // The panel's own first writes come back to it as settings notifications, each of which
    // refills the rate combo, and a rate it pushes to a device may make that device's driver
    // register its interface anew, which refills the device list; the dialog is settled once
    // what it shows stays the same.
    const auto snapshot = [this] {
        std::wstring text;
        for (int id : {IDC_DEVICE_LIST, IDC_RATE_COMBO}) {
            for (const std::wstring &row : items(id)) {
                text += row + L"|";
            }
        }
        text += std::to_wstring(selection(IDC_RATE_COMBO)) + L"|" + std::to_wstring(selection(IDC_DEVICE_LIST)) +
                L"|" + control_text(IDC_BUFFER_TEXT) + L"|" + (control_enabled(IDC_RATE_COMBO) ? L"1" : L"0") +
                (control_enabled(IDC_BUFFER_SLIDER) ? L"1" : L"0");
        return text;
    };
    std::wstring last = snapshot();
    int unchanged = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (unchanged < 5 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::wstring now = snapshot();
        unchanged = now == last ? unchanged + 1 : 0;
        last = now;
    }
}

bool PanelTest::select(int id, int index) const
{
    // A control the dialog disables while it refills it takes the click once it is back.
    return panel_test::wait_for([&] { return platform::ui::select_item(m_panel, id, index, 10000); });
}

DWORD PanelTest::start_second_panel()
{
    HANDLE second = start_program();
    if (second == nullptr) {
        ADD_FAILURE() << "the second panel did not start";
        return (DWORD)-1;
    }
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(second, 10000)) << "the second panel ends by itself";
    DWORD code = (DWORD)-1;
    GetExitCodeProcess(second, &code);
    CloseHandle(second);
    return code;
}

bool PanelTest::close_panel()
{
    const HWND panel = m_panel;
    m_panel = nullptr;
    if (!platform::ui::close_window(panel)) {
        return false;
    }
    return platform::ui::wait_window_gone(panel) && m_process != nullptr &&
           WaitForSingleObject(m_process, 10000) == WAIT_OBJECT_0;
}

void PanelTest::create_settings()
{
    CmnRegUtil settings;
    DWORD probe = 0;
    settings.GetValue(REGVAL_SAMPLING_RATE, &probe, sizeof(probe));
}

void PanelTest::store_number(LONG id, DWORD value)
{
    create_settings();
    CmnRegUtil settings;
    ASSERT_EQ(REGUTIL_OK, settings.SetValue(id, &value, sizeof(value)));
}

void PanelTest::store_selected(const std::wstring &instance_id)
{
    create_settings();
    CRegUtil2 settings;
    ASSERT_EQ(REGUTIL_OK, settings.SetSelected(instance_id.c_str()));
}

DWORD PanelTest::stored_number(LONG id)
{
    CmnRegUtil settings;
    DWORD value = 0;
    return settings.GetValue(id, &value, sizeof(value)) == REGUTIL_OK ? value : 0;
}

std::wstring PanelTest::stored_selected()
{
    CRegUtil2 settings;
    WCHAR buffer[261];
    settings.GetSelected(buffer, 261);
    return buffer;
}

DWORD PanelTest::device_rate(const attached_device &device)
{
    CAsioDeviceList list;
    list.EnumerateDevices();
    for (INT i = 0; i < list.GetCount(); ++i) {
        if (device.instance_id == list.GetDevice(i)->InstanceId) {
            return CAsioDeviceList::GetSampleRate(list.GetDevice(i));
        }
    }
    return 0;
}

std::wstring PanelTest::control_text(int id) const
{
    return platform::ui::read_control(m_panel, id).text;
}

bool PanelTest::control_enabled(int id) const
{
    return platform::ui::read_control(m_panel, id).enabled;
}

std::vector<std::wstring> PanelTest::items(int id) const
{
    return platform::ui::list_items(m_panel, id);
}

int PanelTest::row_of(const attached_device &device) const
{
    const std::vector<std::wstring> rows = items(IDC_DEVICE_LIST);
    const auto found = std::find(rows.begin(), rows.end(), device.description);
    return found == rows.end() ? -1 : (int)(found - rows.begin());
}

int PanelTest::selection(int id) const
{
    return platform::ui::current_selection(m_panel, id);
}

int PanelTest::bold_row() const
{
    int bold = -1;
    for (const auto &item : platform::ui::paint_list_box(m_panel, IDC_DEVICE_LIST)) {
        for (const auto &drawing : item.drawings) {
            if (drawing.what == platform::ui::drawing::kind::text && drawing.font_weight >= FW_HEAVY) {
                bold = item.index;
            }
        }
    }
    return bold;
}
