// The simulated user: finding dialogs, reading their controls and acting on them. Reads go
// straight to the window manager's records or through messages sent to the control's thread
// (a list's rows in one message); actions are sent to the control, which changes and notifies
// its parent on its own thread.
#include "mfc_internal.h"
#include "../user32/controls.h"
#include <platform/clock.h>
#include <platform/ui_automation.h>
#include <chrono>

using namespace platform;
using namespace platform::user32;

namespace {

using steady = std::chrono::steady_clock;

HWND find_titled(const std::wstring &title)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    for (auto it = manager().windows.rbegin(); it != manager().windows.rend(); ++it) {
        const window &w = *it->second;
        if (is_top_level(w) && !w.destroying && w.visible && w.text == title) {
            return w.handle;
        }
    }
    return nullptr;
}

// Visible and enabled, itself and its parent chain.
bool usable(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    for (HWND h = hwnd; h != nullptr;) {
        auto w = find_window(h);
        if (w == nullptr || w->destroying || !w->visible || !w->enabled) {
            return false;
        }
        h = w->parent;
    }
    return true;
}

HWND control_of(HWND dialog, int id) { return id == 0 ? (IsWindow(dialog) ? dialog : nullptr) : GetDlgItem(dialog, id); }

bool send(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, DWORD timeout_ms, LRESULT *result)
{
    const LONGLONG timeout = (LONGLONG)timeout_ms * ticks_per_ms;
    LRESULT ignored = 0;
    return send_message(hwnd, msg, wparam, lparam, &timeout, result != nullptr ? result : &ignored);
}

std::wstring class_of(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hwnd);
    return w == nullptr ? std::wstring() : w->cls->name;
}

bool is_class(HWND hwnd, LPCWSTR name) { return equal_no_case(class_of(hwnd), name); }

bool act(HWND dialog, int id, input_action action, LPARAM argument, DWORD timeout_ms)
{
    HWND control = control_of(dialog, id);
    if (control == nullptr || !usable(control)) {
        return false;
    }
    LRESULT applied = FALSE;
    return send(control, user_input_message(), action, argument, timeout_ms, &applied) && applied != FALSE;
}

} // namespace

namespace platform::ui {

HWND find_window_by_title(const std::wstring &title, DWORD timeout_ms)
{
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const unsigned long generation = mfc::ui_generation();
        HWND found = find_titled(title);
        if (found != nullptr || steady::now() >= deadline) {
            return found;
        }
        // Plain windows shown without the framework do not signal: look again now and then.
        mfc::ui_wait(generation, 20);
    }
}

bool wait_window_gone(HWND hwnd, DWORD timeout_ms)
{
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const unsigned long generation = mfc::ui_generation();
        if (!IsWindow(hwnd)) {
            return true;
        }
        if (steady::now() >= deadline) {
            return false;
        }
        mfc::ui_wait(generation, 20);
    }
}

control_state read_control(HWND dialog, int id)
{
    control_state result;
    HWND control = control_of(dialog, id);
    if (control == nullptr) {
        return result;
    }
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(control);
    if (w == nullptr) {
        return result;
    }
    result.exists = true;
    result.enabled = w->enabled;
    result.visible = w->visible;
    for (auto parent = find_window(w->parent); parent != nullptr; parent = find_window(parent->parent)) {
        result.visible = result.visible && parent->visible;
    }
    result.id = (int)w->id;
    result.style = w->style;
    result.class_name = w->cls->name;
    result.text = w->text;
    return result;
}

std::vector<std::wstring> list_items(HWND dialog, int id)
{
    std::vector<std::wstring> items;
    HWND control = control_of(dialog, id);
    if (control == nullptr || (!is_class(control, WC_LISTBOXW) && !is_class(control, WC_COMBOBOXW))) {
        return items;
    }
    // One request handled on the control's thread: the rows come from one state of the list,
    // however the dialog refills it meanwhile.
    LRESULT read = FALSE;
    if (!send(control, user_input_message(), input_read_rows, (LPARAM)&items, 10000, &read) || !read) {
        items.clear();
    }
    return items;
}

int current_selection(HWND dialog, int id)
{
    HWND control = control_of(dialog, id);
    LRESULT selection = -1;
    if (is_class(control, WC_LISTBOXW)) {
        send(control, LB_GETCURSEL, 0, 0, 10000, &selection);
    } else if (is_class(control, WC_COMBOBOXW)) {
        send(control, CB_GETCURSEL, 0, 0, 10000, &selection);
    }
    return (int)selection;
}

slider_state read_slider(HWND dialog, int id)
{
    slider_state result;
    HWND control = control_of(dialog, id);
    if (!is_class(control, TRACKBAR_CLASSW)) {
        return result;
    }
    LRESULT value = 0;
    result.exists = send(control, TBM_GETPOS, 0, 0, 10000, &value);
    result.position = (int)value;
    send(control, TBM_GETRANGEMIN, 0, 0, 10000, &value);
    result.range_min = (int)value;
    send(control, TBM_GETRANGEMAX, 0, 0, 10000, &value);
    result.range_max = (int)value;
    return result;
}

bool select_item(HWND dialog, int id, int index, DWORD timeout_ms)
{
    return index >= 0 && act(dialog, id, input_select, index, timeout_ms);
}

bool move_slider(HWND dialog, int id, int position, DWORD timeout_ms)
{
    return is_class(control_of(dialog, id), TRACKBAR_CLASSW) && act(dialog, id, input_thumb, position, timeout_ms);
}

bool press_slider_key(HWND dialog, int id, UINT code, DWORD timeout_ms)
{
    return is_class(control_of(dialog, id), TRACKBAR_CLASSW) && act(dialog, id, input_key, (LPARAM)code, timeout_ms);
}

bool click_button(HWND dialog, int id, DWORD timeout_ms)
{
    return is_class(control_of(dialog, id), WC_BUTTONW) && act(dialog, id, input_click, 0, timeout_ms);
}

bool close_window(HWND window, DWORD timeout_ms)
{
    if (window == nullptr || !IsWindow(window)) {
        return false;
    }
    return send(window, WM_SYSCOMMAND, SC_CLOSE, 0, timeout_ms, nullptr);
}

std::vector<drawn_item> paint_list_box(HWND dialog, int id, DWORD timeout_ms)
{
    std::vector<drawn_item> items;
    HWND control = control_of(dialog, id);
    if (control == nullptr || !is_class(control, WC_LISTBOXW)) {
        return items;
    }
    LRESULT painted = FALSE;
    if (!send(control, user_input_message(), input_paint, (LPARAM)&items, timeout_ms, &painted) || !painted) {
        items.clear();
    }
    return items;
}

std::vector<drawing> paint_window(HWND window, DWORD timeout_ms)
{
    if (!IsWindow(window)) {
        return {};
    }
    dc_capture_begin(window);
    const bool answered = send(window, WM_PAINT, 0, 0, timeout_ms, nullptr);
    std::vector<drawing> drawings = dc_capture_end(window);
    if (!answered) {
        drawings.clear();
    }
    return drawings;
}

} // namespace platform::ui
