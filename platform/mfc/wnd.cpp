// CCmdTarget and CWnd: message-map dispatch, the window procedure that routes a window's
// messages to its object, attaching and subclassing, temporary objects, and the thin wrappers
// over the window functions.
#include "mfc_internal.h"
#include "../user32/controls.h"
#include <platform/machine_state.h>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

using namespace platform;

namespace {

struct window_map {
    std::mutex lock;
    std::map<HWND, CWnd *> windows;
    std::condition_variable changed;
    unsigned long generation = 0;
};

window_map &windows()
{
    static window_map instance;
    return instance;
}

void reset()
{
    std::lock_guard<std::mutex> guard(windows().lock);
    windows().windows.clear();
}

machine_hooks g_hooks("mfc windows", reset, reset);

struct thread_state {
    CWnd *creating = nullptr;
    ULONG depth = 0;
    mfc::handled_message current{};
    std::map<HWND, std::unique_ptr<CWnd>> temporary_windows;
    std::map<HDC, std::unique_ptr<CDC>> temporary_dcs;
    std::map<HFONT, std::unique_ptr<CFont>> temporary_fonts;

    ~thread_state() { clear(); }
    void clear()
    {
        for (auto &entry : temporary_windows) {
            entry.second->m_hWnd = nullptr;
        }
        for (auto &entry : temporary_dcs) {
            entry.second->Detach();
        }
        for (auto &entry : temporary_fonts) {
            entry.second->Detach();
        }
        temporary_windows.clear();
        temporary_dcs.clear();
        temporary_fonts.clear();
    }
};

thread_state &state()
{
    static thread_local thread_state instance;
    return instance;
}

const AFX_MSGMAP_ENTRY *find_entry(const AFX_MSGMAP *map, UINT message, WPARAM wParam)
{
    for (; map != nullptr; map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY *e = map->lpEntries; e != nullptr && e->pfn != nullptr; ++e) {
            if (e->nMessage != message) {
                continue;
            }
            if (message != WM_COMMAND) {
                return e;
            }
            const UINT id = LOWORD(wParam);
            if (e->nCode == HIWORD(wParam) && id >= e->nID && id <= e->nLastID) {
                return e;
            }
        }
    }
    return nullptr;
}

} // namespace

namespace platform::mfc {

void map_attach(HWND hwnd, CWnd *wnd)
{
    std::lock_guard<std::mutex> guard(windows().lock);
    windows().windows[hwnd] = wnd;
}

void map_detach(HWND hwnd, CWnd *wnd)
{
    std::lock_guard<std::mutex> guard(windows().lock);
    auto it = windows().windows.find(hwnd);
    if (it != windows().windows.end() && it->second == wnd) {
        windows().windows.erase(it);
    }
}

CWnd *map_find(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(windows().lock);
    auto it = windows().windows.find(hwnd);
    return it == windows().windows.end() ? nullptr : it->second;
}

void hook_window_create(CWnd *wnd) { state().creating = wnd; }
void unhook_window_create() { state().creating = nullptr; }

CWnd *temporary_window(HWND hwnd)
{
    auto &slot = state().temporary_windows[hwnd];
    if (slot == nullptr) {
        slot = std::make_unique<CWnd>();
        slot->m_hWnd = hwnd;
    }
    return slot.get();
}

CDC *temporary_dc(HDC hdc)
{
    auto &slot = state().temporary_dcs[hdc];
    if (slot == nullptr) {
        slot = std::make_unique<CDC>();
        slot->Attach(hdc);
    }
    return slot.get();
}

CFont *temporary_font(HFONT font)
{
    auto &slot = state().temporary_fonts[font];
    if (slot == nullptr) {
        slot = std::make_unique<CFont>();
        slot->Attach(font);
    }
    return slot.get();
}

void delete_temporaries() { state().clear(); }

const handled_message &current_message() { return state().current; }

void ui_changed()
{
    {
        std::lock_guard<std::mutex> guard(windows().lock);
        windows().generation += 1;
    }
    windows().changed.notify_all();
}

unsigned long ui_generation()
{
    std::lock_guard<std::mutex> guard(windows().lock);
    return windows().generation;
}

void ui_wait(unsigned long generation, DWORD wait_ms)
{
    std::unique_lock<std::mutex> guard(windows().lock);
    windows().changed.wait_for(guard, std::chrono::milliseconds(wait_ms),
                               [generation] { return windows().generation != generation; });
}

} // namespace platform::mfc

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CWnd *wnd = mfc::map_find(hWnd);
    thread_state &ts = state();
    if (wnd == nullptr && ts.creating != nullptr) {
        wnd = ts.creating;
        ts.creating = nullptr;
        wnd->m_hWnd = hWnd;
        mfc::map_attach(hWnd, wnd);
    }
    if (wnd == nullptr) {
        return DefWindowProcW(hWnd, message, wParam, lParam);
    }
    if (message == WM_NCCREATE) {
        user32::geometry_created(hWnd, (const CREATESTRUCTW *)lParam);
    }
    const mfc::handled_message saved = ts.current;
    ts.current = mfc::handled_message{hWnd, message, wParam, lParam};
    ts.depth += 1;
    const LRESULT result = wnd->WindowProc(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        mfc::forget_main_window(wnd);
        mfc::map_detach(hWnd, wnd);
        wnd->m_hWnd = nullptr;
        wnd->m_pfnSuper = nullptr;
        wnd->PostNcDestroy();
    }
    ts.depth -= 1;
    ts.current = saved;
    if (ts.depth == 0) {
        ts.clear();
    }
    return result;
}

