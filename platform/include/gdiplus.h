// GDI+: start-up and shutdown, and bitmaps decoded from streams whose pixels are read and
// written through LockBits. The classes are thin wrappers over the flat API (namespace
// DllExports) that the platform implements; the stand-in decodes PNG images of 8 bits per
// sample and reports NotImplemented for what else a real codec would read.
#pragma once
#include <windows.h>
#include <objidl.h>

namespace Gdiplus {

typedef float REAL;
typedef DWORD ARGB;
typedef INT PixelFormat;

enum Status {
    Ok = 0,
    GenericError = 1,
    InvalidParameter = 2,
    OutOfMemory = 3,
    ObjectBusy = 4,
    InsufficientBuffer = 5,
    NotImplemented = 6,
    Win32Error = 7,
    WrongState = 8,
    Aborted = 9,
    FileNotFound = 10,
    ValueOverflow = 11,
    AccessDenied = 12,
    UnknownImageFormat = 13,
    FontFamilyNotFound = 14,
    FontStyleNotFound = 15,
    NotTrueTypeFont = 16,
    UnsupportedGdiplusVersion = 17,
    GdiplusNotInitialized = 18,
    PropertyNotFound = 19,
    PropertyNotSupported = 20,
    ProfileNotFound = 21,
};
typedef Status GpStatus;

#define PixelFormatIndexed 0x00010000
#define PixelFormatGDI 0x00020000
#define PixelFormatAlpha 0x00040000
#define PixelFormatPAlpha 0x00080000
#define PixelFormatExtended 0x00100000
#define PixelFormatCanonical 0x00200000
#define PixelFormatUndefined 0
#define PixelFormat24bppRGB (8 | (24 << 8) | PixelFormatGDI)
#define PixelFormat32bppRGB (9 | (32 << 8) | PixelFormatGDI)
#define PixelFormat32bppARGB (10 | (32 << 8) | PixelFormatAlpha | PixelFormatGDI | PixelFormatCanonical)
#define PixelFormat32bppPARGB (11 | (32 << 8) | PixelFormatAlpha | PixelFormatPAlpha | PixelFormatGDI)

enum ImageLockMode {
    ImageLockModeRead = 0x0001,
    ImageLockModeWrite = 0x0002,
    ImageLockModeUserInputBuf = 0x0004,
};

typedef VOID(WINAPI *DebugEventProc)(INT level, CHAR *message);
typedef Status(WINAPI *NotificationHookProc)(ULONG_PTR *token);
typedef VOID(WINAPI *NotificationUnhookProc)(ULONG_PTR token);

struct GdiplusStartupInput {
    UINT32 GdiplusVersion;
    DebugEventProc DebugEventCallback;
    BOOL SuppressBackgroundThread;
    BOOL SuppressExternalCodecs;

    GdiplusStartupInput(DebugEventProc debugEventCallback = nullptr, BOOL suppressBackgroundThread = FALSE,
                        BOOL suppressExternalCodecs = FALSE)
        : GdiplusVersion(1), DebugEventCallback(debugEventCallback),
          SuppressBackgroundThread(suppressBackgroundThread), SuppressExternalCodecs(suppressExternalCodecs)
    {
    }
};

struct GdiplusStartupOutput {
    NotificationHookProc NotificationHook;
    NotificationUnhookProc NotificationUnhook;
};

class Rect {
public:
    Rect() : X(0), Y(0), Width(0), Height(0) {}
    Rect(INT x, INT y, INT width, INT height) : X(x), Y(y), Width(width), Height(height) {}
    INT X;
    INT Y;
    INT Width;
    INT Height;
};
typedef Rect GpRect;

class BitmapData {
public:
    UINT Width;
    UINT Height;
    INT Stride;
    ::Gdiplus::PixelFormat PixelFormat;
    VOID *Scan0;
    UINT_PTR Reserved;
};

class GpImage {};
class GpBitmap : public GpImage {};

extern "C" {

// Version 1 to 3; one start-up per shutdown, counted per process. A background thread that is
// suppressed needs an output for its hooks.
Status WINAPI GdiplusStartup(ULONG_PTR *token, const GdiplusStartupInput *input, GdiplusStartupOutput *output);
VOID WINAPI GdiplusShutdown(ULONG_PTR token);

} // extern "C"

namespace DllExports {
extern "C" {

// Every call fails with GdiplusNotInitialized while the process has no start-up, and with
// InvalidParameter for an image it did not make.
GpStatus WINAPI GdipCreateBitmapFromStream(IStream *stream, GpBitmap **bitmap);
GpStatus WINAPI GdipDisposeImage(GpImage *image);
GpStatus WINAPI GdipGetImageWidth(GpImage *image, UINT *width);
GpStatus WINAPI GdipGetImageHeight(GpImage *image, UINT *height);
GpStatus WINAPI GdipGetImagePixelFormat(GpImage *image, PixelFormat *format);
// Formats 32bppARGB, 32bppPARGB and 24bppRGB; one lock at a time (WrongState for a second).
GpStatus WINAPI GdipBitmapLockBits(GpBitmap *bitmap, const GpRect *rect, UINT flags, PixelFormat format,
                                   BitmapData *lockedBitmapData);
GpStatus WINAPI GdipBitmapUnlockBits(GpBitmap *bitmap, BitmapData *lockedBitmapData);

} // extern "C"
} // namespace DllExports

class Image {
public:
    virtual ~Image() { DllExports::GdipDisposeImage(nativeImage); }
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;

    UINT GetWidth()
    {
        UINT width = 0;
        SetStatus(DllExports::GdipGetImageWidth(nativeImage, &width));
        return width;
    }
    UINT GetHeight()
    {
        UINT height = 0;
        SetStatus(DllExports::GdipGetImageHeight(nativeImage, &height));
        return height;
    }
    PixelFormat GetPixelFormat()
    {
        PixelFormat format = PixelFormatUndefined;
        SetStatus(DllExports::GdipGetImagePixelFormat(nativeImage, &format));
        return format;
    }
    // The first failure since the last call, then Ok again.
    Status GetLastStatus()
    {
        const Status last = lastResult;
        lastResult = Ok;
        return last;
    }

protected:
    Image() : nativeImage(nullptr), lastResult(Ok) {}
    Status SetStatus(Status status)
    {
        if (status != Ok && lastResult == Ok) {
            lastResult = status;
        }
        return status;
    }

    GpImage *nativeImage;
    Status lastResult;
};

class Bitmap : public Image {
public:
    explicit Bitmap(IStream *stream, BOOL useEmbeddedColorManagement = FALSE)
    {
        UNREFERENCED_PARAMETER(useEmbeddedColorManagement);
        GpBitmap *bitmap = nullptr;
        lastResult = DllExports::GdipCreateBitmapFromStream(stream, &bitmap);
        nativeImage = bitmap;
    }
    // Always an object; its GetLastStatus tells whether the stream was decoded.
    static Bitmap *FromStream(IStream *stream, BOOL useEmbeddedColorManagement = FALSE)
    {
        return new Bitmap(stream, useEmbeddedColorManagement);
    }

    Status LockBits(const Rect *rect, UINT flags, PixelFormat format, BitmapData *lockedBitmapData)
    {
        return SetStatus(
            DllExports::GdipBitmapLockBits(static_cast<GpBitmap *>(nativeImage), rect, flags, format, lockedBitmapData));
    }
    Status UnlockBits(BitmapData *lockedBitmapData)
    {
        return SetStatus(DllExports::GdipBitmapUnlockBits(static_cast<GpBitmap *>(nativeImage), lockedBitmapData));
    }
};

} // namespace Gdiplus
