// CDialog: a modal dialog built from its template on the calling thread (dialog window,
// controls, font, WM_INITDIALOG), its modal message loop and EndDialog; the dialog window's
// default handling; and dialog data exchange.
#include "mfc_internal.h"
#include "../user32/controls.h"
#include <platform/verifier.h>
#include <cwchar>

using namespace platform;

namespace {

// The dialog window's extra bytes: its small and big icons and the font made from its template.
constexpr int small_icon_offset = 0;
constexpr int big_icon_offset = (int)sizeof(LONG_PTR);
constexpr int font_offset = 2 * (int)sizeof(LONG_PTR);

// Dialog units to pixels for the 8-point dialog font at 96 dots per inch: a dialog unit is a
// quarter of the font's average character width (6) across and an eighth of its height (13)
// down.
int dialog_x(short units) { return units * 6 / 4; }
int dialog_y(short units) { return units * 13 / 8; }

HWND first_tab_stop(HWND dialog, const AFX_DIALOG_TEMPLATE &t)
{
    for (UINT i = 0; i < t.itemCount; ++i) {
        HWND item = GetDlgItem(dialog, t.items[i].id);
        if (item != nullptr && (GetWindowLongPtrW(item, GWL_STYLE) & WS_TABSTOP) != 0 && IsWindowEnabled(item) &&
            IsWindowVisible(item)) {
            return item;
        }
    }
    return nullptr;
}

} // namespace

namespace platform::mfc {

LPCWSTR dialog_class()
{
    static const wchar_t name[] = L"#32770";
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = AfxWndProc;
    wc.cbWndExtra = 3 * (int)sizeof(LONG_PTR);
    wc.lpszClassName = name;
    const DWORD saved = GetLastError();
    if (RegisterClassExW(&wc) == 0) {
        SetLastError(saved); // the process has it already
    }
    return name;
}

// What a dialog does with the messages its object leaves to the default: the close box and
// WM_CLOSE become IDCANCEL (the dialog is not destroyed behind its modal loop), icons are kept,
// and the template's font is freed with the window.
LRESULT CALLBACK dialog_default_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_CLOSE:
            SendMessageW(hwnd, WM_CLOSE, 0, 0);
            return 0;
        case SC_MINIMIZE:
            ShowWindow(hwnd, SW_MINIMIZE);
            return 0;
        case SC_RESTORE:
            ShowWindow(hwnd, SW_RESTORE);
            return 0;
        default:
            return 0;
        }
    case WM_CLOSE:
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)GetDlgItem(hwnd, IDCANCEL));
        return 0;
    case WM_SETICON: {
        const int offset = wParam == ICON_BIG ? big_icon_offset : small_icon_offset;
        return SetWindowLongPtrW(hwnd, offset, lParam);
    }
    case WM_GETICON:
        return GetWindowLongPtrW(hwnd, wParam == ICON_BIG ? big_icon_offset : small_icon_offset);
    case WM_QUERYDRAGICON:
        return GetWindowLongPtrW(hwnd, big_icon_offset);
    case WM_NCDESTROY: {
        HGDIOBJ font = (HGDIOBJ)SetWindowLongPtrW(hwnd, font_offset, 0);
        if (font != nullptr) {
            DeleteObject(font);
        }
        user32::geometry_forget(hwnd);
        user32::focus_forget(hwnd);
        return 0;
    }
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

} // namespace platform::mfc

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, &CDialog::OnOK)
    ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
    ON_MESSAGE(WM_INITDIALOG, &CDialog::HandleInitDialog)
END_MESSAGE_MAP()

CDialog::CDialog()
    : m_nIDHelp(0), m_lpDialogTemplate(nullptr), m_pParentWnd(nullptr), m_bModalEnded(false), m_nModalResult(-1)
{
}

CDialog::CDialog(UINT nIDTemplate, CWnd *pParentWnd)
    : m_nIDHelp(nIDTemplate), m_lpDialogTemplate(nullptr), m_pParentWnd(pParentWnd), m_bModalEnded(false),
      m_nModalResult(-1)
{
}

CDialog::~CDialog() = default;

BOOL CDialog::InitModalIndirect(const AFX_DIALOG_TEMPLATE *pTemplate, CWnd *pParentWnd)
{
    if (pTemplate == nullptr) {
        return FALSE;
    }
    m_lpDialogTemplate = pTemplate;
    m_pParentWnd = pParentWnd;
    return TRUE;
}

// Creates the dialog window and its controls and sends WM_INITDIALOG. FALSE, with nothing
// left behind, when the window or one of its controls cannot be created.
BOOL CDialog::CreateDialogWindow(const AFX_DIALOG_TEMPLATE *pTemplate)
{
    const AFX_DIALOG_TEMPLATE &t = *pTemplate;
    HINSTANCE instance = AfxGetInstanceHandle();
    mfc::hook_window_create(this);
    HWND dialog = CreateWindowExW(t.exStyle, mfc::dialog_class(), t.caption, (DWORD)t.style & ~(DWORD)(WS_VISIBLE | WS_CHILD),
                                  dialog_x(t.x), dialog_y(t.y), dialog_x(t.cx), dialog_y(t.cy), nullptr, nullptr,
                                  instance, nullptr);
    mfc::unhook_window_create();
    if (dialog == nullptr) {
        return FALSE;
    }
    m_pfnSuper = mfc::dialog_default_proc;

    LOGFONTW lf{};
    lf.lfHeight = -(LONG)((t.fontSize != 0 ? t.fontSize : 8) * 96 / 72);
    lf.lfWeight = FW_NORMAL;
    std::wcsncpy(lf.lfFaceName, t.fontName != nullptr ? t.fontName : L"MS Shell Dlg", LF_FACESIZE - 1);
    HFONT font = CreateFontIndirectW(&lf);
    SetWindowLongPtrW(dialog, font_offset, (LONG_PTR)font);

    for (UINT i = 0; i < t.itemCount; ++i) {
        const AFX_DLGITEM_TEMPLATE &item = t.items[i];
        HWND control = CreateWindowExW(item.exStyle, item.className, item.text != nullptr ? item.text : L"",
                                       item.style | WS_CHILD, dialog_x(item.x), dialog_y(item.y), dialog_x(item.cx),
                                       dialog_y(item.cy), dialog, (HMENU)(UINT_PTR)item.id, instance, nullptr);
        if (control == nullptr) {
            ::DestroyWindow(dialog);
            return FALSE;
        }
        ::SendMessageW(control, WM_SETFONT, (WPARAM)font, FALSE);
    }

    HWND focus = first_tab_stop(dialog, t);
    if (::SendMessageW(dialog, WM_INITDIALOG, (WPARAM)focus, 0) != FALSE && focus != nullptr && !m_bModalEnded &&
        ::IsWindow(focus)) {
        ::SetFocus(focus);
    }
    return TRUE;
}

