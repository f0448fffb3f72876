// The headless GDI: fonts, brushes and device-independent bitmaps, stock objects, and device
// contexts that keep their state (colours, mode, selected font, brush and bitmap, saved
// states) and record what is drawn into them instead of drawing it.
#include "controls.h"
#include <platform/machine_state.h>
#include <platform/verifier.h>
#include <cstring>

using namespace platform;
using namespace platform::user32;

namespace {

struct gdi_object {
    DWORD type = 0; // OBJ_FONT, OBJ_BRUSH or OBJ_BITMAP
    LOGFONTW font{};
    COLORREF color = 0;
    bool stock = false;
    // A bitmap: its header as created (a negative height stores rows from the top) and its
    // pixels, rows padded to four bytes.
    BITMAPINFOHEADER header{};
    DWORD stride = 0;
    std::vector<BYTE> bits;
};

struct dc_state {
    COLORREF text_color = 0;
    COLORREF back_color = 0xFFFFFF;
    int back_mode = OPAQUE;
    HGDIOBJ font = nullptr;
    HGDIOBJ brush = nullptr;
    HGDIOBJ bitmap = nullptr; // memory device contexts only
};

struct device_context {
    HWND hwnd = nullptr;
    bool memory = false;
    dc_state state;
    dc_state initial;
    std::vector<dc_state> saved;
    std::vector<ui::drawing> drawings;
};

struct gdi_table {
    std::mutex lock;
    std::map<ULONG_PTR, gdi_object> objects;
    std::map<ULONG_PTR, device_context> dcs;
    // Windows whose device contexts hand their drawings over when they are released.
    std::map<HWND, std::vector<ui::drawing>> captures;
    ULONG_PTR next_object = 0x61000;
    ULONG_PTR next_dc = 0x71000;
};

gdi_table &table()
{
    static gdi_table instance;
    return instance;
}

constexpr ULONG_PTR stock_base = 0x60000;
constexpr int stock_count = 20;
// The one-pixel monochrome bitmap a new memory device context holds.
constexpr ULONG_PTR default_bitmap = stock_base + 0x7F0;

HGDIOBJ stock_handle(int index) { return (HGDIOBJ)(stock_base + (ULONG_PTR)index * 4); }

gdi_object make_font(LONG height, LONG weight, const wchar_t *face)
{
    gdi_object o;
    o.type = OBJ_FONT;
    o.stock = true;
    o.font.lfHeight = height;
    o.font.lfWeight = weight;
    std::wcsncpy(o.font.lfFaceName, face, LF_FACESIZE - 1);
    return o;
}

gdi_object make_brush(COLORREF color, bool stock)
{
    gdi_object o;
    o.type = OBJ_BRUSH;
    o.color = color;
    o.stock = stock;
    return o;
}

void reset()
{
    gdi_table &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    t.objects.clear();
    t.dcs.clear();
    t.captures.clear();
    t.next_object = 0x61000;
    t.next_dc = 0x71000;
    t.objects[(ULONG_PTR)stock_handle(WHITE_BRUSH)] = make_brush(RGB(255, 255, 255), true);
    t.objects[(ULONG_PTR)stock_handle(BLACK_BRUSH)] = make_brush(RGB(0, 0, 0), true);
    t.objects[(ULONG_PTR)stock_handle(SYSTEM_FONT)] = make_font(16, FW_BOLD, L"System");
    t.objects[(ULONG_PTR)stock_handle(DEFAULT_GUI_FONT)] = make_font(-11, FW_NORMAL, L"MS Shell Dlg");
    gdi_object one_pixel;
    one_pixel.type = OBJ_BITMAP;
    one_pixel.stock = true;
    one_pixel.header = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), 1, 1, 1, 1, BI_RGB, 0, 0, 0, 0, 0};
    one_pixel.stride = 4;
    one_pixel.bits.assign(4, 0);
    t.objects[default_bitmap] = one_pixel;
}

machine_hooks g_hooks("user32 gdi", reset, reset);

// Both expect the lock.
device_context *find_dc(HDC hdc)
{
    auto it = table().dcs.find((ULONG_PTR)hdc);
    return it == table().dcs.end() ? nullptr : &it->second;
}

gdi_object *find_object(HGDIOBJ h)
{
    auto it = table().objects.find((ULONG_PTR)h);
    return it == table().objects.end() ? nullptr : &it->second;
}

bool same_state(const dc_state &a, const dc_state &b)
{
    return a.text_color == b.text_color && a.back_color == b.back_color && a.back_mode == b.back_mode &&
           a.font == b.font && a.brush == b.brush && a.bitmap == b.bitmap;
}

