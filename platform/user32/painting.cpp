// Painting and layout of headless windows: paint and window device contexts, text and
// rectangle drawing (recorded), system colours and metrics, window rectangles, keyboard focus
// and the dialog-item helpers.
#include "controls.h"
#include <platform/machine_state.h>

using namespace platform;
using namespace platform::user32;

namespace {

struct layout_state {
    std::mutex lock;
    std::map<HWND, RECT> rects;
    std::map<thread *, HWND> focus;
};

layout_state &layout()
{
    static layout_state instance;
    return instance;
}

void reset()
{
    std::lock_guard<std::mutex> guard(layout().lock);
    layout().rects.clear();
    layout().focus.clear();
}

machine_hooks g_hooks("user32 painting", reset, reset);

bool window_exists(HWND hwnd)
{
    if (!IsWindow(hwnd)) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    return true;
}

} // namespace

namespace platform::user32 {

void geometry_set(HWND hwnd, const RECT &rect)
{
    std::lock_guard<std::mutex> guard(layout().lock);
    layout().rects[hwnd] = rect;
}

bool geometry_get(HWND hwnd, RECT *rect)
{
    std::lock_guard<std::mutex> guard(layout().lock);
    auto it = layout().rects.find(hwnd);
    *rect = it == layout().rects.end() ? RECT{0, 0, 0, 0} : it->second;
    return it != layout().rects.end();
}

void geometry_forget(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(layout().lock);
    layout().rects.erase(hwnd);
}

void geometry_created(HWND hwnd, const CREATESTRUCTW *cs)
{
    if (cs == nullptr) {
        return;
    }
    const LONG x = cs->x == CW_USEDEFAULT ? 0 : cs->x;
    const LONG y = cs->y == CW_USEDEFAULT ? 0 : cs->y;
    const LONG cx = cs->cx == CW_USEDEFAULT || cs->cx < 0 ? 0 : cs->cx;
    const LONG cy = cs->cy == CW_USEDEFAULT || cs->cy < 0 ? 0 : cs->cy;
    geometry_set(hwnd, RECT{x, y, x + cx, y + cy});
}

void focus_forget(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(layout().lock);
    for (auto &entry : layout().focus) {
        if (entry.second == hwnd) {
            entry.second = nullptr;
        }
    }
}

void notify_parent(HWND control, WORD code)
{
    HWND parent = GetParent(control);
    if (parent != nullptr) {
        SendMessageW(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), code), (LPARAM)control);
    }
}

} // namespace platform::user32

// Only a window of the calling thread takes the focus; the old focus window gets
// WM_KILLFOCUS, the new one WM_SETFOCUS. Returns the previous focus window.
extern "C" HWND WINAPI SetFocus(HWND hWnd)
{
    thread *self = current_thread();
    if (hWnd != nullptr) {
        if (!window_exists(hWnd)) {
            return nullptr;
        }
        if (GetWindowThreadProcessId(hWnd, nullptr) != self->id) {
            set_error(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    }
    HWND previous;
    {
        std::lock_guard<std::mutex> guard(layout().lock);
        HWND &slot = layout().focus[self];
        previous = slot;
        slot = hWnd;
    }
    if (previous == hWnd) {
        return previous;
    }
    if (previous != nullptr && IsWindow(previous)) {
        SendMessageW(previous, WM_KILLFOCUS, (WPARAM)hWnd, 0);
    }
    if (hWnd != nullptr) {
        SendMessageW(hWnd, WM_SETFOCUS, (WPARAM)previous, 0);
    }
    return previous;
}

extern "C" HWND WINAPI GetFocus()
{
    HWND focus;
    {
        std::lock_guard<std::mutex> guard(layout().lock);
        auto it = layout().focus.find(current_thread());
        focus = it == layout().focus.end() ? nullptr : it->second;
    }
    return focus != nullptr && IsWindow(focus) ? focus : nullptr;
}

extern "C" BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect)
{
    if (lpRect == nullptr || !window_exists(hWnd)) {
        return FALSE;
    }
    RECT r;
    geometry_get(hWnd, &r);
    *lpRect = RECT{0, 0, r.right - r.left, r.bottom - r.top};
    return TRUE;
}

extern "C" BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect)
{
    if (lpRect == nullptr || !window_exists(hWnd)) {
        return FALSE;
    }
    geometry_get(hWnd, lpRect);
    return TRUE;
}

extern "C" BOOL WINAPI MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint)
{
    if (!window_exists(hWnd)) {
        return FALSE;
    }
    geometry_set(hWnd, RECT{X, Y, X + std::max(nWidth, 0), Y + std::max(nHeight, 0)});
    return TRUE;
}

extern "C" BOOL WINAPI SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags)
{
    if (!window_exists(hWnd)) {
        return FALSE;
    }
    RECT r;
    geometry_get(hWnd, &r);
    if ((uFlags & SWP_NOMOVE) == 0) {
        const LONG width = r.right - r.left;
        const LONG height = r.bottom - r.top;
        r = RECT{X, Y, X + width, Y + height};
    }
    if ((uFlags & SWP_NOSIZE) == 0) {
        r.right = r.left + std::max(cx, 0);
        r.bottom = r.top + std::max(cy, 0);
    }
    geometry_set(hWnd, r);
    if ((uFlags & SWP_HIDEWINDOW) != 0) {
        ShowWindow(hWnd, SW_HIDE);
    } else if ((uFlags & SWP_SHOWWINDOW) != 0) {
        ShowWindow(hWnd, SW_SHOWNA);
    }
    return TRUE;
}

