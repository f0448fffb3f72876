// Windows: creation and destruction, their state (text, visibility, styles, window data),
// search by class and title, enumeration of top-level windows and the default procedure.
#include "window_manager.h"
#include <platform/process.h>
#include <algorithm>
#include <cstring>

using namespace platform::user32;

namespace {

#ifndef ERROR_TLW_WITH_WSCHILD
#define ERROR_TLW_WITH_WSCHILD 1406L
#endif
#ifndef ERROR_INVALID_INDEX
#define ERROR_INVALID_INDEX 1413L
#endif
#ifndef ERROR_CONTROL_ID_NOT_FOUND
#define ERROR_CONTROL_ID_NOT_FOUND 1421L
#endif

std::shared_ptr<window> lookup(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hwnd);
    if (w == nullptr) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
    }
    return w;
}

// Top-level windows, newest first (the order in which Windows keeps them stacked).
std::vector<std::shared_ptr<window>> top_level_snapshot()
{
    std::lock_guard<std::mutex> guard(manager().lock);
    std::vector<std::shared_ptr<window>> result;
    for (auto it = manager().windows.rbegin(); it != manager().windows.rend(); ++it) {
        if (is_top_level(*it->second) && !it->second->destroying) {
            result.push_back(it->second);
        }
    }
    return result;
}

void remove_window(const std::shared_ptr<window> &w)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    if (manager().windows.erase((ULONG_PTR)w->handle) != 0) {
        forget_window_locked(*w);
    }
}

} // namespace

extern "C" HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle,
                                       int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                                       HINSTANCE hInstance, LPVOID lpParam)
{
    if (lpClassName == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto queue = current_queue();
    auto w = std::make_shared<window>();
    {
        window_manager &m = manager();
        std::lock_guard<std::mutex> guard(m.lock);
        auto cls = find_class_locked(lpClassName, hInstance, false);
        if (cls == nullptr) {
            set_error(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (hWndParent == HWND_MESSAGE) {
            w->message_only = true;
        } else if (hWndParent != nullptr) {
            if (find_window(hWndParent) == nullptr) {
                set_error(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
            w->parent = hWndParent;
        } else if ((dwStyle & WS_CHILD) != 0) {
            set_error(ERROR_TLW_WITH_WSCHILD);
            return nullptr;
        }
        w->handle = (HWND)m.next_handle;
        m.next_handle += 2;
        w->cls = cls;
        w->queue = queue;
        w->style = dwStyle;
        w->ex_style = dwExStyle;
        w->text = text_or_empty(lpWindowName);
        w->proc = cls->info.lpfnWndProc;
        w->instance = hInstance;
        w->id = (dwStyle & WS_CHILD) != 0 ? (LONG_PTR)hMenu : 0;
        w->extra.assign((size_t)cls->info.cbWndExtra, 0);
        w->enabled = (dwStyle & WS_DISABLED) == 0;
        cls->window_count += 1;
        m.windows.emplace((ULONG_PTR)w->handle, w);
    }

    CREATESTRUCTW cs{};
    cs.lpCreateParams = lpParam;
    cs.hInstance = hInstance;
    cs.hMenu = hMenu;
    cs.hwndParent = hWndParent;
    cs.cx = nWidth;
    cs.cy = nHeight;
    cs.x = X;
    cs.y = Y;
    cs.style = (LONG)dwStyle;
    cs.lpszName = lpWindowName;
    cs.lpszClass = lpClassName;
    cs.dwExStyle = dwExStyle;
    if (call_window_proc(w->handle, WM_NCCREATE, 0, (LPARAM)&cs) == 0) {
        remove_window(w);
        return nullptr;
    }
    if (call_window_proc(w->handle, WM_CREATE, 0, (LPARAM)&cs) == -1) {
        DestroyWindow(w->handle);
        return nullptr;
    }
    if ((dwStyle & WS_VISIBLE) != 0) {
        std::lock_guard<std::mutex> guard(manager().lock);
        w->visible = true;
    }
    return w->handle;
}

// Only the window's own thread may destroy it. Children go after their parent's WM_DESTROY.
extern "C" BOOL WINAPI DestroyWindow(HWND hWnd)
{
    auto w = lookup(hWnd);
    if (w == nullptr) {
        return FALSE;
    }
    std::vector<HWND> children;
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        if (w->queue->owner != platform::current_thread()) {
            set_error(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (w->destroying) {
            return TRUE;
        }
        w->destroying = true;
        w->visible = false;
        for (auto &entry : manager().windows) {
            if (entry.second->parent == hWnd) {
                children.push_back(entry.second->handle);
            }
        }
    }
    call_window_proc(hWnd, WM_DESTROY, 0, 0);
    for (HWND child : children) {
        DestroyWindow(child);
    }
    call_window_proc(hWnd, WM_NCDESTROY, 0, 0);
    remove_window(w);
    return TRUE;
}

extern "C" BOOL WINAPI IsWindow(HWND hWnd)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    return find_window(hWnd) != nullptr;
}

extern "C" BOOL WINAPI IsWindowVisible(HWND hWnd)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hWnd);
    return w != nullptr && w->visible;
}

extern "C" BOOL WINAPI IsIconic(HWND hWnd)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hWnd);
    return w != nullptr && w->minimized;
}

// Returns whether the window was visible before.
extern "C" BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hWnd);
    if (w == nullptr) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const BOOL was_visible = w->visible;
    switch (nCmdShow) {
    case SW_HIDE:
        w->visible = false;
        break;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
    case SW_SHOWMINNOACTIVE:
        w->visible = true;
        w->minimized = true;
        break;
    case SW_SHOWNORMAL:
    case SW_SHOWMAXIMIZED:
    case SW_RESTORE:
    case SW_SHOWDEFAULT:
        w->visible = true;
        w->minimized = false;
        break;
    default:
        w->visible = true;
        break;
    }
    return was_visible;
}

