// The test dialog: its template and strings, and handlers that record what they saw.
#include "dialog_fixture.h"

namespace mfc_test {

namespace {

const AFX_DLGITEM_TEMPLATE test_items[] = {
    {IDC_LIST, WC_LISTBOXW, nullptr,
     WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_NOTIFY |
         LBS_NOINTEGRALHEIGHT,
     0, 6, 6, 114, 84},
    {IDC_GROUP, WC_BUTTONW, L"Setting", WS_VISIBLE | BS_GROUPBOX, 0, 132, 6, 192, 84},
    {IDC_COUNT, WC_STATICW, L"---- Samples", WS_VISIBLE | SS_LEFT, 0, 207, 18, 71, 8},
    {IDC_SLIDER, TRACKBAR_CLASSW, nullptr, WS_VISIBLE | WS_TABSTOP | TBS_BOTH | TBS_NOTICKS, 0, 138, 30, 180, 15},
    {IDC_LABEL, WC_STATICW, L"Sampling Rate", WS_VISIBLE | WS_DISABLED, 0, 150, 54, 46, 8},
    {IDC_COMBO, WC_COMBOBOXW, nullptr, WS_VISIBLE | WS_DISABLED | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, 0, 207,
     52, 66, 66},
    {IDOK, WC_BUTTONW, L"OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 270, 120, 50, 14},
};

const AFX_DLGITEM_TEMPLATE plain_items[] = {
    {IDOK, WC_BUTTONW, L"OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 10, 10, 50, 14},
};

const AFX_DIALOG_TEMPLATE dialogs[] = {
    {IDD_TEST, DS_SHELLFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, WS_EX_APPWINDOW, 0,
     0, 334, 143, L"Placeholder caption", L"MS Shell Dlg", 8, test_items, (UINT)(sizeof(test_items) / sizeof(test_items[0]))},
    {IDD_PLAIN, WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 0, 100, 40, L"Plain Dialog", L"MS Shell Dlg", 8, plain_items,
     1},
};

const AFX_STRING_RESOURCE strings[] = {
    {IDS_BUSY, busy_text},
};

const CAfxResourceRegistration registration(test_resources);

} // namespace

const AFX_RESOURCE_TABLE test_resources = {dialogs, 2, strings, 1};

void CBoldList::DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct)
{
    if (GetCount() <= 0) {
        return;
    }
    CDC *dc = CDC::FromHandle(lpDrawItemStruct->hDC);
    CString text;
    GetText((int)lpDrawItemStruct->itemID, text);
    RECT rc = lpDrawItemStruct->rcItem;
    const COLORREF old_text = dc->GetTextColor();
    const COLORREF old_back = dc->GetBkColor();
    if ((lpDrawItemStruct->itemState & ODS_SELECTED) != 0) {
        dc->SetTextColor(GetSysColor(COLOR_HIGHLIGHTTEXT));
        dc->SetBkColor(GetSysColor(COLOR_HIGHLIGHT));
        dc->FillSolidRect(&rc, GetSysColor(COLOR_HIGHLIGHT));
    } else {
        dc->FillSolidRect(&rc, old_back);
    }
    CFont bold;
    CFont *old_font = nullptr;
    if ((int)lpDrawItemStruct->itemID == m_bold) {
        LOGFONTW lf{};
        dc->GetCurrentFont()->GetLogFont(&lf);
        lf.lfWeight = FW_HEAVY;
        bold.CreateFontIndirect(&lf);
        old_font = dc->SelectObject(&bold);
    }
    dc->DrawText(text, &rc, DT_VCENTER | DT_SINGLELINE);
    if ((lpDrawItemStruct->itemState & ODS_FOCUS) != 0) {
        dc->DrawFocusRect(&rc);
    }
    if (m_forget_restore) {
        return; // leaves the colours (and, for the bold row, a font about to be freed) selected
    }
    if (old_font != nullptr) {
        dc->SelectObject(old_font);
    }
    dc->SetTextColor(old_text);
    dc->SetBkColor(old_back);
}

BEGIN_MESSAGE_MAP(CTestDialog, CDialog)
    ON_LBN_SELCHANGE(IDC_LIST, &CTestDialog::OnSelchangeList)
    ON_CBN_SELCHANGE(IDC_COMBO, &CTestDialog::OnSelchangeCombo)
    ON_WM_HSCROLL()
    ON_MESSAGE(WM_APP, &CTestDialog::OnAppNotify)
    ON_WM_DEVICECHANGE()
    ON_WM_SYSCOMMAND()
    ON_WM_DESTROY()
END_MESSAGE_MAP()

void CTestDialog::DoDataExchange(CDataExchange *pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_SLIDER, m_slider);
    DDX_Control(pDX, IDC_COMBO, m_combo);
    DDX_Control(pDX, IDC_LIST, m_list);
}

BOOL CTestDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetWindowText(test_title);
    m_slider.SetRange(0, 31, TRUE);
    m_slider.SetPageSize(4);
    CString device = L"B&eta";
    device.Replace(L"&", L"&&");
    m_list.AddString(L"Alpha");
    m_list.AddString(device);
    m_list.AddString(L"Gamma");
    m_list.m_bold = 1;
    m_list.SetCurSel(1);
    m_log.add(WM_INITDIALOG);
    if (m_end_in_init) {
        EndDialog(5);
    }
    return TRUE;
}

