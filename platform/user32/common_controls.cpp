// The Button, Static and trackbar control classes, the registration of the control classes in
// a process (InitCommonControlsEx) and the message by which the simulated user acts on them.
#include "controls.h"
#include <algorithm>

using namespace platform;
using namespace platform::user32;

namespace platform::user32 {
WNDPROC list_box_procedure();
WNDPROC combo_box_procedure();
} // namespace platform::user32

namespace {

struct trackbar {
    int min = 0;
    int max = 100;
    int pos = 0;
    int line = 1;
    int page = 20;
    DWORD style = 0;

    void clamp() { pos = std::clamp(pos, min, std::max(min, max)); }
};

trackbar *trackbar_of(HWND hwnd) { return reinterpret_cast<trackbar *>(GetWindowLongPtrW(hwnd, 0)); }

void send_scroll(HWND hwnd, const trackbar &t, WORD code, int pos)
{
    HWND parent = GetParent(hwnd);
    if (parent != nullptr) {
        const UINT msg = (t.style & TBS_VERT) != 0 ? WM_VSCROLL : WM_HSCROLL;
        SendMessageW(parent, msg, MAKEWPARAM(code, (WORD)pos), (LPARAM)hwnd);
    }
}

LRESULT CALLBACK trackbar_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCCREATE) {
        auto *cs = (const CREATESTRUCTW *)lParam;
        auto *t = new trackbar;
        t->style = (DWORD)cs->style;
        SetWindowLongPtrW(hwnd, 0, (LONG_PTR)t);
        geometry_created(hwnd, cs);
        return TRUE;
    }
    trackbar *t = trackbar_of(hwnd);
    if (t == nullptr) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    if (msg == user_input_message()) {
        if (wParam == input_thumb) {
            t->pos = (int)lParam;
            t->clamp();
            send_scroll(hwnd, *t, TB_THUMBTRACK, t->pos);
            send_scroll(hwnd, *t, TB_THUMBPOSITION, t->pos);
            send_scroll(hwnd, *t, TB_ENDTRACK, 0);
            return TRUE;
        }
        if (wParam != input_key) {
            return FALSE;
        }
        switch ((UINT)lParam) {
        case TB_LINEUP:
            t->pos -= t->line;
            break;
        case TB_LINEDOWN:
            t->pos += t->line;
            break;
        case TB_PAGEUP:
            t->pos -= t->page;
            break;
        case TB_PAGEDOWN:
            t->pos += t->page;
            break;
        case TB_TOP:
            t->pos = t->min;
            break;
        case TB_BOTTOM:
            t->pos = t->max;
            break;
        default:
            return FALSE;
        }
        t->clamp();
        send_scroll(hwnd, *t, (WORD)lParam, 0);
        send_scroll(hwnd, *t, TB_ENDTRACK, 0);
        return TRUE;
    }
    int previous;
    switch (msg) {
    case TBM_GETPOS:
        return t->pos;
    case TBM_SETPOS:
    case TBM_SETPOSNOTIFY:
        t->pos = (int)lParam;
        t->clamp();
        if (msg == TBM_SETPOSNOTIFY) {
            send_scroll(hwnd, *t, TB_THUMBPOSITION, t->pos);
        }
        return 0;
    case TBM_SETRANGE:
        t->min = (SHORT)LOWORD(lParam);
        t->max = (SHORT)HIWORD(lParam);
        t->clamp();
        return 0;
    case TBM_SETRANGEMIN:
        t->min = (int)lParam;
        t->clamp();
        return 0;
    case TBM_SETRANGEMAX:
        t->max = (int)lParam;
        t->clamp();
        return 0;
    case TBM_GETRANGEMIN:
        return t->min;
    case TBM_GETRANGEMAX:
        return t->max;
    case TBM_SETPAGESIZE:
        previous = t->page;
        t->page = (int)lParam;
        return previous;
    case TBM_GETPAGESIZE:
        return t->page;
    case TBM_SETLINESIZE:
        previous = t->line;
        t->line = (int)lParam;
        return previous;
    case TBM_GETLINESIZE:
        return t->line;
    case WM_NCDESTROY:
        geometry_forget(hwnd);
        focus_forget(hwnd);
        SetWindowLongPtrW(hwnd, 0, 0);
        delete t;
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

// A button keeps its check state, a static its icon, in the window's extra bytes.
LRESULT CALLBACK button_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    const DWORD type = (DWORD)GetWindowLongPtrW(hwnd, GWL_STYLE) & BS_TYPEMASK;
    if (msg == user_input_message()) {
        if (wParam != input_click || type == BS_GROUPBOX) {
            return FALSE;
        }
        if (type == BS_AUTOCHECKBOX) {
            SetWindowLongPtrW(hwnd, 0, GetWindowLongPtrW(hwnd, 0) == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED);
        }
        notify_parent(hwnd, BN_CLICKED);
        return TRUE;
    }
    switch (msg) {
    case WM_NCCREATE:
        geometry_created(hwnd, (const CREATESTRUCTW *)lParam);
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    case WM_NCDESTROY:
        geometry_forget(hwnd);
        focus_forget(hwnd);
        return 0;
    case BM_GETCHECK:
        return GetWindowLongPtrW(hwnd, 0);
    case BM_SETCHECK:
        SetWindowLongPtrW(hwnd, 0, (LONG_PTR)wParam);
        return 0;
    case BM_CLICK:
        if (IsWindowEnabled(hwnd)) {
            return SendMessageW(hwnd, user_input_message(), input_click, 0);
        }
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

LRESULT CALLBACK static_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_NCCREATE:
        geometry_created(hwnd, (const CREATESTRUCTW *)lParam);
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    case WM_NCDESTROY:
        geometry_forget(hwnd);
        return 0;
    case STM_SETICON:
        return SetWindowLongPtrW(hwnd, 0, (LONG_PTR)wParam);
    case STM_GETICON:
        return GetWindowLongPtrW(hwnd, 0);
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

void register_class(LPCWSTR name, WNDPROC proc)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_GLOBALCLASS | CS_DBLCLKS;
    wc.lpfnWndProc = proc;
    wc.cbWndExtra = (int)sizeof(LONG_PTR);
    wc.lpszClassName = name;
    const DWORD saved = GetLastError();
    if (RegisterClassExW(&wc) == 0) {
        SetLastError(saved); // already registered in this process
    }
}

} // namespace

namespace platform::user32 {

void register_control_classes(bool standard, DWORD icc)
{
    if (standard) {
        register_class(WC_BUTTONW, button_proc);
        register_class(WC_STATICW, static_proc);
        register_class(WC_LISTBOXW, list_box_procedure());
        register_class(WC_COMBOBOXW, combo_box_procedure());
    }
    if ((icc & ICC_BAR_CLASSES) != 0) {
        register_class(TRACKBAR_CLASSW, trackbar_proc);
    }
}

UINT user_input_message()
{
    // Registered each time: the atom table starts afresh at every machine boot.
    return RegisterWindowMessageW(L"platform.ui_automation.user_input");
}

} // namespace platform::user32

extern "C" BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX *picce)
{
    if (picce == nullptr || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    register_control_classes(true, picce->dwICC);
    return TRUE;
}

extern "C" VOID WINAPI InitCommonControls() { register_control_classes(true, ICC_WIN95_CLASSES); }