INT_PTR CDialog::DoModal()
{
    const AFX_DIALOG_TEMPLATE *t = m_lpDialogTemplate != nullptr ? m_lpDialogTemplate : AfxFindDialogTemplate(m_nIDHelp);
    if (t == nullptr || m_hWnd != nullptr) {
        return -1;
    }
    user32::register_control_classes(true, 0);
    HWND parent = m_pParentWnd != nullptr ? m_pParentWnd->m_hWnd : nullptr;
    const bool disable_parent = parent != nullptr && ::IsWindowEnabled(parent);
    if (disable_parent) {
        ::EnableWindow(parent, FALSE);
    }
    m_bModalEnded = false;
    m_nModalResult = -1;
    if (CreateDialogWindow(t)) {
        if (!m_bModalEnded) {
            ::ShowWindow(m_hWnd, SW_SHOWNORMAL);
            ::SetForegroundWindow(m_hWnd);
            mfc::ui_changed();
            RunModalLoop();
        }
        if (m_hWnd != nullptr) {
            ::ShowWindow(m_hWnd, SW_HIDE);
        }
    } else {
        m_nModalResult = -1;
    }
    if (disable_parent) {
        ::EnableWindow(parent, TRUE);
        ::SetForegroundWindow(parent);
    }
    if (m_hWnd != nullptr) {
        DestroyWindow();
    }
    mfc::delete_temporaries();
    mfc::ui_changed();
    return m_nModalResult;
}

// Ends when EndDialog was called, when the dialog window was destroyed by one of its handlers,
// or at WM_QUIT, which is put back for the thread's outer loop.
void CDialog::RunModalLoop()
{
    MSG msg;
    while (!m_bModalEnded && m_hWnd != nullptr) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) {
            m_nModalResult = -1;
            break;
        }
        if (got == 0) {
            PostQuitMessage((int)msg.wParam);
            m_nModalResult = -1;
            break;
        }
        if (!PreTranslateMessage(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        mfc::delete_temporaries();
    }
}

void CDialog::EndDialog(int nResult)
{
    m_nModalResult = nResult;
    m_bModalEnded = true;
    HWND hwnd = m_hWnd;
    if (hwnd != nullptr) {
        ::PostMessageW(hwnd, WM_NULL, 0, 0); // wakes the modal loop when called from elsewhere
    }
}

BOOL CDialog::PreTranslateMessage(MSG *pMsg)
{
    if (pMsg->message != WM_KEYDOWN || (pMsg->wParam != VK_ESCAPE && pMsg->wParam != VK_RETURN)) {
        return FALSE;
    }
    if (pMsg->hwnd != m_hWnd && ::GetParent(pMsg->hwnd) != m_hWnd) {
        return FALSE;
    }
    const WORD id = pMsg->wParam == VK_ESCAPE ? IDCANCEL : IDOK;
    SendMessage(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)::GetDlgItem(m_hWnd, id));
    return TRUE;
}

LRESULT CDialog::HandleInitDialog(WPARAM wParam, LPARAM lParam) { return OnInitDialog(); }

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (UpdateData(TRUE)) {
        EndDialog(IDOK);
    }
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::GotoDlgCtrl(CWnd *pWndCtrl)
{
    if (pWndCtrl != nullptr) {
        ::SetFocus(pWndCtrl->m_hWnd);
    }
}

CDataExchange::CDataExchange(CWnd *pDlgWnd, BOOL bSaveAndValidate)
    : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd)
{
}

HWND CDataExchange::PrepareCtrl(int nIDC)
{
    HWND control = ::GetDlgItem(m_pDlgWnd->m_hWnd, nIDC);
    if (control == nullptr) {
        verifier_stop("DIALOG_CONTROL_NOT_FOUND", "data exchange with control %d, which the dialog does not have", nIDC);
    }
    return control;
}

void AFXAPI DDX_Control(CDataExchange *pDX, int nIDC, CWnd &rControl)
{
    if (rControl.m_hWnd != nullptr) {
        return;
    }
    HWND control = pDX->PrepareCtrl(nIDC);
    if (!rControl.SubclassWindow(control)) {
        verifier_stop("DIALOG_CONTROL_SUBCLASS", "control %d cannot be attached: it already has an object", nIDC);
    }
}

void AFXAPI DDX_Text(CDataExchange *pDX, int nIDC, CString &value)
{
    HWND control = pDX->PrepareCtrl(nIDC);
    if (pDX->m_bSaveAndValidate) {
        CWnd::FromHandle(control)->GetWindowText(value);
    } else {
        ::SetWindowTextW(control, value);
    }
}
