// Drawing objects of the dialog framework: device contexts, fonts and brushes over the
// headless GDI of the stand-in, which records what is drawn (wingdi.h).
#pragma once
#include <windows.h>
#include <wingdi.h>
#include <afxstr.h>

class CWnd;

// Owns its handle: the destructor deletes it unless it was detached.
class CGdiObject {
public:
    CGdiObject();
    virtual ~CGdiObject();
    CGdiObject(const CGdiObject &) = delete;
    CGdiObject &operator=(const CGdiObject &) = delete;

    HGDIOBJ m_hObject;
    HGDIOBJ GetSafeHandle() const { return m_hObject; }
    BOOL Attach(HGDIOBJ hObject);
    HGDIOBJ Detach();
    BOOL DeleteObject();
};

class CFont : public CGdiObject {
public:
    operator HFONT() const { return (HFONT)m_hObject; }
    // A temporary object (see CWnd::FromHandle) for hFont, which it does not own.
    static CFont *PASCAL FromHandle(HFONT hFont);
    BOOL CreateFontIndirect(const LOGFONTW *lpLogFont);
    int GetLogFont(LOGFONTW *pLogFont);
};

class CBrush : public CGdiObject {
public:
    CBrush() = default;
    explicit CBrush(COLORREF crColor);
    operator HBRUSH() const { return (HBRUSH)m_hObject; }
    BOOL CreateSolidBrush(COLORREF crColor);
};

class CDC {
public:
    CDC();
    virtual ~CDC();
    CDC(const CDC &) = delete;
    CDC &operator=(const CDC &) = delete;

    HDC m_hDC;
    operator HDC() const { return m_hDC; }
    HDC GetSafeHdc() const { return m_hDC; }
    // A temporary object for hDC, which it does not own.
    static CDC *PASCAL FromHandle(HDC hDC);
    BOOL Attach(HDC hDC);
    HDC Detach();
    BOOL CreateCompatibleDC(CDC *pDC);
    BOOL DeleteDC();

    COLORREF SetTextColor(COLORREF crColor);
    COLORREF GetTextColor() const;
    COLORREF SetBkColor(COLORREF crColor);
    COLORREF GetBkColor() const;
    int SetBkMode(int nBkMode);
    int SaveDC();
    BOOL RestoreDC(int nSavedDC);
    // Returns the previously selected font (a temporary object).
    CFont *SelectObject(CFont *pFont);
    HGDIOBJ SelectObject(HGDIOBJ hObject);
    CFont *GetCurrentFont() const;

    int DrawText(LPCWSTR lpszString, int nCount, LPRECT lpRect, UINT nFormat);
    int DrawText(const CString &str, LPRECT lpRect, UINT nFormat);
    BOOL TextOut(int x, int y, LPCWSTR lpszString, int nCount);
    void FillSolidRect(LPCRECT lpRect, COLORREF clr);
    void FillRect(LPCRECT lpRect, CBrush *pBrush);
    void DrawFocusRect(LPCRECT lpRect);
    BOOL DrawIcon(int x, int y, HICON hIcon);
    BOOL AlphaBlend(int xDest, int yDest, int nDestWidth, int nDestHeight, CDC *pSrcDC, int xSrc, int ySrc,
                    int nSrcWidth, int nSrcHeight, BLENDFUNCTION blend);
};

// BeginPaint / EndPaint of a window for the lifetime of the object.
class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd *pWnd);
    ~CPaintDC() override;
    PAINTSTRUCT m_ps;

protected:
    HWND m_hWnd;
};

// GetDC / ReleaseDC of a window for the lifetime of the object.
class CClientDC : public CDC {
public:
    explicit CClientDC(CWnd *pWnd);
    ~CClientDC() override;

protected:
    HWND m_hWnd;
};
