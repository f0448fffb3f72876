// CPanelLogo: the control panel's logo, a PNG resource decoded with GDI+ into a 32-bit bitmap
// with premultiplied alpha, drawn scaled into a rectangle with per-pixel alpha.
#pragma once
#include <afxwin.h>

class CPanelLogo {
public:
    CPanelLogo();
    ~CPanelLogo();
    CPanelLogo(const CPanelLogo &) = delete;
    CPanelLogo &operator=(const CPanelLogo &) = delete;

    // Loads resource Id of type Type from Module. FALSE (and no logo) when the resource is
    // missing or cannot be decoded.
    BOOL Load(HINSTANCE Module, UINT Id, LPCWSTR Type);
    // Draws the logo as large as fits into Frame, centred. Nothing without a logo.
    void Draw(CDC *pDC, const RECT &Frame) const;

    BOOL IsLoaded() const { return m_hBitmap != nullptr; }

private:
    void Free();

    HBITMAP m_hBitmap;
    LONG m_Width;
    LONG m_Height;
};
