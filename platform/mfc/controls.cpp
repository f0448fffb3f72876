// The framework's control objects: text of list and combo rows into a CString, owner drawing
// reflected from the parent, and static icons.
#include "mfc_internal.h"

HICON CStatic::SetIcon(HICON hIcon) { return (HICON)::SendMessageW(m_hWnd, STM_SETICON, (WPARAM)hIcon, 0); }

void CListBox::GetText(int nIndex, CString &rString) const
{
    rString.Empty();
    const int length = GetTextLen(nIndex);
    if (length > 0) {
        LPWSTR buffer = rString.GetBuffer(length);
        rString.ReleaseBuffer(GetText(nIndex, buffer) < 0 ? 0 : length);
    }
}

// A class that makes its list owner-drawn overrides this; the base draws nothing.
void CListBox::DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) {}

BOOL CListBox::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult)
{
    if (message != WM_DRAWITEM) {
        return CWnd::OnChildNotify(message, wParam, lParam, pResult);
    }
    DrawItem((LPDRAWITEMSTRUCT)lParam);
    if (pResult != nullptr) {
        *pResult = TRUE;
    }
    return TRUE;
}

void CComboBox::GetLBText(int nIndex, CString &rString) const
{
    rString.Empty();
    const int length = GetLBTextLen(nIndex);
    if (length > 0) {
        LPWSTR buffer = rString.GetBuffer(length);
        rString.ReleaseBuffer(GetLBText(nIndex, buffer) < 0 ? 0 : length);
    }
}

void CComboBox::DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) {}

BOOL CComboBox::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult)
{
    if (message != WM_DRAWITEM) {
        return CWnd::OnChildNotify(message, wParam, lParam, pResult);
    }
    DrawItem((LPDRAWITEMSTRUCT)lParam);
    if (pResult != nullptr) {
        *pResult = TRUE;
    }
    return TRUE;
}
