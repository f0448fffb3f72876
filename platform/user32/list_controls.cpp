// The ListBox and ComboBox control classes: rows of text with item data, one selection, the
// LB_ and CB_ messages, LBN_ / CBN_ notifications to the parent, and owner-drawn list boxes
// that paint through WM_DRAWITEM into recording device contexts.
#include "controls.h"
#include <algorithm>
#include <cwctype>

using namespace platform;
using namespace platform::user32;

namespace {

struct row {
    std::wstring text;
    ULONG_PTR data = 0;
};

// The state of one list box or combo box; lives in the window's extra bytes from
// WM_NCCREATE to WM_NCDESTROY and is only touched on the window's thread.
struct list_control {
    bool combo = false;
    DWORD style = 0;
    std::vector<row> rows;
    int selection = -1;
    int caret = 0;
    int top = 0;
    int item_height = 16;
    HFONT font = nullptr;

    bool sorted() const { return (style & (combo ? CBS_SORT : LBS_SORT)) != 0; }
    bool owner_draw() const
    {
        return combo ? (style & CBS_OWNERDRAWFIXED) != 0 : (style & (LBS_OWNERDRAWFIXED | LBS_OWNERDRAWVARIABLE)) != 0;
    }
    // Owner-drawn controls without the has-strings style keep the caller's value as the row's data.
    bool keeps_strings() const
    {
        return !owner_draw() || (style & (combo ? CBS_HASSTRINGS : LBS_HASSTRINGS)) != 0;
    }
    bool valid(WPARAM index) const { return index < rows.size(); }
};

list_control *state_of(HWND hwnd) { return reinterpret_cast<list_control *>(GetWindowLongPtrW(hwnd, 0)); }

int compare_no_case(const std::wstring &a, const std::wstring &b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const wint_t x = std::towlower((wint_t)a[i]);
        const wint_t y = std::towlower((wint_t)b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

row make_row(const list_control &c, LPARAM value)
{
    row r;
    if (c.keeps_strings()) {
        r.text = text_or_empty((LPCWSTR)value);
    } else {
        r.data = (ULONG_PTR)value;
    }
    return r;
}

// Inserts at index (-1: at the end, or in sorted position for a sorted control). Returns the
// row's index; the selection and caret follow the rows they were on.
int insert_row(list_control &c, int index, row r, bool add)
{
    size_t at = c.rows.size();
    if (add && c.sorted()) {
        at = (size_t)(std::upper_bound(c.rows.begin(), c.rows.end(), r,
                                       [](const row &x, const row &y) { return compare_no_case(x.text, y.text) < 0; }) -
                      c.rows.begin());
    } else if (!add && index >= 0) {
        if ((size_t)index > c.rows.size()) {
            return -1;
        }
        at = (size_t)index;
    }
    c.rows.insert(c.rows.begin() + (std::ptrdiff_t)at, std::move(r));
    if (c.selection >= (int)at) {
        c.selection += 1;
    }
    return (int)at;
}

int delete_row(list_control &c, WPARAM index)
{
    if (!c.valid(index)) {
        return -1;
    }
    c.rows.erase(c.rows.begin() + (std::ptrdiff_t)index);
    if (c.selection == (int)index) {
        c.selection = -1;
    } else if (c.selection > (int)index) {
        c.selection -= 1;
    }
    c.caret = std::min(c.caret, std::max((int)c.rows.size() - 1, 0));
    c.top = std::min(c.top, std::max((int)c.rows.size() - 1, 0));
    return (int)c.rows.size();
}

// Searches from the row after start (all rows for -1), wrapping round; exact or prefix match,
// both without case.
int find_row(const list_control &c, WPARAM start, LPCWSTR text, bool exact)
{
    const std::wstring wanted = text_or_empty(text);
    const size_t count = c.rows.size();
    const size_t first = (INT_PTR)start < 0 || start >= count ? 0 : start + 1;
    for (size_t n = 0; n < count; ++n) {
        const row &r = c.rows[(first + n) % count];
        const std::wstring candidate = exact ? r.text : r.text.substr(0, wanted.size());
        if (compare_no_case(candidate, wanted) == 0) {
            return (int)((first + n) % count);
        }
    }
    return -1;
}

int copy_text(const list_control &c, WPARAM index, LPWSTR buffer)
{
    if (!c.valid(index) || buffer == nullptr) {
        return -1;
    }
    const row &r = c.rows[index];
    if (!c.keeps_strings()) {
        *reinterpret_cast<ULONG_PTR *>(buffer) = r.data;
        return (int)sizeof(ULONG_PTR);
    }
    r.text.copy(buffer, r.text.size());
    buffer[r.text.size()] = L'\0';
    return (int)r.text.size();
}

// A drop-down list's window text is its selected row.
void sync_combo_text(HWND hwnd, const list_control &c)
{
    const std::wstring text = c.selection >= 0 ? c.rows[(size_t)c.selection].text : std::wstring();
    DefWindowProcW(hwnd, WM_SETTEXT, 0, (LPARAM)text.c_str());
}

// Paints every row of an owner-drawn list box: one device context per row with the control's
// font and window colours, WM_DRAWITEM to the parent, and what the parent drew.
bool paint_rows(HWND hwnd, const list_control &c, std::vector<ui::drawn_item> *out)
{
    if (c.combo || !c.owner_draw() || out == nullptr) {
        return false;
    }
    HWND parent = GetParent(hwnd);
    const bool enabled = IsWindowEnabled(hwnd) != FALSE;
    const bool focused = GetFocus() == hwnd;
    RECT client;
    GetClientRect(hwnd, &client);
    for (size_t i = 0; i < c.rows.size(); ++i) {
        HDC dc = dc_create(hwnd);
        SelectObject(dc, c.font != nullptr ? (HGDIOBJ)c.font : GetStockObject(DEFAULT_GUI_FONT));
        dc_mark_initial(dc);
        DRAWITEMSTRUCT dis{};
        dis.CtlType = ODT_LISTBOX;
        dis.CtlID = (UINT)GetDlgCtrlID(hwnd);
        dis.itemID = (UINT)i;
        dis.itemAction = ODA_DRAWENTIRE;
        dis.itemState = ((int)i == c.selection ? ODS_SELECTED : 0) | (enabled ? 0 : ODS_DISABLED) |
                        (focused && (int)i == c.caret ? ODS_FOCUS : 0);
        dis.hwndItem = hwnd;
        dis.hDC = dc;
        const LONG top = ((LONG)i - c.top) * c.item_height;
        dis.rcItem = RECT{0, top, client.right, top + c.item_height};
        dis.itemData = c.rows[i].data;
        if (parent != nullptr) {
            SendMessageW(parent, WM_DRAWITEM, dis.CtlID, (LPARAM)&dis);
        }
        ui::drawn_item item;
        item.index = (int)i;
        item.state = dis.itemState;
        item.drawings = dc_take_drawings(dc);
        item.dc_restored = dc_is_restored(dc);
        dc_destroy(dc);
        out->push_back(std::move(item));
    }
    return true;
}

// Every row's text in one go, so that a reader on another thread never sees half of one
// filling and half of the next. Rows of an owner-drawn control that keeps no strings read as
// empty text.
bool read_rows(const list_control &c, std::vector<std::wstring> *out)
{
    if (out == nullptr) {
        return false;
    }
    out->clear();
    for (const row &r : c.rows) {
        out->push_back(c.keeps_strings() ? r.text : std::wstring());
    }
    return true;
}

// Messages both controls share; *handled is false for the others.
LRESULT common_message(HWND hwnd, list_control &c, UINT msg, WPARAM wParam, LPARAM lParam, bool *handled)
{
    *handled = true;
    switch (msg) {
    case WM_SETFONT:
        c.font = (HFONT)wParam;
        return 0;
    case WM_GETFONT:
        return (LRESULT)c.font;
    case WM_NCDESTROY:
        geometry_forget(hwnd);
        focus_forget(hwnd);
        SetWindowLongPtrW(hwnd, 0, 0);
        delete &c;
        return 0;
    default:
        *handled = false;
        return 0;
    }
}

LRESULT CALLBACK list_box_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCCREATE) {
        auto *cs = (const CREATESTRUCTW *)lParam;
        auto *c = new list_control;
        c->style = (DWORD)cs->style;
        SetWindowLongPtrW(hwnd, 0, (LONG_PTR)c);
        geometry_created(hwnd, cs);
        return TRUE;
    }
    list_control *c = state_of(hwnd);
    if (c == nullptr) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    bool handled;
    const LRESULT common = common_message(hwnd, *c, msg, wParam, lParam, &handled);
    if (handled) {
        return common;
    }
    if (msg == user_input_message()) {
        if (wParam == input_paint) {
            return paint_rows(hwnd, *c, (std::vector<ui::drawn_item> *)lParam);
        }
        if (wParam == input_read_rows) {
            return read_rows(*c, (std::vector<std::wstring> *)lParam);
        }
        if (wParam != input_select || !c->valid((WPARAM)lParam)) {
            return FALSE;
        }
        c->selection = (int)lParam;
        c->caret = (int)lParam;
        if ((c->style & LBS_NOTIFY) != 0) {
            notify_parent(hwnd, LBN_SELCHANGE);
        }
        return TRUE;
    }
    switch (msg) {
    case LB_ADDSTRING:
        return insert_row(*c, -1, make_row(*c, lParam), true);
    case LB_INSERTSTRING:
        return insert_row(*c, (int)(INT_PTR)wParam, make_row(*c, lParam), false);
    case LB_DELETESTRING:
        return delete_row(*c, wParam);
    case LB_RESETCONTENT:
        *c = list_control{false, c->style, {}, -1, 0, 0, c->item_height, c->font};
        return 0;
    case LB_GETCOUNT:
        return (LRESULT)c->rows.size();
    case LB_SETCURSEL:
        c->selection = c->valid(wParam) ? (int)wParam : -1;
        if (c->selection >= 0) {
            c->caret = c->selection;
        }
        return c->selection >= 0 ? c->selection : LB_ERR;
    case LB_GETCURSEL:
        return c->selection;
    case LB_GETTEXT:
        return copy_text(*c, wParam, (LPWSTR)lParam);
    case LB_GETTEXTLEN:
        return !c->valid(wParam) ? LB_ERR : c->keeps_strings() ? (LRESULT)c->rows[wParam].text.size() : (LRESULT)sizeof(ULONG_PTR);
    case LB_GETITEMDATA:
        return c->valid(wParam) ? (LRESULT)c->rows[wParam].data : LB_ERR;
    case LB_SETITEMDATA:
        if (!c->valid(wParam)) {
            return LB_ERR;
        }
        c->rows[wParam].data = (ULONG_PTR)lParam;
        return LB_OKAY;
    case LB_FINDSTRING:
        return find_row(*c, wParam, (LPCWSTR)lParam, false);
    case LB_FINDSTRINGEXACT:
        return find_row(*c, wParam, (LPCWSTR)lParam, true);
    case LB_GETTOPINDEX:
        return c->top;
    case LB_SETTOPINDEX:
        if (!c->valid(wParam)) {
            return LB_ERR;
        }
        c->top = (int)wParam;
        return LB_OKAY;
    case LB_GETCARETINDEX:
        return c->caret;
    case LB_SETCARETINDEX:
        if (!c->valid(wParam)) {
            return LB_ERR;
        }
        c->caret = (int)wParam;
        return LB_OKAY;
    case LB_GETITEMHEIGHT:
        return c->item_height;
    case LB_SETITEMHEIGHT:
        if (LOWORD(lParam) == 0 || LOWORD(lParam) > 255) {
            return LB_ERR;
        }
        c->item_height = LOWORD(lParam);
        return LB_OKAY;
    case LB_GETITEMRECT: {
        auto *rect = (LPRECT)lParam;
        if (!c->valid(wParam) || rect == nullptr) {
            return LB_ERR;
        }
        RECT client;
        GetClientRect(hwnd, &client);
        const LONG top = ((LONG)wParam - c->top) * c->item_height;
        *rect = RECT{0, top, client.right, top + c->item_height};
        return LB_OKAY;
    }
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

LRESULT CALLBACK combo_box_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCCREATE) {
        auto *cs = (const CREATESTRUCTW *)lParam;
        auto *c = new list_control;
        c->combo = true;
        c->style = (DWORD)cs->style;
        SetWindowLongPtrW(hwnd, 0, (LONG_PTR)c);
        geometry_created(hwnd, cs);
        DefWindowProcW(hwnd, WM_SETTEXT, 0, (LPARAM)L"");
        return TRUE;
    }
    list_control *c = state_of(hwnd);
    if (c == nullptr) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    bool handled;
    const LRESULT common = common_message(hwnd, *c, msg, wParam, lParam, &handled);
    if (handled) {
        return common;
    }
    if (msg == user_input_message()) {
        if (wParam == input_read_rows) {
            return read_rows(*c, (std::vector<std::wstring> *)lParam);
        }
        if (wParam != input_select || !c->valid((WPARAM)lParam)) {
            return FALSE;
        }
        c->selection = (int)lParam;
        sync_combo_text(hwnd, *c);
        notify_parent(hwnd, CBN_SELCHANGE);
        return TRUE;
    }
    LRESULT result;
    switch (msg) {
    case CB_ADDSTRING:
        return insert_row(*c, -1, make_row(*c, lParam), true);
    case CB_INSERTSTRING:
        return insert_row(*c, (int)(INT_PTR)wParam, make_row(*c, lParam), false);
    case CB_DELETESTRING:
        result = delete_row(*c, wParam);
        sync_combo_text(hwnd, *c);
        return result;
    case CB_RESETCONTENT:
        *c = list_control{true, c->style, {}, -1, 0, 0, c->item_height, c->font};
        sync_combo_text(hwnd, *c);
        return CB_OKAY;
    case CB_GETCOUNT:
        return (LRESULT)c->rows.size();
    case CB_SETCURSEL:
        c->selection = c->valid(wParam) ? (int)wParam : -1;
        sync_combo_text(hwnd, *c);
        return c->selection >= 0 ? c->selection : CB_ERR;
    case CB_GETCURSEL:
        return c->selection;
    case CB_SELECTSTRING: {
        const int found = find_row(*c, wParam, (LPCWSTR)lParam, false);
        if (found >= 0) {
            c->selection = found;
            sync_combo_text(hwnd, *c);
        }
        return found;
    }
    case CB_GETLBTEXT:
        return copy_text(*c, wParam, (LPWSTR)lParam);
    case CB_GETLBTEXTLEN:
        return !c->valid(wParam) ? CB_ERR : c->keeps_strings() ? (LRESULT)c->rows[wParam].text.size() : (LRESULT)sizeof(ULONG_PTR);
    case CB_GETITEMDATA:
        return c->valid(wParam) ? (LRESULT)c->rows[wParam].data : CB_ERR;
    case CB_SETITEMDATA:
        if (!c->valid(wParam)) {
            return CB_ERR;
        }
        c->rows[wParam].data = (ULONG_PTR)lParam;
        return CB_OKAY;
    case CB_FINDSTRING:
        return find_row(*c, wParam, (LPCWSTR)lParam, false);
    case CB_FINDSTRINGEXACT:
        return find_row(*c, wParam, (LPCWSTR)lParam, true);
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

} // namespace

namespace platform::user32 {

WNDPROC list_box_procedure() { return list_box_proc; }
WNDPROC combo_box_procedure() { return combo_box_proc; }

} // namespace platform::user32
