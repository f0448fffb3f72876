// Device-independent bitmaps and their drawing: CreateDIBSection and what it refuses, bitmaps
// in memory device contexts (one context at a time, not deleted while selected, described by
// GetObjectW), and AlphaBlend, recorded with the source pixels it reads, and refused as
// Windows refuses it.
#include <gtest/gtest.h>
#include <windows.h>
#include <wingdi.h>
#include <platform/machine_state.h>
#include <platform/ui_automation.h>
#include <functional>

namespace {

namespace ui = platform::ui;

const WCHAR PaintClass[] = L"GdiTestsPaint";
std::function<void(HDC)> g_paint;

LRESULT CALLBACK paint_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        const HDC dc = BeginPaint(hwnd, &paint);
        g_paint(dc);
        EndPaint(hwnd, &paint);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

class GdiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = paint_proc;
        windowClass.lpszClassName = PaintClass;
        ASSERT_NE(0, RegisterClassExW(&windowClass));
        m_window = CreateWindowExW(0, PaintClass, L"", 0, 0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, m_window);
    }
    void TearDown() override
    {
        DestroyWindow(m_window);
        g_paint = nullptr;
        platform::machine_shutdown();
    }

    static BITMAPINFO header(LONG width, LONG height, WORD bits)
    {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = bits;
        info.bmiHeader.biCompression = BI_RGB;
        return info;
    }

    std::vector<ui::drawing> paint(std::function<void(HDC)> body)
    {
        g_paint = std::move(body);
        return ui::paint_window(m_window);
    }

    HWND m_window = nullptr;
};