extern "C" BOOL WINAPI SetForegroundWindow(HWND hWnd)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hWnd);
    if (w == nullptr) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    manager().foreground = hWnd;
    return TRUE;
}

extern "C" HWND WINAPI GetForegroundWindow()
{
    std::lock_guard<std::mutex> guard(manager().lock);
    return manager().foreground;
}

// Returns whether the window was disabled before.
extern "C" BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hWnd);
    if (w == nullptr) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const BOOL was_disabled = !w->enabled;
    w->enabled = bEnable != FALSE;
    w->style = w->enabled ? (w->style & ~(DWORD)WS_DISABLED) : (w->style | (DWORD)WS_DISABLED);
    return was_disabled;
}

extern "C" BOOL WINAPI IsWindowEnabled(HWND hWnd)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hWnd);
    return w != nullptr && w->enabled;
}

extern "C" HWND WINAPI GetParent(HWND hWnd)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hWnd);
    if (w == nullptr) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return w->parent;
}

extern "C" HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    for (auto &entry : manager().windows) {
        const window &w = *entry.second;
        if (w.parent == hDlg && hDlg != nullptr && w.id == nIDDlgItem) {
            return w.handle;
        }
    }
    set_error(find_window(hDlg) == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

extern "C" int WINAPI GetDlgCtrlID(HWND hWnd)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hWnd);
    if (w == nullptr) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return (int)w->id;
}

extern "C" LONG_PTR WINAPI GetWindowLongPtrW(HWND hWnd, int nIndex)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hWnd);
    if (w == nullptr) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    switch (nIndex) {
    case GWLP_WNDPROC:
        return (LONG_PTR)w->proc;
    case GWLP_HINSTANCE:
        return (LONG_PTR)w->instance;
    case GWLP_HWNDPARENT:
        return (LONG_PTR)w->parent;
    case GWLP_ID:
        return w->id;
    case GWL_STYLE:
        return (LONG_PTR)(LONG)w->style;
    case GWL_EXSTYLE:
        return (LONG_PTR)(LONG)w->ex_style;
    case GWLP_USERDATA:
        return w->user_data;
    default:
        if (nIndex >= 0 && (size_t)nIndex + sizeof(LONG_PTR) <= w->extra.size()) {
            LONG_PTR value;
            std::memcpy(&value, w->extra.data() + nIndex, sizeof(value));
            return value;
        }
        set_error(ERROR_INVALID_INDEX);
        return 0;
    }
}

// Returns the previous value.
extern "C" LONG_PTR WINAPI SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hWnd);
    if (w == nullptr) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG_PTR previous = 0;
    switch (nIndex) {
    case GWLP_WNDPROC:
        if (w->queue->owner_process != current_process() || dwNewLong == 0) {
            set_error(ERROR_ACCESS_DENIED);
            return 0;
        }
        previous = (LONG_PTR)w->proc;
        w->proc = (WNDPROC)dwNewLong;
        return previous;
    case GWLP_HINSTANCE:
        previous = (LONG_PTR)w->instance;
        w->instance = (HINSTANCE)dwNewLong;
        return previous;
    case GWLP_ID:
        previous = w->id;
        w->id = dwNewLong;
        return previous;
    case GWL_STYLE:
        previous = (LONG_PTR)(LONG)w->style;
        w->style = (DWORD)dwNewLong;
        return previous;
    case GWL_EXSTYLE:
        previous = (LONG_PTR)(LONG)w->ex_style;
        w->ex_style = (DWORD)dwNewLong;
        return previous;
    case GWLP_USERDATA:
        previous = w->user_data;
        w->user_data = dwNewLong;
        return previous;
    default:
        if (nIndex >= 0 && (size_t)nIndex + sizeof(LONG_PTR) <= w->extra.size()) {
            std::memcpy(&previous, w->extra.data() + nIndex, sizeof(previous));
            std::memcpy(w->extra.data() + nIndex, &dwNewLong, sizeof(dwNewLong));
            return previous;
        }
        set_error(ERROR_INVALID_INDEX);
        return 0;
    }
}