const AFX_MSGMAP *CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

const AFX_MSGMAP *PASCAL CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
    ON_WM_DRAWITEM()
END_MESSAGE_MAP()

CWnd::CWnd() : m_hWnd(nullptr), m_pfnSuper(nullptr) {}

// An object that still owns its window lets it go: the window gets its previous procedure
// back, or the default one, and lives on until it is destroyed.
CWnd::~CWnd()
{
    mfc::forget_main_window(this);
    if (m_hWnd != nullptr && mfc::map_find(m_hWnd) == this) {
        if (m_pfnSuper != nullptr) {
            UnsubclassWindow();
        } else {
            Detach();
        }
    }
}

CWnd *PASCAL CWnd::FromHandle(HWND hWnd)
{
    if (hWnd == nullptr) {
        return nullptr;
    }
    CWnd *wnd = mfc::map_find(hWnd);
    return wnd != nullptr ? wnd : mfc::temporary_window(hWnd);
}

CWnd *PASCAL CWnd::FromHandlePermanent(HWND hWnd) { return hWnd == nullptr ? nullptr : mfc::map_find(hWnd); }

BOOL CWnd::Attach(HWND hWndNew)
{
    if (hWndNew == nullptr || m_hWnd != nullptr || mfc::map_find(hWndNew) != nullptr) {
        return FALSE;
    }
    m_hWnd = hWndNew;
    mfc::map_attach(hWndNew, this);
    return TRUE;
}

HWND CWnd::Detach()
{
    HWND hwnd = m_hWnd;
    if (hwnd != nullptr) {
        mfc::map_detach(hwnd, this);
    }
    m_hWnd = nullptr;
    return hwnd;
}

BOOL CWnd::SubclassWindow(HWND hWnd)
{
    if (!::IsWindow(hWnd) || !Attach(hWnd)) {
        return FALSE;
    }
    const LONG_PTR previous = SetWindowLongPtrW(hWnd, GWLP_WNDPROC, (LONG_PTR)AfxWndProc);
    if (previous == 0) {
        Detach();
        return FALSE;
    }
    if ((WNDPROC)previous != AfxWndProc) {
        m_pfnSuper = (WNDPROC)previous;
    }
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd *pParent)
{
    return pParent != nullptr && SubclassWindow(::GetDlgItem(pParent->m_hWnd, (int)nID));
}

HWND CWnd::UnsubclassWindow()
{
    if (m_hWnd != nullptr && m_pfnSuper != nullptr) {
        SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, (LONG_PTR)m_pfnSuper);
    }
    m_pfnSuper = nullptr;
    return Detach();
}

BOOL CWnd::DestroyWindow() { return m_hWnd != nullptr && ::DestroyWindow(m_hWnd); }

BOOL CWnd::SetWindowText(LPCWSTR lpszString) { return ::SetWindowTextW(m_hWnd, lpszString); }
int CWnd::GetWindowText(LPWSTR lpszStringBuf, int nMaxCount) const
{
    return ::GetWindowTextW(m_hWnd, lpszStringBuf, nMaxCount);
}
void CWnd::GetWindowText(CString &rString) const
{
    const int length = ::GetWindowTextLengthW(m_hWnd);
    LPWSTR buffer = rString.GetBuffer(length);
    const int copied = ::GetWindowTextW(m_hWnd, buffer, length + 1);
    rString.ReleaseBuffer(copied);
}
int CWnd::GetWindowTextLength() const { return ::GetWindowTextLengthW(m_hWnd); }
BOOL CWnd::EnableWindow(BOOL bEnable) { return ::EnableWindow(m_hWnd, bEnable); }
BOOL CWnd::IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
BOOL CWnd::ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
BOOL CWnd::IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
BOOL CWnd::IsIconic() const { return ::IsIconic(m_hWnd); }
DWORD CWnd::GetStyle() const { return (DWORD)GetWindowLongPtrW(m_hWnd, GWL_STYLE); }
DWORD CWnd::GetExStyle() const { return (DWORD)GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE); }
int CWnd::GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
CWnd *CWnd::GetDlgItem(int nID) const { return FromHandle(::GetDlgItem(m_hWnd, nID)); }
void CWnd::GetDlgItem(int nID, HWND *phWnd) const { *phWnd = ::GetDlgItem(m_hWnd, nID); }
void CWnd::SetDlgItemText(int nID, LPCWSTR lpszString) { ::SetDlgItemTextW(m_hWnd, nID, lpszString); }
int CWnd::GetDlgItemText(int nID, CString &rString) const
{
    rString.Empty();
    HWND item = ::GetDlgItem(m_hWnd, nID);
    if (item != nullptr) {
        FromHandle(item)->GetWindowText(rString);
    }
    return rString.GetLength();
}
CWnd *CWnd::GetParent() const { return FromHandle(::GetParent(m_hWnd)); }
HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon)
{
    return (HICON)SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, (LPARAM)hIcon);
}
HICON CWnd::GetIcon(BOOL bBigIcon) const { return (HICON)SendMessage(WM_GETICON, bBigIcon ? ICON_BIG : ICON_SMALL, 0); }
CWnd *CWnd::SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }
CWnd *PASCAL CWnd::GetFocus() { return FromHandle(::GetFocus()); }
BOOL CWnd::SetForegroundWindow() { return ::SetForegroundWindow(m_hWnd); }

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::SendMessageW(m_hWnd, message, wParam, lParam);
}
BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::PostMessageW(m_hWnd, message, wParam, lParam);
}
UINT_PTR CWnd::SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer)
{
    return ::SetTimer(m_hWnd, nIDEvent, nElapse, lpfnTimer);
}
BOOL CWnd::KillTimer(UINT_PTR nIDEvent) { return ::KillTimer(m_hWnd, nIDEvent); }