// Expects the lock. True when a device context other than except holds the object.
bool selected_elsewhere(HGDIOBJ object, const device_context *except)
{
    for (const auto &entry : table().dcs) {
        const dc_state &state = entry.second.state;
        if (&entry.second != except && (state.font == object || state.brush == object || state.bitmap == object)) {
            return true;
        }
    }
    return false;
}

// A pixel of a 24 or 32 bit bitmap as 0xAARRGGBB (24-bit pixels are opaque).
DWORD pixel_at(const gdi_object &bitmap, LONG x, LONG y)
{
    const LONG height = bitmap.header.biHeight < 0 ? -bitmap.header.biHeight : bitmap.header.biHeight;
    const LONG row = bitmap.header.biHeight < 0 ? y : height - 1 - y;
    const BYTE *p = bitmap.bits.data() + (size_t)row * bitmap.stride + (size_t)x * (bitmap.header.biBitCount / 8);
    const DWORD alpha = bitmap.header.biBitCount == 32 ? p[3] : 0xFF;
    return (alpha << 24) | ((DWORD)p[2] << 16) | ((DWORD)p[1] << 8) | p[0];
}

HGDIOBJ add_object(const gdi_object &o)
{
    gdi_table &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    const ULONG_PTR handle = t.next_object;
    t.next_object += 4;
    t.objects[handle] = o;
    return (HGDIOBJ)handle;
}

} // namespace

namespace platform::user32 {

HDC dc_create(HWND hwnd)
{
    gdi_table &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    const ULONG_PTR handle = t.next_dc;
    t.next_dc += 4;
    device_context &dc = t.dcs[handle];
    dc.hwnd = hwnd;
    dc.state.text_color = GetSysColor(COLOR_WINDOWTEXT);
    dc.state.back_color = GetSysColor(COLOR_WINDOW);
    dc.state.font = stock_handle(DEFAULT_GUI_FONT);
    dc.state.brush = stock_handle(WHITE_BRUSH);
    dc.initial = dc.state;
    return (HDC)handle;
}

BOOL dc_destroy(HDC hdc)
{
    std::lock_guard<std::mutex> guard(table().lock);
    device_context *dc = find_dc(hdc);
    if (dc == nullptr) {
        return FALSE;
    }
    auto capture = dc->hwnd != nullptr ? table().captures.find(dc->hwnd) : table().captures.end();
    if (capture != table().captures.end()) {
        capture->second.insert(capture->second.end(), dc->drawings.begin(), dc->drawings.end());
    }
    table().dcs.erase((ULONG_PTR)hdc);
    return TRUE;
}

void dc_capture_begin(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(table().lock);
    table().captures[hwnd].clear();
}

std::vector<ui::drawing> dc_capture_end(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(table().lock);
    std::vector<ui::drawing> drawings;
    auto capture = table().captures.find(hwnd);
    if (capture != table().captures.end()) {
        drawings.swap(capture->second);
        table().captures.erase(capture);
    }
    return drawings;
}

bool dc_exists(HDC hdc)
{
    std::lock_guard<std::mutex> guard(table().lock);
    return find_dc(hdc) != nullptr;
}

void dc_mark_initial(HDC hdc)
{
    std::lock_guard<std::mutex> guard(table().lock);
    if (device_context *dc = find_dc(hdc)) {
        dc->initial = dc->state;
    }
}

bool dc_is_restored(HDC hdc)
{
    std::lock_guard<std::mutex> guard(table().lock);
    device_context *dc = find_dc(hdc);
    return dc != nullptr && same_state(dc->state, dc->initial);
}

std::vector<ui::drawing> dc_take_drawings(HDC hdc)
{
    std::lock_guard<std::mutex> guard(table().lock);
    device_context *dc = find_dc(hdc);
    std::vector<ui::drawing> result;
    if (dc != nullptr) {
        result.swap(dc->drawings);
    }
    return result;
}

void dc_record(HDC hdc, ui::drawing d)
{
    std::lock_guard<std::mutex> guard(table().lock);
    if (device_context *dc = find_dc(hdc)) {
        dc->drawings.push_back(std::move(d));
    }
}

void dc_fill_state(HDC hdc, ui::drawing *d)
{
    std::lock_guard<std::mutex> guard(table().lock);
    device_context *dc = find_dc(hdc);
    if (dc == nullptr) {
        return;
    }
    d->text_color = dc->state.text_color;
    d->back_color = dc->state.back_color;
    d->back_mode = dc->state.back_mode;
    const gdi_object *font = find_object(dc->state.font);
    d->font_weight = font != nullptr ? font->font.lfWeight : FW_NORMAL;
}

HBRUSH sys_color_brush(int index)
{
    gdi_table &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    const HGDIOBJ handle = (HGDIOBJ)(stock_base + 0x800 + (ULONG_PTR)(index & 0xFF) * 4);
    if (find_object(handle) == nullptr) {
        t.objects[(ULONG_PTR)handle] = make_brush(GetSysColor(index), true);
    }
    return (HBRUSH)handle;
}

COLORREF brush_color(HBRUSH brush, bool *known)
{
    std::lock_guard<std::mutex> guard(table().lock);
    const gdi_object *o = find_object(brush);
    *known = o != nullptr && o->type == OBJ_BRUSH;
    return *known ? o->color : 0;
}

} // namespace platform::user32