// A window of the caller's process answers WM_GETTEXT itself; for other processes' windows the
// stored text is read directly, so that a hung program cannot block the caller.
extern "C" int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount)
{
    auto w = lookup(hWnd);
    if (w == nullptr || lpString == nullptr || nMaxCount <= 0) {
        return 0;
    }
    bool own;
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        own = same_process(*w);
    }
    if (own) {
        return (int)SendMessageW(hWnd, WM_GETTEXT, (WPARAM)nMaxCount, (LPARAM)lpString);
    }
    std::lock_guard<std::mutex> guard(manager().lock);
    const size_t count = std::min(w->text.size(), (size_t)nMaxCount - 1);
    w->text.copy(lpString, count);
    lpString[count] = L'\0';
    return (int)count;
}

extern "C" int WINAPI GetWindowTextLengthW(HWND hWnd)
{
    auto w = lookup(hWnd);
    if (w == nullptr) {
        return 0;
    }
    bool own;
    {
        std::lock_guard<std::mutex> guard(manager().lock);
        own = same_process(*w);
        if (!own) {
            return (int)w->text.size();
        }
    }
    return (int)SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0);
}

extern "C" BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString)
{
    if (lookup(hWnd) == nullptr) {
        return FALSE;
    }
    return SendMessageW(hWnd, WM_SETTEXT, 0, (LPARAM)lpString) != 0;
}

extern "C" DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto w = find_window(hWnd);
    if (w == nullptr) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (lpdwProcessId != nullptr) {
        *lpdwProcessId = w->queue->owner_process != nullptr ? w->queue->owner_process->id : 0;
    }
    return w->queue->thread_id;
}

// Case-insensitive match of class and title over top-level windows; either may be null.
extern "C" HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName)
{
    std::lock_guard<std::mutex> guard(manager().lock);
    auto &windows = manager().windows;
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        const window &w = *it->second;
        if (!is_top_level(w) || w.destroying) {
            continue;
        }
        if (lpClassName != nullptr && !class_name_matches(*w.cls, lpClassName)) {
            continue;
        }
        if (lpWindowName != nullptr && !equal_no_case(w.text, lpWindowName)) {
            continue;
        }
        return w.handle;
    }
    return nullptr;
}

// The callback runs without the window manager's lock, so it may call any window function.
extern "C" BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam)
{
    if (lpEnumFunc == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (auto &w : top_level_snapshot()) {
        if (!IsWindow(w->handle)) {
            continue;
        }
        if (!lpEnumFunc(w->handle, lParam)) {
            return FALSE;
        }
    }
    return TRUE;
}

extern "C" LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_NCCREATE:
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(hWnd);
        return 0;
    case WM_SETTEXT: {
        std::lock_guard<std::mutex> guard(manager().lock);
        auto w = find_window(hWnd);
        if (w == nullptr) {
            return FALSE;
        }
        w->text = text_or_empty((LPCWSTR)lParam);
        return TRUE;
    }
    case WM_GETTEXT: {
        std::lock_guard<std::mutex> guard(manager().lock);
        auto w = find_window(hWnd);
        auto *buffer = (LPWSTR)lParam;
        if (w == nullptr || buffer == nullptr || wParam == 0) {
            return 0;
        }
        const size_t count = std::min(w->text.size(), (size_t)wParam - 1);
        w->text.copy(buffer, count);
        buffer[count] = L'\0';
        return (LRESULT)count;
    }
    case WM_GETTEXTLENGTH: {
        std::lock_guard<std::mutex> guard(manager().lock);
        auto w = find_window(hWnd);
        return w == nullptr ? 0 : (LRESULT)w->text.size();
    }
    case WM_QUERYENDSESSION:
    case WM_POWERBROADCAST:
    case WM_DEVICECHANGE:
        return TRUE;
    default:
        return 0;
    }
}

extern "C" LRESULT WINAPI CallWindowProcW(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return lpPrevWndFunc == nullptr ? 0 : lpPrevWndFunc(hWnd, Msg, wParam, lParam);
}
