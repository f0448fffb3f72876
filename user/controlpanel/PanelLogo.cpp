// The control panel's logo: the PNG resource through a memory stream into GDI+, its pixels
// copied into a top-down 32-bit DIB section with the colours premultiplied by their alpha (as
// AlphaBlend expects), and drawn through a memory device context.
#include "PanelLogo.h"
#include <gdiplus.h>
#include <shlwapi.h>

namespace {

const BYTE OpaqueAlpha = 255;

// A GDI+ session for the length of one load.
class CGdiplusSession {
public:
    CGdiplusSession() : m_Token(0)
    {
        Gdiplus::GdiplusStartupInput input;
        m_Started = Gdiplus::GdiplusStartup(&m_Token, &input, nullptr) == Gdiplus::Ok;
    }
    ~CGdiplusSession()
    {
        if (m_Started) {
            Gdiplus::GdiplusShutdown(m_Token);
        }
    }
    CGdiplusSession(const CGdiplusSession &) = delete;
    CGdiplusSession &operator=(const CGdiplusSession &) = delete;
    BOOL IsStarted() const { return m_Started; }

private:
    ULONG_PTR m_Token;
    BOOL m_Started;
};

} // namespace

CPanelLogo::CPanelLogo() : m_hBitmap(nullptr), m_Width(0), m_Height(0) {}

CPanelLogo::~CPanelLogo()
{
    Free();
}

void CPanelLogo::Free()
{
    if (m_hBitmap != nullptr) {
        DeleteObject(m_hBitmap);
        m_hBitmap = nullptr;
    }
    m_Width = 0;
    m_Height = 0;
}

BOOL CPanelLogo::Load(HINSTANCE Module, UINT Id, LPCWSTR Type)
{
    Free();
    const HRSRC resource = FindResourceW(Module, MAKEINTRESOURCEW(Id), Type);
    const DWORD size = resource != nullptr ? SizeofResource(Module, resource) : 0;
    const void *data = size != 0 ? LockResource(LoadResource(Module, resource)) : nullptr;
    if (data == nullptr) {
        return FALSE;
    }
    CGdiplusSession session;
    IStream *stream = session.IsStarted() ? SHCreateMemStream(static_cast<const BYTE *>(data), size) : nullptr;
    if (stream == nullptr) {
        return FALSE;
    }
    Gdiplus::Bitmap *image = Gdiplus::Bitmap::FromStream(stream);
    stream->Release();
    Gdiplus::BitmapData pixels = {};
    if (image == nullptr || image->GetLastStatus() != Gdiplus::Ok ||
        image->LockBits(nullptr, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &pixels) != Gdiplus::Ok) {
        delete image;
        return FALSE;
    }
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = (LONG)pixels.Width;
    info.bmiHeader.biHeight = -(LONG)pixels.Height; // rows from the top, as GDI+ hands them out
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    BYTE *bits = nullptr;
    m_hBitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, reinterpret_cast<void **>(&bits), nullptr, 0);
    if (m_hBitmap != nullptr) {
        m_Width = (LONG)pixels.Width;
        m_Height = (LONG)pixels.Height;
        const size_t rowBytes = (size_t)pixels.Width * 4;
        for (UINT y = 0; y < pixels.Height; ++y) {
            const BYTE *from = static_cast<const BYTE *>(pixels.Scan0) + (ptrdiff_t)y * pixels.Stride;
            BYTE *to = bits + y * rowBytes;
            for (size_t x = 0; x < rowBytes; x += 4) {
                const DWORD alpha = from[x + 3];
                for (size_t c = 0; c < 3; ++c) {
                    to[x + c] = alpha == OpaqueAlpha ? from[x + c] : (BYTE)((from[x + c] * alpha + 127) / 255);
                }
                to[x + 3] = (BYTE)alpha;
            }
        }
    }
    image->UnlockBits(&pixels);
    delete image;
    return m_hBitmap != nullptr;
}

void CPanelLogo::Draw(CDC *pDC, const RECT &Frame) const
{
    const LONG frameWidth = Frame.right - Frame.left;
    const LONG frameHeight = Frame.bottom - Frame.top;
    if (m_hBitmap == nullptr || pDC == nullptr || frameWidth <= 0 || frameHeight <= 0) {
        return;
    }
    // The smaller of the two ratios, kept as a fraction so that the side it comes from fills
    // the frame exactly.
    LONG width = frameWidth;
    LONG height = frameHeight;
    if ((LONGLONG)frameWidth * m_Height <= (LONGLONG)frameHeight * m_Width) {
        height = (LONG)((LONGLONG)m_Height * frameWidth / m_Width);
    } else {
        width = (LONG)((LONGLONG)m_Width * frameHeight / m_Height);
    }
    CDC memory;
    if (!memory.CreateCompatibleDC(pDC)) {
        return;
    }
    const HGDIOBJ previous = memory.SelectObject(m_hBitmap);
    const BLENDFUNCTION blend = {AC_SRC_OVER, 0, OpaqueAlpha, AC_SRC_ALPHA};
    pDC->AlphaBlend(Frame.left + (frameWidth - width) / 2, Frame.top + (frameHeight - height) / 2, width, height,
                    &memory, 0, 0, m_Width, m_Height, blend);
    memory.SelectObject(previous);
}