TEST_F(GdiTest, CreateDibSectionMakesZeroedPixelsAndRefusesWhatItCannotHold)
{
    BITMAPINFO good = header(3, -2, 32);
    void *bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(nullptr, &good, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(nullptr, bitmap);
    ASSERT_NE(nullptr, bits);
    EXPECT_EQ(std::vector<BYTE>(24, 0), std::vector<BYTE>((BYTE *)bits, (BYTE *)bits + 24));
    DIBSECTION dib = {};
    EXPECT_EQ((int)sizeof(DIBSECTION), GetObjectW(bitmap, sizeof(dib), &dib));
    EXPECT_EQ(3, dib.dsBm.bmWidth);
    EXPECT_EQ(2, dib.dsBm.bmHeight);
    EXPECT_EQ(12, dib.dsBm.bmWidthBytes);
    EXPECT_EQ(32, dib.dsBm.bmBitsPixel);
    EXPECT_EQ(bits, dib.dsBm.bmBits);
    EXPECT_EQ(-2, dib.dsBmih.biHeight);
    BITMAP plain = {};
    EXPECT_EQ((int)sizeof(BITMAP), GetObjectW(bitmap, sizeof(plain), &plain));
    BITMAPINFO odd = header(3, 2, 24);
    const HBITMAP rows24 = CreateDIBSection(nullptr, &odd, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(nullptr, rows24);
    EXPECT_EQ((int)sizeof(BITMAP), GetObjectW(rows24, sizeof(plain), &plain));
    EXPECT_EQ(12, plain.bmWidthBytes) << "rows are padded to four bytes";

    struct row {
        const char *what;
        std::function<void(BITMAPINFO *)> change;
    };
    const row rows[] = {
        {"no width", [](BITMAPINFO *i) { i->bmiHeader.biWidth = 0; }},
        {"no height", [](BITMAPINFO *i) { i->bmiHeader.biHeight = 0; }},
        {"16 bits", [](BITMAPINFO *i) { i->bmiHeader.biBitCount = 16; }},
        {"two planes", [](BITMAPINFO *i) { i->bmiHeader.biPlanes = 2; }},
        {"compressed", [](BITMAPINFO *i) { i->bmiHeader.biCompression = 3; }},
        {"short header", [](BITMAPINFO *i) { i->bmiHeader.biSize = 12; }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        BITMAPINFO info = header(4, 4, 32);
        r.change(&info);
        bits = &info;
        SetLastError(0);
        EXPECT_EQ(nullptr, CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        EXPECT_EQ(nullptr, bits);
        EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    }
    EXPECT_EQ(nullptr, CreateDIBSection(nullptr, nullptr, DIB_RGB_COLORS, &bits, nullptr, 0));
    EXPECT_TRUE(DeleteObject(bitmap));
    EXPECT_TRUE(DeleteObject(rows24));
}

TEST_F(GdiTest, ABitmapLivesInOneMemoryDeviceContextAtATime)
{
    BITMAPINFO info = header(2, 2, 32);
    void *bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(nullptr, bitmap);
    const HDC first = CreateCompatibleDC(nullptr);
    const HDC second = CreateCompatibleDC(first);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    const HGDIOBJ original = GetCurrentObject(first, OBJ_BITMAP);
    ASSERT_NE(nullptr, original) << "a memory context starts with its one-pixel bitmap";
    EXPECT_EQ(original, SelectObject(first, bitmap));
    EXPECT_EQ(bitmap, GetCurrentObject(first, OBJ_BITMAP));
    EXPECT_EQ(nullptr, SelectObject(second, bitmap)) << "selected in another context already";
    EXPECT_FALSE(DeleteObject(bitmap)) << "still selected";
    const HDC window_dc = GetDC(m_window);
    EXPECT_EQ(nullptr, SelectObject(window_dc, original)) << "a window's context takes no bitmap";
    ReleaseDC(m_window, window_dc);
    EXPECT_EQ(bitmap, SelectObject(first, original));
    EXPECT_EQ(original, SelectObject(second, bitmap));
    EXPECT_TRUE(DeleteDC(second));
    EXPECT_TRUE(DeleteObject(bitmap)) << "its context is gone";
    EXPECT_TRUE(DeleteDC(first));
}

TEST_F(GdiTest, AlphaBlendRecordsTheSourcePixelsAndRefusesWhatWindowsRefuses)
{
    BITMAPINFO info = header(3, 2, 32); // rows from the bottom
    BYTE *bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, (void **)&bits, nullptr, 0);
    ASSERT_NE(nullptr, bitmap);
    for (int i = 0; i < 6; ++i) {
        bits[i * 4 + 0] = (BYTE)(0x10 + i); // blue
        bits[i * 4 + 1] = (BYTE)(0x20 + i);
        bits[i * 4 + 2] = (BYTE)(0x30 + i);
        bits[i * 4 + 3] = (BYTE)(0x80 + i); // alpha
    }
    BITMAPINFO info24 = header(3, 2, 24);
    void *bits24 = nullptr;
    const HBITMAP opaque = CreateDIBSection(nullptr, &info24, DIB_RGB_COLORS, &bits24, nullptr, 0);
    const HDC source = CreateCompatibleDC(nullptr);
    const HDC source24 = CreateCompatibleDC(nullptr);
    const HGDIOBJ original = SelectObject(source, bitmap);
    const HGDIOBJ original24 = SelectObject(source24, opaque);
    const BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};

    const auto drawn = paint([&](HDC dc) { EXPECT_TRUE(AlphaBlend(dc, 10, 20, 6, 2, source, 1, 0, 2, 2, blend)); });
    ASSERT_EQ(1u, drawn.size());
    const ui::drawing &image = drawn[0];
    EXPECT_EQ(ui::drawing::kind::image, image.what);
    EXPECT_EQ(10, image.rect.left);
    EXPECT_EQ(20, image.rect.top);
    EXPECT_EQ(16, image.rect.right);
    EXPECT_EQ(22, image.rect.bottom);
    EXPECT_EQ(1, image.source.left);
    EXPECT_EQ(3, image.source.right);
    EXPECT_EQ(255, image.constant_alpha);
    EXPECT_EQ(AC_SRC_ALPHA, image.alpha_format);
    // The top row is the bitmap's second stored row: pixels 4 and 5, then 1 and 2.
    EXPECT_EQ((std::vector<DWORD>{0x84342414, 0x85352515, 0x81312111, 0x82322212}), image.pixels);

    struct row {
        const char *what;
        HDC source;
        int x, y, width, height;
        BLENDFUNCTION blend;
    };
    const row rows[] = {
        {"source beyond the right", source, 2, 0, 2, 2, blend},
        {"source beyond the bottom", source, 0, 1, 3, 2, blend},
        {"negative origin", source, -1, 0, 2, 2, blend},
        {"negative width", source, 0, 0, -2, 2, blend},
        {"another operation", source, 0, 0, 2, 2, {1, 0, 255, AC_SRC_ALPHA}},
        {"flags", source, 0, 0, 2, 2, {AC_SRC_OVER, 1, 255, AC_SRC_ALPHA}},
        {"per-pixel alpha of 24 bits", source24, 0, 0, 2, 2, blend},
    };
    const auto refused = paint([&](HDC dc) {
        for (const row &r : rows) {
            SCOPED_TRACE(r.what);
            SetLastError(0);
            EXPECT_FALSE(AlphaBlend(dc, 0, 0, 2, 2, r.source, r.x, r.y, r.width, r.height, r.blend));
            EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
        }
        EXPECT_FALSE(AlphaBlend(dc, 0, 0, 2, 2, dc, 0, 0, 2, 2, blend)) << "a window's context holds no bitmap";
        EXPECT_FALSE(AlphaBlend(source, 0, 0, 1, 1, source, 1, 1, 1, 1, blend)) << "the source is the destination";
        const BLENDFUNCTION constant = {AC_SRC_OVER, 0, 128, 0};
        EXPECT_TRUE(AlphaBlend(dc, 0, 0, 3, 2, source24, 0, 0, 3, 2, constant));
    });
    ASSERT_EQ(1u, refused.size()) << "only the constant blend of the 24-bit bitmap is drawn";
    EXPECT_EQ(128, refused[0].constant_alpha);
    EXPECT_EQ(0xFF000000u, refused[0].pixels[0]);

    SelectObject(source, original);
    SelectObject(source24, original24);
    DeleteDC(source);
    DeleteDC(source24);
    DeleteObject(bitmap);
    DeleteObject(opaque);
}

} // namespace
