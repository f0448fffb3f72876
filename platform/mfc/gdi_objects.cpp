// Drawing objects of the dialog framework over the headless GDI: CGdiObject, CFont, CBrush,
// CDC and the paint and client device contexts.
#include "mfc_internal.h"

using namespace platform;

CGdiObject::CGdiObject() : m_hObject(nullptr) {}

CGdiObject::~CGdiObject() { DeleteObject(); }

BOOL CGdiObject::Attach(HGDIOBJ hObject)
{
    if (hObject == nullptr || m_hObject != nullptr) {
        return FALSE;
    }
    m_hObject = hObject;
    return TRUE;
}

HGDIOBJ CGdiObject::Detach()
{
    HGDIOBJ h = m_hObject;
    m_hObject = nullptr;
    return h;
}

BOOL CGdiObject::DeleteObject()
{
    if (m_hObject == nullptr) {
        return FALSE;
    }
    return ::DeleteObject(Detach());
}

CFont *PASCAL CFont::FromHandle(HFONT hFont) { return hFont == nullptr ? nullptr : mfc::temporary_font(hFont); }

BOOL CFont::CreateFontIndirect(const LOGFONTW *lpLogFont) { return Attach(::CreateFontIndirectW(lpLogFont)); }

int CFont::GetLogFont(LOGFONTW *pLogFont) { return GetObjectW(m_hObject, (int)sizeof(LOGFONTW), pLogFont); }

CBrush::CBrush(COLORREF crColor) { CreateSolidBrush(crColor); }

BOOL CBrush::CreateSolidBrush(COLORREF crColor) { return Attach(::CreateSolidBrush(crColor)); }

CDC::CDC() : m_hDC(nullptr) {}

CDC::~CDC() { DeleteDC(); }

CDC *PASCAL CDC::FromHandle(HDC hDC) { return hDC == nullptr ? nullptr : mfc::temporary_dc(hDC); }

BOOL CDC::Attach(HDC hDC)
{
    if (hDC == nullptr || m_hDC != nullptr) {
        return FALSE;
    }
    m_hDC = hDC;
    return TRUE;
}

HDC CDC::Detach()
{
    HDC h = m_hDC;
    m_hDC = nullptr;
    return h;
}

BOOL CDC::CreateCompatibleDC(CDC *pDC) { return Attach(::CreateCompatibleDC(pDC != nullptr ? pDC->m_hDC : nullptr)); }

BOOL CDC::DeleteDC()
{
    if (m_hDC == nullptr) {
        return FALSE;
    }
    return ::DeleteDC(Detach());
}

COLORREF CDC::SetTextColor(COLORREF crColor) { return ::SetTextColor(m_hDC, crColor); }
COLORREF CDC::GetTextColor() const { return ::GetTextColor(m_hDC); }
COLORREF CDC::SetBkColor(COLORREF crColor) { return ::SetBkColor(m_hDC, crColor); }
COLORREF CDC::GetBkColor() const { return ::GetBkColor(m_hDC); }
int CDC::SetBkMode(int nBkMode) { return ::SetBkMode(m_hDC, nBkMode); }
int CDC::SaveDC() { return ::SaveDC(m_hDC); }
BOOL CDC::RestoreDC(int nSavedDC) { return ::RestoreDC(m_hDC, nSavedDC); }

CFont *CDC::SelectObject(CFont *pFont)
{
    if (pFont == nullptr) {
        return nullptr;
    }
    return CFont::FromHandle((HFONT)::SelectObject(m_hDC, pFont->m_hObject));
}

HGDIOBJ CDC::SelectObject(HGDIOBJ hObject) { return ::SelectObject(m_hDC, hObject); }

CFont *CDC::GetCurrentFont() const { return CFont::FromHandle((HFONT)GetCurrentObject(m_hDC, OBJ_FONT)); }

int CDC::DrawText(LPCWSTR lpszString, int nCount, LPRECT lpRect, UINT nFormat)
{
    return ::DrawTextW(m_hDC, lpszString, nCount, lpRect, nFormat);
}

int CDC::DrawText(const CString &str, LPRECT lpRect, UINT nFormat)
{
    return ::DrawTextW(m_hDC, str, str.GetLength(), lpRect, nFormat);
}

BOOL CDC::TextOut(int x, int y, LPCWSTR lpszString, int nCount) { return ::TextOutW(m_hDC, x, y, lpszString, nCount); }

// As the Windows library does it: an opaque text-out of nothing in the colour, which leaves
// the background colour changed.
void CDC::FillSolidRect(LPCRECT lpRect, COLORREF clr)
{
    ::SetBkColor(m_hDC, clr);
    ::ExtTextOutW(m_hDC, 0, 0, ETO_OPAQUE, lpRect, nullptr, 0, nullptr);
}

void CDC::FillRect(LPCRECT lpRect, CBrush *pBrush)
{
    if (pBrush != nullptr) {
        ::FillRect(m_hDC, lpRect, (HBRUSH)pBrush->m_hObject);
    }
}

void CDC::DrawFocusRect(LPCRECT lpRect) { ::DrawFocusRect(m_hDC, lpRect); }

BOOL CDC::DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }

BOOL CDC::AlphaBlend(int xDest, int yDest, int nDestWidth, int nDestHeight, CDC *pSrcDC, int xSrc, int ySrc,
                     int nSrcWidth, int nSrcHeight, BLENDFUNCTION blend)
{
    return pSrcDC != nullptr && ::AlphaBlend(m_hDC, xDest, yDest, nDestWidth, nDestHeight, pSrcDC->m_hDC, xSrc, ySrc,
                                             nSrcWidth, nSrcHeight, blend);
}

CPaintDC::CPaintDC(CWnd *pWnd) : m_ps{}, m_hWnd(pWnd != nullptr ? pWnd->m_hWnd : nullptr)
{
    Attach(BeginPaint(m_hWnd, &m_ps));
}

CPaintDC::~CPaintDC()
{
    if (m_hDC != nullptr) {
        Detach();
        EndPaint(m_hWnd, &m_ps);
    }
}

CClientDC::CClientDC(CWnd *pWnd) : m_hWnd(pWnd != nullptr ? pWnd->m_hWnd : nullptr) { Attach(::GetDC(m_hWnd)); }

CClientDC::~CClientDC()
{
    if (m_hDC != nullptr) {
        ::ReleaseDC(m_hWnd, Detach());
    }
}