extern "C" HFONT WINAPI CreateFontIndirectW(const LOGFONTW *lplf)
{
    if (lplf == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    gdi_object o;
    o.type = OBJ_FONT;
    o.font = *lplf;
    o.font.lfFaceName[LF_FACESIZE - 1] = L'\0';
    return (HFONT)add_object(o);
}

extern "C" HBRUSH WINAPI CreateSolidBrush(COLORREF color) { return (HBRUSH)add_object(make_brush(color, false)); }

extern "C" HGDIOBJ WINAPI GetStockObject(int i)
{
    std::lock_guard<std::mutex> guard(table().lock);
    if (i < 0 || i >= stock_count || find_object(stock_handle(i)) == nullptr) {
        return nullptr;
    }
    return stock_handle(i);
}

// Copies up to c bytes of the object's description (LOGFONTW for a font; for a bitmap a
// DIBSECTION when c is its size, else a BITMAP); with a null pv, returns the size it needs.
extern "C" int WINAPI GetObjectW(HANDLE h, int c, LPVOID pv)
{
    std::lock_guard<std::mutex> guard(table().lock);
    const gdi_object *o = find_object(h);
    if (o == nullptr || (o->type != OBJ_FONT && o->type != OBJ_BITMAP)) {
        set_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (o->type == OBJ_FONT) {
        if (pv == nullptr) {
            return (int)sizeof(LOGFONTW);
        }
        const size_t size = std::min((size_t)std::max(c, 0), sizeof(LOGFONTW));
        std::memcpy(pv, &o->font, size);
        return (int)size;
    }
    DIBSECTION dib{};
    dib.dsBm.bmWidth = o->header.biWidth;
    dib.dsBm.bmHeight = o->header.biHeight < 0 ? -o->header.biHeight : o->header.biHeight;
    dib.dsBm.bmWidthBytes = (LONG)o->stride;
    dib.dsBm.bmPlanes = 1;
    dib.dsBm.bmBitsPixel = o->header.biBitCount;
    dib.dsBm.bmBits = o->stock ? nullptr : const_cast<BYTE *>(o->bits.data());
    dib.dsBmih = o->header;
    if (pv == nullptr) {
        return (int)sizeof(DIBSECTION);
    }
    if (c < (int)sizeof(BITMAP)) {
        set_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t size = c == (int)sizeof(DIBSECTION) ? sizeof(DIBSECTION) : sizeof(BITMAP);
    std::memcpy(pv, &dib, size);
    return (int)size;
}

// A bitmap of 24 or 32 bits per pixel without compression, its pixels zeroed and owned by the
// bitmap; the stand-in keeps no file mappings, so hSection must be null.
extern "C" HBITMAP WINAPI CreateDIBSection(HDC hdc, const BITMAPINFO *pbmi, UINT usage, VOID **ppvBits,
                                           HANDLE hSection, DWORD offset)
{
    if (ppvBits != nullptr) {
        *ppvBits = nullptr;
    }
    constexpr LONG max_side = 16384;
    const BITMAPINFOHEADER *h = pbmi != nullptr ? &pbmi->bmiHeader : nullptr;
    if (h == nullptr || h->biSize < sizeof(BITMAPINFOHEADER) || h->biWidth <= 0 || h->biWidth > max_side ||
        h->biHeight == 0 || h->biHeight < -max_side || h->biHeight > max_side || h->biPlanes != 1 ||
        (h->biBitCount != 24 && h->biBitCount != 32) || h->biCompression != BI_RGB || usage != DIB_RGB_COLORS ||
        hSection != nullptr || offset != 0) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    gdi_object o;
    o.type = OBJ_BITMAP;
    o.header = *h;
    o.header.biSize = sizeof(BITMAPINFOHEADER);
    o.stride = (((DWORD)h->biWidth * h->biBitCount + 31) / 32) * 4;
    o.bits.assign((size_t)o.stride * (size_t)(h->biHeight < 0 ? -h->biHeight : h->biHeight), 0);
    o.header.biSizeImage = (DWORD)o.bits.size();
    const HGDIOBJ handle = add_object(o);
    if (ppvBits != nullptr) {
        std::lock_guard<std::mutex> guard(table().lock);
        *ppvBits = find_object(handle)->bits.data();
    }
    return (HBITMAP)handle;
}

// Stock objects are never deleted. An object still selected into a device context is refused,
// as deleting it would leave the context with a dangling selection.
extern "C" BOOL WINAPI DeleteObject(HGDIOBJ ho)
{
    std::lock_guard<std::mutex> guard(table().lock);
    gdi_object *o = find_object(ho);
    if (o == nullptr) {
        set_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (o->stock) {
        return TRUE;
    }
    if (selected_elsewhere(ho, nullptr)) {
        return FALSE;
    }
    table().objects.erase((ULONG_PTR)ho);
    return TRUE;
}

// A bitmap goes only into a memory device context, and into one at a time; the call then
// returns the bitmap it replaces.
extern "C" HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ h)
{
    std::lock_guard<std::mutex> guard(table().lock);
    device_context *dc = find_dc(hdc);
    const gdi_object *o = find_object(h);
    if (dc == nullptr || o == nullptr) {
        set_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (o->type == OBJ_BITMAP && (!dc->memory || (!o->stock && selected_elsewhere(h, dc)))) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HGDIOBJ &slot = o->type == OBJ_FONT ? dc->state.font : o->type == OBJ_BRUSH ? dc->state.brush : dc->state.bitmap;
    HGDIOBJ previous = slot;
    slot = h;
    return previous;
}

extern "C" HGDIOBJ WINAPI GetCurrentObject(HDC hdc, UINT type)
{
    std::lock_guard<std::mutex> guard(table().lock);
    device_context *dc = find_dc(hdc);
    if (dc == nullptr) {
        return nullptr;
    }
    return type == OBJ_FONT     ? dc->state.font
           : type == OBJ_BRUSH  ? dc->state.brush
           : type == OBJ_BITMAP ? dc->state.bitmap
                                : nullptr;
}

#define DC_FIELD_SETTER(name, type, field, failure)                                                                \
    extern "C" type WINAPI name(HDC hdc, type value)                                                               \
    {                                                                                                              \
        std::lock_guard<std::mutex> guard(table().lock);                                                           \
        device_context *dc = find_dc(hdc);                                                                         \
        if (dc == nullptr) {                                                                                       \
            return failure;                                                                                        \
        }                                                                                                          \
        const type previous = dc->state.field;                                                                     \
        dc->state.field = value;                                                                                   \
        return previous;                                                                                           \
    }
#define DC_FIELD_GETTER(name, type, field, failure)                                                                \
    extern "C" type WINAPI name(HDC hdc)                                                                           \
    {                                                                                                              \
        std::lock_guard<std::mutex> guard(table().lock);                                                           \
        device_context *dc = find_dc(hdc);                                                                         \
        return dc == nullptr ? failure : dc->state.field;                                                          \
    }

DC_FIELD_SETTER(SetTextColor, COLORREF, text_color, CLR_INVALID)
DC_FIELD_GETTER(GetTextColor, COLORREF, text_color, CLR_INVALID)
DC_FIELD_SETTER(SetBkColor, COLORREF, back_color, CLR_INVALID)
DC_FIELD_GETTER(GetBkColor, COLORREF, back_color, CLR_INVALID)
DC_FIELD_SETTER(SetBkMode, int, back_mode, 0)
DC_FIELD_GETTER(GetBkMode, int, back_mode, 0)

// Returns the saved state's number (1 for the first), 0 for an unknown context.
extern "C" int WINAPI SaveDC(HDC hdc)
{
    std::lock_guard<std::mutex> guard(table().lock);
    device_context *dc = find_dc(hdc);
    if (dc == nullptr) {
        return 0;
    }
    dc->saved.push_back(dc->state);
    return (int)dc->saved.size();
}

// A positive nSavedDC restores that state; a negative one counts back from the last.
extern "C" BOOL WINAPI RestoreDC(HDC hdc, int nSavedDC)
{
    std::lock_guard<std::mutex> guard(table().lock);
    device_context *dc = find_dc(hdc);
    if (dc == nullptr || nSavedDC == 0) {
        return FALSE;
    }
    const int count = (int)dc->saved.size();
    const int index = nSavedDC > 0 ? nSavedDC - 1 : count + nSavedDC;
    if (index < 0 || index >= count) {
        return FALSE;
    }
    dc->state = dc->saved[(size_t)index];
    dc->saved.resize((size_t)index);
    return TRUE;
}

extern "C" BOOL WINAPI ExtTextOutW(HDC hdc, int x, int y, UINT options, const RECT *lprect, LPCWSTR lpString, UINT c,
                                   const INT *lpDx)
{
    if (!dc_exists(hdc)) {
        return FALSE;
    }
    if ((options & ETO_OPAQUE) != 0 && lprect != nullptr) {
        ui::drawing fill;
        fill.what = ui::drawing::kind::fill;
        fill.rect = *lprect;
        dc_fill_state(hdc, &fill);
        dc_record(hdc, fill);
    }
    if (lpString != nullptr && c > 0) {
        ui::drawing text;
        text.what = ui::drawing::kind::text;
        text.rect = RECT{x, y, x, y};
        text.text.assign(lpString, c);
        dc_fill_state(hdc, &text);
        dc_record(hdc, text);
    }
    return TRUE;
}

extern "C" BOOL WINAPI TextOutW(HDC hdc, int x, int y, LPCWSTR lpString, int c)
{
    return c >= 0 && ExtTextOutW(hdc, x, y, 0, nullptr, lpString, (UINT)c, nullptr);
}

// A memory device context, holding the one-pixel default bitmap until another is selected.
extern "C" HDC WINAPI CreateCompatibleDC(HDC hdc)
{
    if (hdc != nullptr && !dc_exists(hdc)) {
        set_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const HDC memory = dc_create(nullptr);
    std::lock_guard<std::mutex> guard(table().lock);
    device_context *dc = find_dc(memory);
    dc->memory = true;
    dc->state.bitmap = (HGDIOBJ)default_bitmap;
    dc->initial = dc->state;
    return memory;
}

extern "C" BOOL WINAPI DeleteDC(HDC hdc) { return dc_destroy(hdc); }

// Records the blend with the source pixels it reads. As Windows does, it refuses a source
// rectangle that is not wholly inside the source bitmap, negative sizes, an operation other
// than AC_SRC_OVER, non-zero flags, per-pixel alpha from a bitmap without 32 bits per pixel,
// and a source that is the destination.
extern "C" BOOL WINAPI AlphaBlend(HDC hdcDest, int xoriginDest, int yoriginDest, int wDest, int hDest, HDC hdcSrc,
                                  int xoriginSrc, int yoriginSrc, int wSrc, int hSrc, BLENDFUNCTION ftn)
{
    ui::drawing d;
    {
        std::lock_guard<std::mutex> guard(table().lock);
        device_context *dest = find_dc(hdcDest);
        device_context *src = find_dc(hdcSrc);
        const gdi_object *bitmap = src != nullptr ? find_object(src->state.bitmap) : nullptr;
        const LONG width = bitmap != nullptr ? bitmap->header.biWidth : 0;
        const LONG height =
            bitmap != nullptr ? (bitmap->header.biHeight < 0 ? -bitmap->header.biHeight : bitmap->header.biHeight) : 0;
        const bool depth_ok = bitmap != nullptr && (bitmap->header.biBitCount == 32 ||
                                                    (bitmap->header.biBitCount == 24 && ftn.AlphaFormat == 0));
        if (dest == nullptr || bitmap == nullptr || dest == src || wDest < 0 || hDest < 0 || wSrc < 0 || hSrc < 0 ||
            ftn.BlendOp != AC_SRC_OVER || ftn.BlendFlags != 0 || (ftn.AlphaFormat & ~AC_SRC_ALPHA) != 0 ||
            !depth_ok || xoriginSrc < 0 || yoriginSrc < 0 || (LONG)xoriginSrc + wSrc > width ||
            (LONG)yoriginSrc + hSrc > height) {
            set_error(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        d.what = ui::drawing::kind::image;
        d.rect = RECT{xoriginDest, yoriginDest, xoriginDest + wDest, yoriginDest + hDest};
        d.source = RECT{xoriginSrc, yoriginSrc, xoriginSrc + wSrc, yoriginSrc + hSrc};
        d.constant_alpha = ftn.SourceConstantAlpha;
        d.alpha_format = ftn.AlphaFormat;
        d.pixels.reserve((size_t)wSrc * (size_t)hSrc);
        for (int y = yoriginSrc; y < yoriginSrc + hSrc; ++y) {
            for (int x = xoriginSrc; x < xoriginSrc + wSrc; ++x) {
                d.pixels.push_back(pixel_at(*bitmap, x, y));
            }
        }
    }
    dc_fill_state(hdcDest, &d);
    dc_record(hdcDest, d);
    return TRUE;
}
