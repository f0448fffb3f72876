// The control-panel program started by the ASIO driver and driven by the simulated user while
// the host streams.
#include "panel_companion.h"
#include <CmnRegUtil.h>
#include <ControlPanelResources.h>
#include <RateTables.h>
#include <platform/clock.h>
#include <platform/ui_automation.h>
#include <platform/win32_system.h>
#include <sim/asio_host.h>
#include <chrono>
#include <thread>
#include "job_log.h"

namespace ovmrun {

namespace {

// Where the installer puts the program, and the setup key it writes the path to.
constexpr const wchar_t *panel_module_file = L"ovmlsaaudcp.exe";
constexpr const wchar_t *panel_path = L"C:\\Program Files\\Orvan\\Marla Series\\ovmlsaaudcp.exe";
constexpr const wchar_t *setup_key = L"SOFTWARE\\Orvan\\{08E5CF00-6FA5-4F62-AD3A-51A60F25EE79}";

constexpr uint32_t call_timeout_ms = 10000;
constexpr uint32_t window_timeout_ms = 10000;
constexpr uint32_t reset_timeout_ms = 10000;
constexpr uint32_t refusal_wait_ms = 1000;
// The dialog counts as settled when what it shows stays the same this many looks in a row.
constexpr int settled_looks = 5;
constexpr auto look_period = std::chrono::milliseconds(10);
constexpr auto settle_limit = std::chrono::seconds(10);

namespace ui = platform::ui;

// What the dialog shows of the settings: rate rows and selection, buffer text, enabled states.
std::wstring snapshot(HWND panel)
{
    std::wstring text;
    for (const std::wstring &row : ui::list_items(panel, IDC_RATE_COMBO)) {
        text += row + L"|";
    }
    text += std::to_wstring(ui::current_selection(panel, IDC_RATE_COMBO)) + L"|" +
            ui::read_control(panel, IDC_BUFFER_TEXT).text + L"|" +
            (ui::read_control(panel, IDC_RATE_COMBO).enabled ? L"1" : L"0") +
            (ui::read_control(panel, IDC_BUFFER_SLIDER).enabled ? L"1" : L"0");
    return text;
}

// The panel's first writes come back to it as settings notifications, each of which refills
// what it shows; a user clicks once it has stopped changing.
void wait_settled(HWND panel)
{
    std::wstring last = snapshot(panel);
    int unchanged = 0;
    const auto deadline = std::chrono::steady_clock::now() + settle_limit;
    while (unchanged < settled_looks && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(look_period);
        const std::wstring now = snapshot(panel);
        unchanged = now == last ? unchanged + 1 : 0;
        last = now;
    }
}

std::string shown_setting(HWND panel, panel_setting what)
{
    if (what == panel_setting::buffer_index) {
        return narrow(ui::read_control(panel, IDC_BUFFER_TEXT).text) + " (slider at " +
               std::to_string(ui::read_slider(panel, IDC_BUFFER_SLIDER).position) + ")";
    }
    const std::vector<std::wstring> rows = ui::list_items(panel, IDC_RATE_COMBO);
    const int row = ui::current_selection(panel, IDC_RATE_COMBO);
    return row >= 0 && (size_t)row < rows.size() ? narrow(rows[(size_t)row]) : std::string("no rate");
}

DWORD stored(LONG id)
{
    CmnRegUtil settings;
    DWORD value = 0;
    return settings.GetValue(id, &value, sizeof(value)) == REGUTIL_OK ? value : 0;
}

} // namespace

bool install_control_panel()
{
    platform::module_register_path(panel_module_file, panel_path);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, setup_key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring path = panel_path;
    const bool written = RegSetValueExW(key, L"ControlPanel", 0, REG_SZ, reinterpret_cast<const BYTE *>(path.c_str()),
                                        (DWORD)((path.size() + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

panel_companion::panel_companion(const panel_change &change) : m_change(change) {}

void panel_companion::at(stream_point point, sim::asio_host *host)
{
    if (point == stream_point::midway && host != nullptr && !m_figures.ran) {
        m_figures.ran = true;
        change_setting(*host);
    } else if (point == stream_point::ending) {
        close();
    }
}

void panel_companion::change_setting(sim::asio_host &host)
{
    if (!host.open_control_panel(call_timeout_ms, &m_figures.control_panel)) {
        m_figures.failure = "the host could not call controlPanel (it does not stream, or the call did not return)";
        return;
    }
    m_window = ui::find_window_by_title(PANEL_WINDOW_TITLE, window_timeout_ms);
    m_figures.window = m_window != nullptr;
    if (m_window == nullptr) {
        m_figures.failure = "controlPanel started no control panel";
        return;
    }
    GetWindowThreadProcessId(m_window, &m_process_id);
    wait_settled(m_window);
    m_figures.shown_before = shown_setting(m_window, m_change.what);
    const size_t boxes = ui::message_boxes().size();
    const uint64_t resets = host.resets();
    const uint64_t sessions = host.sessions().size();
    m_figures.click_time = platform::clock_now();
    if (m_change.what == panel_setting::buffer_index) {
        m_figures.clicked = ui::move_slider(m_window, IDC_BUFFER_SLIDER, (int)m_change.value);
    } else {
        const std::vector<std::wstring> rows = ui::list_items(m_window, IDC_RATE_COMBO);
        for (size_t row = 0; row < rows.size() && !m_figures.clicked; ++row) {
            if (rows[row] == std::to_wstring(m_change.value) + L" Hz") {
                m_figures.clicked = ui::select_item(m_window, IDC_RATE_COMBO, (int)row);
            }
        }
    }
    if (!m_figures.clicked) {
        m_figures.failure = "the panel did not take the click (the control is missing or disabled)";
        return;
    }
    // A new buffer size reaches the host as a reset request. A rate the device cannot take
    // while it streams is refused by the panel and asks for none, so a while without one is
    // enough to tell.
    m_figures.reset = host.wait_resets(resets + 1, m_change.what == panel_setting::rate ? refusal_wait_ms
                                                                                          : reset_timeout_ms);
    // The host streams again once its new buffers have had a switch or two.
    if (m_figures.reset) {
        host.wait_buffer_switches(host.buffer_switches() + 2, reset_timeout_ms);
    }
    wait_settled(m_window);
    m_figures.shown_after = shown_setting(m_window, m_change.what);
    const std::vector<platform::message_box_record> shown = ui::message_boxes();
    for (size_t i = boxes; i < shown.size(); ++i) {
        m_figures.messages.push_back(narrow(shown[i].text));
    }
    m_figures.stored_index = stored(REGVAL_BUFFER_SIZE_INDEX);
    m_figures.stored_rate = stored(REGVAL_SAMPLING_RATE);
    if (host.sessions().size() > sessions) {
        m_figures.buffer_frames_after = (uint32_t)host.buffer_size();
        m_figures.rate_after = (uint32_t)host.sample_rate();
    }
}

void panel_companion::close()
{
    if (m_window == nullptr) {
        return;
    }
    const HWND window = m_window;
    m_window = nullptr;
    HANDLE process = m_process_id != 0 ? OpenProcess(SYNCHRONIZE, FALSE, m_process_id) : nullptr;
    m_figures.closed = ui::close_window(window) && ui::wait_window_gone(window) &&
                       (process == nullptr || WaitForSingleObject(process, window_timeout_ms) == WAIT_OBJECT_0);
    if (process != nullptr) {
        CloseHandle(process);
    }
}

void panel_companion::finish(stream_result &result)
{
    if (m_figures.click_time >= 0) {
        result.events.push_back({run_event::kind::panel_click, m_figures.click_time});
    }
    for (const run_event &event : result.events) {
        if (event.time < m_figures.click_time) {
            continue;
        }
        if (event.what == run_event::kind::reset_request && m_figures.reset_time < 0) {
            m_figures.reset_time = event.time;
        } else if (event.what == run_event::kind::streaming_resumed && m_figures.resumed_time < 0) {
            m_figures.resumed_time = event.time;
        }
    }
}

} // namespace ovmrun