void CWnd::Invalidate(BOOL bErase) { ::InvalidateRect(m_hWnd, nullptr, bErase); }
void CWnd::UpdateWindow() { ::UpdateWindow(m_hWnd); }
BOOL CWnd::RedrawWindow(LPCRECT lpRectUpdate, HANDLE prgnUpdate, UINT flags)
{
    return ::RedrawWindow(m_hWnd, lpRectUpdate, prgnUpdate, flags);
}
void CWnd::SetRedraw(BOOL bRedraw) {}
void CWnd::GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }
void CWnd::GetWindowRect(LPRECT lpRect) const { ::GetWindowRect(m_hWnd, lpRect); }

// Headless windows are laid out in their parent's client coordinates already.
void CWnd::ScreenToClient(LPRECT lpRect) const {}

CDC *CWnd::GetDC() { return CDC::FromHandle(::GetDC(m_hWnd)); }
int CWnd::ReleaseDC(CDC *pDC) { return pDC == nullptr ? 0 : ::ReleaseDC(m_hWnd, pDC->Detach()); }

int CWnd::MessageBox(LPCWSTR lpszText, LPCWSTR lpszCaption, UINT nType)
{
    return ::MessageBoxW(m_hWnd, lpszText, lpszCaption != nullptr ? lpszCaption : AfxGetAppName(), nType);
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (!OnWndMsg(message, wParam, lParam, &result)) {
        result = DefWindowProc(message, wParam, lParam);
    }
    return result;
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult)
{
    const AFX_MSGMAP_ENTRY *entry = find_entry(GetMessageMap(), message, wParam);
    if (entry == nullptr) {
        return FALSE;
    }
    const LRESULT result = entry->pfn(this, wParam, lParam);
    if (pResult != nullptr) {
        *pResult = result;
    }
    return TRUE;
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (m_pfnSuper != nullptr) {
        return ::CallWindowProcW(m_pfnSuper, m_hWnd, message, wParam, lParam);
    }
    return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult) { return FALSE; }
BOOL CWnd::PreTranslateMessage(MSG *pMsg) { return FALSE; }
void CWnd::DoDataExchange(CDataExchange *pDX) {}
void CWnd::PostNcDestroy() {}

LRESULT CWnd::Default()
{
    const mfc::handled_message &m = mfc::current_message();
    return DefWindowProc(m.message, m.wParam, m.lParam);
}

int CWnd::OnCreate(LPCREATESTRUCT lpCreateStruct) { return (int)Default(); }
void CWnd::OnDestroy() { Default(); }
void CWnd::OnClose() { Default(); }
void CWnd::OnPaint() { Default(); }
void CWnd::OnTimer(UINT_PTR nIDEvent) { Default(); }
void CWnd::OnSysCommand(UINT nID, LPARAM lParam) { Default(); }
HCURSOR CWnd::OnQueryDragIcon() { return (HCURSOR)Default(); }
void CWnd::OnHScroll(UINT nSBCode, UINT nPos, CScrollBar *pScrollBar) { Default(); }
void CWnd::OnVScroll(UINT nSBCode, UINT nPos, CScrollBar *pScrollBar) { Default(); }
BOOL CWnd::OnDeviceChange(UINT nEventType, DWORD_PTR dwData) { return (BOOL)Default(); }

void CWnd::OnDrawItem(int nIDCtl, LPDRAWITEMSTRUCT lpDrawItemStruct)
{
    if (lpDrawItemStruct != nullptr) {
        CWnd *control = FromHandlePermanent(lpDrawItemStruct->hwndItem);
        LRESULT result = 0;
        if (control != nullptr && control->OnChildNotify(WM_DRAWITEM, (WPARAM)nIDCtl, (LPARAM)lpDrawItemStruct, &result)) {
            return;
        }
    }
    Default();
}