// Nothing is shown, so nothing needs painting: the calls check the window and succeed.
extern "C" BOOL WINAPI InvalidateRect(HWND hWnd, const RECT *lpRect, BOOL bErase)
{
    return hWnd == nullptr || window_exists(hWnd);
}

extern "C" BOOL WINAPI UpdateWindow(HWND hWnd) { return window_exists(hWnd); }

extern "C" BOOL WINAPI RedrawWindow(HWND hWnd, const RECT *lprcUpdate, HANDLE hrgnUpdate, UINT flags)
{
    return hWnd == nullptr || window_exists(hWnd);
}

extern "C" HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint)
{
    if (lpPaint == nullptr || !window_exists(hWnd)) {
        return nullptr;
    }
    *lpPaint = PAINTSTRUCT{};
    lpPaint->hdc = dc_create(hWnd);
    GetClientRect(hWnd, &lpPaint->rcPaint);
    return lpPaint->hdc;
}

extern "C" BOOL WINAPI EndPaint(HWND hWnd, const PAINTSTRUCT *lpPaint)
{
    return lpPaint != nullptr && dc_destroy(lpPaint->hdc);
}

extern "C" HDC WINAPI GetDC(HWND hWnd)
{
    if (hWnd != nullptr && !window_exists(hWnd)) {
        return nullptr;
    }
    return dc_create(hWnd);
}

extern "C" int WINAPI ReleaseDC(HWND hWnd, HDC hDC) { return dc_destroy(hDC) ? 1 : 0; }

// Records the text (or, with a negative count, the text up to its terminator) and returns the
// height it takes: one line of the font's height.
extern "C" int WINAPI DrawTextW(HDC hdc, LPCWSTR lpchText, int cchText, LPRECT lprc, UINT format)
{
    if (lpchText == nullptr || lprc == nullptr || !dc_exists(hdc)) {
        set_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ui::drawing d;
    d.what = ui::drawing::kind::text;
    d.rect = *lprc;
    d.format = format;
    d.text = cchText < 0 ? std::wstring(lpchText) : std::wstring(lpchText, (size_t)cchText);
    dc_fill_state(hdc, &d);
    dc_record(hdc, d);
    return 16;
}

extern "C" int WINAPI FillRect(HDC hDC, const RECT *lprc, HBRUSH hbr)
{
    bool known = false;
    COLORREF color = brush_color(hbr, &known);
    if (!known && (ULONG_PTR)hbr > 0 && (ULONG_PTR)hbr <= 31) {
        color = GetSysColor((int)(ULONG_PTR)hbr - 1); // a system colour index plus one
        known = true;
    }
    if (lprc == nullptr || !known || !dc_exists(hDC)) {
        set_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ui::drawing d;
    d.what = ui::drawing::kind::fill;
    d.rect = *lprc;
    dc_fill_state(hDC, &d);
    d.back_color = color;
    dc_record(hDC, d);
    return 1;
}

extern "C" BOOL WINAPI DrawFocusRect(HDC hDC, const RECT *lprc)
{
    if (lprc == nullptr || !dc_exists(hDC)) {
        return FALSE;
    }
    ui::drawing d;
    d.what = ui::drawing::kind::focus_rect;
    d.rect = *lprc;
    dc_fill_state(hDC, &d);
    dc_record(hDC, d);
    return TRUE;
}

// Draws the icon at its own size (DrawIcon does not scale).
extern "C" BOOL WINAPI DrawIcon(HDC hDC, int X, int Y, HICON hIcon)
{
    int width = 0;
    int height = 0;
    if (!icon_size(hIcon, &width, &height) || !dc_exists(hDC)) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ui::drawing d;
    d.what = ui::drawing::kind::icon;
    d.icon = hIcon;
    d.rect = RECT{X, Y, X + width, Y + height};
    dc_fill_state(hDC, &d);
    dc_record(hDC, d);
    return TRUE;
}

// The default colours of the stand-in's one desktop theme.
extern "C" DWORD WINAPI GetSysColor(int nIndex)
{
    switch (nIndex) {
    case COLOR_WINDOW:
    case COLOR_HIGHLIGHTTEXT:
        return RGB(255, 255, 255);
    case COLOR_WINDOWTEXT:
    case COLOR_BTNTEXT:
        return RGB(0, 0, 0);
    case COLOR_HIGHLIGHT:
        return RGB(0, 120, 215);
    case COLOR_BTNFACE:
        return RGB(240, 240, 240);
    case COLOR_GRAYTEXT:
        return RGB(109, 109, 109);
    default:
        return 0;
    }
}

extern "C" HBRUSH WINAPI GetSysColorBrush(int nIndex) { return sys_color_brush(nIndex); }

extern "C" int WINAPI GetSystemMetrics(int nIndex)
{
    switch (nIndex) {
    case SM_CXSCREEN:
        return 1920;
    case SM_CYSCREEN:
        return 1080;
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    case SM_CXSMICON:
    case SM_CYSMICON:
        return 16;
    default:
        return 0;
    }
}

extern "C" LRESULT WINAPI SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item == nullptr ? 0 : SendMessageW(item, Msg, wParam, lParam);
}

extern "C" BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString)
{
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item != nullptr && SetWindowTextW(item, lpString);
}

extern "C" UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax)
{
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    if (item == nullptr) {
        if (lpString != nullptr && cchMax > 0) {
            lpString[0] = L'\0';
        }
        return 0;
    }
    return (UINT)GetWindowTextW(item, lpString, cchMax);
}
