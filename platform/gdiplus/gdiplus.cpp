// The stand-in's GDI+ flat API: start-up counted per process, bitmaps decoded from streams
// (PNG), their size and format, and LockBits in the straight, premultiplied and 24-bit
// formats with the written pixels taken back at unlock.
#include <gdiplus.h>
#include <platform/machine_state.h>
#include <platform/process.h>
#include "image_codecs.h"
#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>

using namespace Gdiplus;
using namespace platform::gdiplus;

namespace {

struct bitmap_object : GpBitmap {
    decoded_image image;
    PixelFormat format = PixelFormat32bppARGB;
    // The lock in progress: its rectangle, mode, format and the buffer handed out.
    bool locked = false;
    Rect lock_rect;
    UINT lock_flags = 0;
    PixelFormat lock_format = 0;
    std::vector<BYTE> lock_buffer;
    BitmapData lock_data{};
};

struct gdiplus_state {
    std::mutex lock;
    std::map<platform::process *, ULONG> startups;
    std::set<bitmap_object *> bitmaps;
    ULONG_PTR next_token = 1;
};

gdiplus_state &state()
{
    static gdiplus_state instance;
    return instance;
}

void reset()
{
    std::lock_guard<std::mutex> guard(state().lock);
    state().startups.clear();
    for (bitmap_object *bitmap : state().bitmaps) {
        delete bitmap;
    }
    state().bitmaps.clear();
}

platform::machine_hooks g_hooks("gdiplus", reset, reset);

constexpr size_t max_stream_bytes = 64u << 20;
constexpr ULONG read_chunk = 64u << 10;

// Expects the lock.
bool initialized() { return state().startups.count(platform::process_current()) != 0; }

// Expects the lock. The bitmap when it is one of ours.
bitmap_object *find(GpImage *image)
{
    auto *bitmap = static_cast<bitmap_object *>(image);
    return state().bitmaps.count(bitmap) != 0 ? bitmap : nullptr;
}

Status check(GpImage *image, bitmap_object **bitmap)
{
    if (!initialized()) {
        return GdiplusNotInitialized;
    }
    *bitmap = find(image);
    return *bitmap == nullptr ? InvalidParameter : Ok;
}

// One property of an image into *out.
template <typename T, typename Read> Status describe(GpImage *image, T *out, Read read)
{
    std::lock_guard<std::mutex> guard(state().lock);
    bitmap_object *bitmap = nullptr;
    Status status = check(image, &bitmap);
    if (status == Ok && out == nullptr) {
        status = InvalidParameter;
    }
    if (status == Ok) {
        *out = read(*bitmap);
    }
    return status;
}

UINT bytes_per_pixel(PixelFormat format) { return format == PixelFormat24bppRGB ? 3 : 4; }

BYTE premultiply(DWORD c, DWORD a) { return (BYTE)((c * a + 127) / 255); }
BYTE unpremultiply(DWORD c, DWORD a) { return a == 0 ? 0 : (BYTE)std::min<DWORD>(255, (c * 255 + a / 2) / a); }

void store_pixel(DWORD argb, PixelFormat format, BYTE *out)
{
    const DWORD a = argb >> 24;
    DWORD r = (argb >> 16) & 0xFF;
    DWORD g = (argb >> 8) & 0xFF;
    DWORD b = argb & 0xFF;
    if (format == PixelFormat32bppPARGB) {
        r = premultiply(r, a);
        g = premultiply(g, a);
        b = premultiply(b, a);
    }
    out[0] = (BYTE)b;
    out[1] = (BYTE)g;
    out[2] = (BYTE)r;
    if (format != PixelFormat24bppRGB) {
        out[3] = (BYTE)a;
    }
}

DWORD load_pixel(const BYTE *in, PixelFormat format)
{
    if (format == PixelFormat24bppRGB) {
        return 0xFF000000u | ((DWORD)in[2] << 16) | ((DWORD)in[1] << 8) | in[0];
    }
    const DWORD a = in[3];
    DWORD r = in[2];
    DWORD g = in[1];
    DWORD b = in[0];
    if (format == PixelFormat32bppPARGB) {
        r = unpremultiply(r, a);
        g = unpremultiply(g, a);
        b = unpremultiply(b, a);
    }
    return (a << 24) | (r << 16) | (g << 8) | b;
}

} // namespace