void CTestDialog::OnSelchangeList()
{
    const int selection = m_list.GetCurSel();
    CString text;
    m_list.GetText(selection, text);
    GetDlgItem(IDC_GROUP)->SetWindowText(text);
    m_log.add(LBN_SELCHANGE + 0x10000, 0, selection);
}

void CTestDialog::OnSelchangeCombo()
{
    const int selection = m_combo.GetCurSel();
    CString text;
    m_combo.GetLBText(selection, text);
    m_log.add(CBN_SELCHANGE + 0x20000, 0, selection, (INT_PTR)m_combo.GetItemData(selection));
    if (text == L"Refuse") {
        m_log.add(WM_USER + 1, 0, AfxMessageBox(IDS_BUSY, MB_ICONEXCLAMATION));
    }
}

void CTestDialog::OnHScroll(UINT nSBCode, UINT nPos, CScrollBar *pScrollBar)
{
    m_log.add(WM_HSCROLL, nSBCode, nPos, m_slider.GetPos());
    if (nSBCode == SB_THUMBPOSITION) {
        CString text;
        text.Format(L"%lu Samples", (DWORD)nPos * 32);
        SetDlgItemText(IDC_COUNT, text);
    }
    CDialog::OnHScroll(nSBCode, nPos, pScrollBar);
}

LRESULT CTestDialog::OnAppNotify(WPARAM wParam, LPARAM lParam)
{
    m_log.add(WM_APP, 0, (INT_PTR)wParam, lParam);
    if (wParam == 1) {
        m_combo.ResetContent();
        const DWORD rates[] = {44100, 48000, 88200};
        for (DWORD rate : rates) {
            CString label;
            label.Format(L"%u Hz", rate);
            m_combo.SetItemData(m_combo.AddString(label), rate);
        }
        m_combo.SetItemData(m_combo.AddString(L"Refuse"), 0);
        m_combo.SetCurSel(0);
        m_combo.EnableWindow(TRUE);
        GetDlgItem(IDC_LABEL)->EnableWindow(TRUE);
    } else if (wParam == 99) {
        EndDialog((int)lParam);
    }
    return (LRESULT)wParam + 100;
}

BOOL CTestDialog::OnDeviceChange(UINT nEventType, DWORD_PTR dwData)
{
    m_log.add(WM_DEVICECHANGE, nEventType, (INT_PTR)dwData);
    return TRUE;
}

void CTestDialog::OnSysCommand(UINT nID, LPARAM lParam)
{
    m_log.add(WM_SYSCOMMAND, nID);
    CDialog::OnSysCommand(nID, lParam);
}

void CTestDialog::OnDestroy()
{
    m_log.add(WM_DESTROY, 0, (INT_PTR)::IsWindow(m_list.m_hWnd));
    CDialog::OnDestroy();
}

} // namespace mfc_test
