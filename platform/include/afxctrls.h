// The standard controls of the dialog framework: thin objects over the Win32 control windows,
// each call one message to the control.
#pragma once
#include <afxwin.h>

class CStatic : public CWnd {
public:
    HICON SetIcon(HICON hIcon);
};

class CButton : public CWnd {
public:
    int GetCheck() const { return (int)::SendMessageW(m_hWnd, BM_GETCHECK, 0, 0); }
    void SetCheck(int nCheck) { ::SendMessageW(m_hWnd, BM_SETCHECK, (WPARAM)nCheck, 0); }
};

class CListBox : public CWnd {
public:
    int GetCount() const { return (int)::SendMessageW(m_hWnd, LB_GETCOUNT, 0, 0); }
    int GetCurSel() const { return (int)::SendMessageW(m_hWnd, LB_GETCURSEL, 0, 0); }
    // LB_ERR when nSelect is out of range (-1 clears the selection and returns LB_ERR too).
    int SetCurSel(int nSelect) { return (int)::SendMessageW(m_hWnd, LB_SETCURSEL, (WPARAM)nSelect, 0); }
    int AddString(LPCWSTR lpszItem) { return (int)::SendMessageW(m_hWnd, LB_ADDSTRING, 0, (LPARAM)lpszItem); }
    int InsertString(int nIndex, LPCWSTR lpszItem)
    {
        return (int)::SendMessageW(m_hWnd, LB_INSERTSTRING, (WPARAM)nIndex, (LPARAM)lpszItem);
    }
    int DeleteString(UINT nIndex) { return (int)::SendMessageW(m_hWnd, LB_DELETESTRING, nIndex, 0); }
    void ResetContent() { ::SendMessageW(m_hWnd, LB_RESETCONTENT, 0, 0); }
    int GetText(int nIndex, LPWSTR lpszBuffer) const
    {
        return (int)::SendMessageW(m_hWnd, LB_GETTEXT, (WPARAM)nIndex, (LPARAM)lpszBuffer);
    }
    void GetText(int nIndex, CString &rString) const;
    int GetTextLen(int nIndex) const { return (int)::SendMessageW(m_hWnd, LB_GETTEXTLEN, (WPARAM)nIndex, 0); }
    DWORD_PTR GetItemData(int nIndex) const
    {
        return (DWORD_PTR)::SendMessageW(m_hWnd, LB_GETITEMDATA, (WPARAM)nIndex, 0);
    }
    int SetItemData(int nIndex, DWORD_PTR dwItemData)
    {
        return (int)::SendMessageW(m_hWnd, LB_SETITEMDATA, (WPARAM)nIndex, (LPARAM)dwItemData);
    }
    int FindStringExact(int nIndexStart, LPCWSTR lpszFind) const
    {
        return (int)::SendMessageW(m_hWnd, LB_FINDSTRINGEXACT, (WPARAM)nIndexStart, (LPARAM)lpszFind);
    }
    int GetItemRect(int nIndex, LPRECT lpRect) const
    {
        return (int)::SendMessageW(m_hWnd, LB_GETITEMRECT, (WPARAM)nIndex, (LPARAM)lpRect);
    }
    int GetItemHeight(int nIndex) const { return (int)::SendMessageW(m_hWnd, LB_GETITEMHEIGHT, (WPARAM)nIndex, 0); }
    int GetTopIndex() const { return (int)::SendMessageW(m_hWnd, LB_GETTOPINDEX, 0, 0); }

    // Owner-drawn list boxes: called for each item the control paints.
    virtual void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct);
    BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult) override;
};

class CComboBox : public CWnd {
public:
    int GetCount() const { return (int)::SendMessageW(m_hWnd, CB_GETCOUNT, 0, 0); }
    int GetCurSel() const { return (int)::SendMessageW(m_hWnd, CB_GETCURSEL, 0, 0); }
    int SetCurSel(int nSelect) { return (int)::SendMessageW(m_hWnd, CB_SETCURSEL, (WPARAM)nSelect, 0); }
    int AddString(LPCWSTR lpszString) { return (int)::SendMessageW(m_hWnd, CB_ADDSTRING, 0, (LPARAM)lpszString); }
    int InsertString(int nIndex, LPCWSTR lpszString)
    {
        return (int)::SendMessageW(m_hWnd, CB_INSERTSTRING, (WPARAM)nIndex, (LPARAM)lpszString);
    }
    int DeleteString(UINT nIndex) { return (int)::SendMessageW(m_hWnd, CB_DELETESTRING, nIndex, 0); }
    void ResetContent() { ::SendMessageW(m_hWnd, CB_RESETCONTENT, 0, 0); }
    int GetLBText(int nIndex, LPWSTR lpszText) const
    {
        return (int)::SendMessageW(m_hWnd, CB_GETLBTEXT, (WPARAM)nIndex, (LPARAM)lpszText);
    }
    void GetLBText(int nIndex, CString &rString) const;
    int GetLBTextLen(int nIndex) const { return (int)::SendMessageW(m_hWnd, CB_GETLBTEXTLEN, (WPARAM)nIndex, 0); }
    DWORD_PTR GetItemData(int nIndex) const
    {
        return (DWORD_PTR)::SendMessageW(m_hWnd, CB_GETITEMDATA, (WPARAM)nIndex, 0);
    }
    int SetItemData(int nIndex, DWORD_PTR dwItemData)
    {
        return (int)::SendMessageW(m_hWnd, CB_SETITEMDATA, (WPARAM)nIndex, (LPARAM)dwItemData);
    }
    int FindStringExact(int nIndexStart, LPCWSTR lpszFind) const
    {
        return (int)::SendMessageW(m_hWnd, CB_FINDSTRINGEXACT, (WPARAM)nIndexStart, (LPARAM)lpszFind);
    }
    int SelectString(int nStartAfter, LPCWSTR lpszString)
    {
        return (int)::SendMessageW(m_hWnd, CB_SELECTSTRING, (WPARAM)nStartAfter, (LPARAM)lpszString);
    }

    virtual void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct);
    BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult) override;
};