Status WINAPI Gdiplus::GdiplusStartup(ULONG_PTR *token, const GdiplusStartupInput *input,
                                      GdiplusStartupOutput *output)
{
    if (token == nullptr || input == nullptr || (input->SuppressBackgroundThread && output == nullptr)) {
        return InvalidParameter;
    }
    if (input->GdiplusVersion < 1 || input->GdiplusVersion > 3) {
        return UnsupportedGdiplusVersion;
    }
    if (output != nullptr) {
        *output = GdiplusStartupOutput{};
    }
    std::lock_guard<std::mutex> guard(state().lock);
    ++state().startups[platform::process_current()];
    *token = state().next_token++;
    return Ok;
}

VOID WINAPI Gdiplus::GdiplusShutdown(ULONG_PTR token)
{
    std::lock_guard<std::mutex> guard(state().lock);
    auto it = state().startups.find(platform::process_current());
    if (token == 0 || it == state().startups.end()) {
        return;
    }
    if (--it->second == 0) {
        state().startups.erase(it);
    }
}

// Reads the stream from its position to its end and decodes what it holds.
GpStatus WINAPI Gdiplus::DllExports::GdipCreateBitmapFromStream(IStream *stream, GpBitmap **bitmap)
{
    if (bitmap != nullptr) {
        *bitmap = nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(state().lock);
        if (!initialized()) {
            return GdiplusNotInitialized;
        }
    }
    if (stream == nullptr || bitmap == nullptr) {
        return InvalidParameter;
    }
    std::vector<BYTE> bytes;
    for (;;) {
        const size_t used = bytes.size();
        bytes.resize(used + read_chunk);
        ULONG read = 0;
        const HRESULT hr = stream->Read(bytes.data() + used, read_chunk, &read);
        bytes.resize(used + std::min(read, read_chunk));
        if (FAILED(hr)) {
            return Win32Error;
        }
        if (read < read_chunk) {
            break;
        }
        if (bytes.size() > max_stream_bytes) {
            return OutOfMemory;
        }
    }
    auto object = std::make_unique<bitmap_object>();
    switch (decode_png(bytes.data(), bytes.size(), &object->image)) {
    case png_result::ok:
        break;
    case png_result::not_png:
        return UnknownImageFormat;
    case png_result::unsupported:
        return NotImplemented;
    case png_result::too_large:
        return OutOfMemory;
    case png_result::corrupt:
        return InvalidParameter;
    }
    object->format = object->image.has_alpha ? PixelFormat32bppARGB : PixelFormat24bppRGB;
    std::lock_guard<std::mutex> guard(state().lock);
    *bitmap = object.get();
    state().bitmaps.insert(object.release());
    return Ok;
}

GpStatus WINAPI Gdiplus::DllExports::GdipDisposeImage(GpImage *image)
{
    std::lock_guard<std::mutex> guard(state().lock);
    bitmap_object *bitmap = nullptr;
    const Status status = check(image, &bitmap);
    if (status == Ok) {
        state().bitmaps.erase(bitmap);
        delete bitmap;
    }
    return status;
}

GpStatus WINAPI Gdiplus::DllExports::GdipGetImageWidth(GpImage *image, UINT *width)
{
    return describe(image, width, [](const bitmap_object &b) { return b.image.width; });
}

GpStatus WINAPI Gdiplus::DllExports::GdipGetImageHeight(GpImage *image, UINT *height)
{
    return describe(image, height, [](const bitmap_object &b) { return b.image.height; });
}

GpStatus WINAPI Gdiplus::DllExports::GdipGetImagePixelFormat(GpImage *image, PixelFormat *format)
{
    return describe(image, format, [](const bitmap_object &b) { return b.format; });
}

