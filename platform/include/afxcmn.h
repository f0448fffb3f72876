// Common controls of the dialog framework: the slider (trackbar).
#pragma once
#include <afxwin.h>
#include <commctrl.h>

class CSliderCtrl : public CWnd {
public:
    int GetPos() const { return (int)::SendMessageW(m_hWnd, TBM_GETPOS, 0, 0); }
    // The position is clamped into the range.
    void SetPos(int nPos) { ::SendMessageW(m_hWnd, TBM_SETPOS, TRUE, (LPARAM)nPos); }
    int GetRangeMin() const { return (int)::SendMessageW(m_hWnd, TBM_GETRANGEMIN, 0, 0); }
    int GetRangeMax() const { return (int)::SendMessageW(m_hWnd, TBM_GETRANGEMAX, 0, 0); }
    void GetRange(int &nMin, int &nMax) const
    {
        nMin = GetRangeMin();
        nMax = GetRangeMax();
    }
    void SetRange(int nMin, int nMax, BOOL bRedraw = FALSE)
    {
        ::SendMessageW(m_hWnd, TBM_SETRANGEMIN, FALSE, (LPARAM)nMin);
        ::SendMessageW(m_hWnd, TBM_SETRANGEMAX, bRedraw, (LPARAM)nMax);
    }
    void SetRangeMin(int nMin, BOOL bRedraw = FALSE) { ::SendMessageW(m_hWnd, TBM_SETRANGEMIN, bRedraw, (LPARAM)nMin); }
    void SetRangeMax(int nMax, BOOL bRedraw = FALSE) { ::SendMessageW(m_hWnd, TBM_SETRANGEMAX, bRedraw, (LPARAM)nMax); }
    int SetPageSize(int nSize) { return (int)::SendMessageW(m_hWnd, TBM_SETPAGESIZE, 0, (LPARAM)nSize); }
    int GetPageSize() const { return (int)::SendMessageW(m_hWnd, TBM_GETPAGESIZE, 0, 0); }
    int SetLineSize(int nSize) { return (int)::SendMessageW(m_hWnd, TBM_SETLINESIZE, 0, (LPARAM)nSize); }
    int GetLineSize() const { return (int)::SendMessageW(m_hWnd, TBM_GETLINESIZE, 0, 0); }
};