// A null rectangle locks the whole bitmap. With ImageLockModeUserInputBuf the caller's Scan0
// and Stride are used instead of a buffer of the bitmap's own.
GpStatus WINAPI Gdiplus::DllExports::GdipBitmapLockBits(GpBitmap *image, const GpRect *rect, UINT flags,
                                                        PixelFormat format, BitmapData *data)
{
    std::lock_guard<std::mutex> guard(state().lock);
    bitmap_object *bitmap = nullptr;
    const Status status = check(image, &bitmap);
    if (status != Ok) {
        return status;
    }
    const UINT mode = flags & (ImageLockModeRead | ImageLockModeWrite);
    const Rect whole(0, 0, (INT)bitmap->image.width, (INT)bitmap->image.height);
    const Rect area = rect != nullptr ? *rect : whole;
    if (data == nullptr || mode == 0 || (flags & ~(UINT)(mode | ImageLockModeUserInputBuf)) != 0 || area.X < 0 ||
        area.Y < 0 || area.Width <= 0 || area.Height <= 0 || area.Width > whole.Width - area.X ||
        area.Height > whole.Height - area.Y) {
        return InvalidParameter;
    }
    if (format != PixelFormat32bppARGB && format != PixelFormat32bppPARGB && format != PixelFormat24bppRGB) {
        return NotImplemented;
    }
    if (bitmap->locked) {
        return WrongState;
    }
    const UINT pixel_bytes = bytes_per_pixel(format);
    BYTE *buffer = nullptr;
    INT stride = 0;
    if ((flags & ImageLockModeUserInputBuf) != 0) {
        if (data->Scan0 == nullptr || (UINT)std::abs(data->Stride) < (UINT)area.Width * pixel_bytes) {
            return InvalidParameter;
        }
        buffer = static_cast<BYTE *>(data->Scan0);
        stride = data->Stride;
    } else {
        stride = (INT)((((UINT)area.Width * pixel_bytes) + 3) & ~3u);
        bitmap->lock_buffer.assign((size_t)stride * (size_t)area.Height, 0);
        buffer = bitmap->lock_buffer.data();
    }
    if ((mode & ImageLockModeRead) != 0) {
        for (INT y = 0; y < area.Height; ++y) {
            BYTE *row = buffer + (ptrdiff_t)y * stride;
            for (INT x = 0; x < area.Width; ++x) {
                const DWORD argb = bitmap->image.argb[(size_t)(area.Y + y) * bitmap->image.width + (size_t)(area.X + x)];
                store_pixel(argb, format, row + (size_t)x * pixel_bytes);
            }
        }
    }
    data->Width = (UINT)area.Width;
    data->Height = (UINT)area.Height;
    data->Stride = stride;
    data->PixelFormat = format;
    data->Scan0 = buffer;
    data->Reserved = (UINT_PTR)bitmap;
    bitmap->locked = true;
    bitmap->lock_rect = area;
    bitmap->lock_flags = flags;
    bitmap->lock_format = format;
    bitmap->lock_data = *data;
    return Ok;
}

// A write lock takes its pixels back into the bitmap.
GpStatus WINAPI Gdiplus::DllExports::GdipBitmapUnlockBits(GpBitmap *image, BitmapData *data)
{
    std::lock_guard<std::mutex> guard(state().lock);
    bitmap_object *bitmap = nullptr;
    const Status status = check(image, &bitmap);
    if (status != Ok) {
        return status;
    }
    if (!bitmap->locked) {
        return WrongState;
    }
    if (data == nullptr || data->Scan0 != bitmap->lock_data.Scan0 || data->Reserved != bitmap->lock_data.Reserved) {
        return InvalidParameter;
    }
    if ((bitmap->lock_flags & ImageLockModeWrite) != 0) {
        const UINT pixel_bytes = bytes_per_pixel(bitmap->lock_format);
        const Rect &area = bitmap->lock_rect;
        const auto *buffer = static_cast<const BYTE *>(bitmap->lock_data.Scan0);
        for (INT y = 0; y < area.Height; ++y) {
            const BYTE *row = buffer + (ptrdiff_t)y * bitmap->lock_data.Stride;
            for (INT x = 0; x < area.Width; ++x) {
                bitmap->image.argb[(size_t)(area.Y + y) * bitmap->image.width + (size_t)(area.X + x)] =
                    load_pixel(row + (size_t)x * pixel_bytes, bitmap->lock_format);
            }
        }
    }
    bitmap->locked = false;
    bitmap->lock_buffer.clear();
    return Ok;
}
