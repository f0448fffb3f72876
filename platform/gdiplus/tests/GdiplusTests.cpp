// GDI+ bitmaps from streams: start-up and what works without it, decoding the test pictures
// (every row filter, image data split over chunks, compressed by a common deflater) to the
// pixels they were drawn with, and LockBits in each format, over parts, for writing, into the
// caller's buffer, and from each wrong state.
#include <gtest/gtest.h>
#include <gdiplus.h>
#include <shlwapi.h>
#include <platform/machine_state.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

std::vector<BYTE> image_file(const char *name)
{
    std::ifstream file(std::string(OVM_TEST_IMAGES) + "/" + name, std::ios::binary);
    return std::vector<BYTE>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The test pictures' pixel at (x, y), as the image script draws it.
DWORD drawn_pixel(UINT x, UINT y, bool alpha)
{
    const DWORD r = (x * 7 + y * 3) & 0xFF;
    const DWORD g = (x * y + 11) & 0xFF;
    const DWORD b = (255 - x * 5) & 0xFF;
    const DWORD a = alpha ? (y * 17 + x) & 0xFF : 0xFF;
    return (a << 24) | (r << 16) | (g << 8) | b;
}

class GdiplusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        GdiplusStartupInput input;
        ASSERT_EQ(Ok, GdiplusStartup(&m_token, &input, nullptr));
    }
    void TearDown() override
    {
        GdiplusShutdown(m_token);
        platform::machine_shutdown();
    }

    // Decodes bytes through a memory stream, from prefix bytes into it.
    static Status decode(const std::vector<BYTE> &bytes, GpBitmap **bitmap, size_t prefix = 0)
    {
        IStream *stream = SHCreateMemStream(bytes.data(), (UINT)bytes.size());
        LARGE_INTEGER offset;
        offset.QuadPart = (LONGLONG)prefix;
        stream->Seek(offset, STREAM_SEEK_SET, nullptr);
        const Status status = GdipCreateBitmapFromStream(stream, bitmap);
        stream->Release();
        return status;
    }

    ULONG_PTR m_token = 0;
};

TEST_F(GdiplusTest, StartUpIsCheckedAndCountedPerProcess)
{
    GdiplusStartupInput input;
    ULONG_PTR token = 0;
    EXPECT_EQ(InvalidParameter, GdiplusStartup(nullptr, &input, nullptr));
    EXPECT_EQ(InvalidParameter, GdiplusStartup(&token, nullptr, nullptr));
    GdiplusStartupInput quiet(nullptr, TRUE);
    EXPECT_EQ(InvalidParameter, GdiplusStartup(&token, &quiet, nullptr)) << "a suppressed thread needs the hooks";
    for (UINT32 version : {0u, 4u}) {
        GdiplusStartupInput other;
        other.GdiplusVersion = version;
        EXPECT_EQ(UnsupportedGdiplusVersion, GdiplusStartup(&token, &other, nullptr)) << version;
    }
    ASSERT_EQ(Ok, GdiplusStartup(&token, &input, nullptr));
    EXPECT_NE(0u, token);
    const std::vector<BYTE> png = image_file("rgb_filters.png");
    GpBitmap *bitmap = nullptr;
    GdiplusShutdown(token);
    EXPECT_EQ(Ok, decode(png, &bitmap)) << "the fixture's start-up still counts";
    EXPECT_EQ(Ok, GdipDisposeImage(bitmap));
    GdiplusShutdown(m_token);
    m_token = 0;
    EXPECT_EQ(GdiplusNotInitialized, decode(png, &bitmap));
    EXPECT_EQ(nullptr, bitmap);
    ASSERT_EQ(Ok, GdiplusStartup(&m_token, &input, nullptr));
}

TEST_F(GdiplusTest, DecodesThePicturesToTheirPixelsInEachFormat)
{
    struct row {
        const char *file;
        UINT width;
        UINT height;
        bool alpha;
        PixelFormat native;
    };
    for (const row &r : {row{"rgba_filters.png", 37, 23, true, PixelFormat32bppARGB},
                         row{"rgb_filters.png", 19, 11, false, PixelFormat24bppRGB}}) {
        SCOPED_TRACE(r.file);
        std::vector<BYTE> bytes = {'j', 'u', 'n', 'k'};
        const std::vector<BYTE> png = image_file(r.file);
        ASSERT_FALSE(png.empty());
        bytes.insert(bytes.end(), png.begin(), png.end());
        GpBitmap *bitmap = nullptr;
        ASSERT_EQ(Ok, decode(bytes, &bitmap, 4)) << "read from the stream's position";
        UINT width = 0;
        UINT height = 0;
        PixelFormat format = 0;
        EXPECT_EQ(Ok, GdipGetImageWidth(bitmap, &width));
        EXPECT_EQ(Ok, GdipGetImageHeight(bitmap, &height));
        EXPECT_EQ(Ok, GdipGetImagePixelFormat(bitmap, &format));
        EXPECT_EQ(r.width, width);
        EXPECT_EQ(r.height, height);
        EXPECT_EQ(r.native, format);

        for (PixelFormat lock : {PixelFormat32bppARGB, PixelFormat32bppPARGB, PixelFormat24bppRGB}) {
            SCOPED_TRACE(lock);
            BitmapData data = {};
            ASSERT_EQ(Ok, GdipBitmapLockBits(bitmap, nullptr, ImageLockModeRead, lock, &data));
            const UINT bytes_per_pixel = lock == PixelFormat24bppRGB ? 3 : 4;
            EXPECT_EQ(width, data.Width);
            EXPECT_EQ(height, data.Height);
            EXPECT_EQ((INT)((width * bytes_per_pixel + 3) & ~3u), data.Stride);
            EXPECT_EQ(lock, data.PixelFormat);
            int wrong = 0;
            for (UINT y = 0; y < height; ++y) {
                const BYTE *line = static_cast<const BYTE *>(data.Scan0) + (size_t)y * (size_t)data.Stride;
                for (UINT x = 0; x < width; ++x) {
                    const DWORD want = drawn_pixel(x, y, r.alpha);
                    const DWORD a = want >> 24;
                    DWORD rgb[3] = {want & 0xFF, (want >> 8) & 0xFF, (want >> 16) & 0xFF};
                    if (lock == PixelFormat32bppPARGB) {
                        for (DWORD &c : rgb) {
                            c = (c * a + 127) / 255;
                        }
                    }
                    const BYTE *p = line + x * bytes_per_pixel;
                    wrong += p[0] != rgb[0] || p[1] != rgb[1] || p[2] != rgb[2] ||
                             (bytes_per_pixel == 4 && p[3] != a);
                }
            }
            EXPECT_EQ(0, wrong);
            EXPECT_EQ(Ok, GdipBitmapUnlockBits(bitmap, &data));
        }
        EXPECT_EQ(Ok, GdipDisposeImage(bitmap));
    }
}

TEST_F(GdiplusTest, LockBitsCoversPartsWritesBackAndRefusesWrongStates)
{
    GpBitmap *bitmap = nullptr;
    ASSERT_EQ(Ok, decode(image_file("rgba_filters.png"), &bitmap));
    const Rect part(30, 20, 7, 3);
    BitmapData data = {};
    ASSERT_EQ(Ok, GdipBitmapLockBits(bitmap, &part, ImageLockModeRead | ImageLockModeWrite, PixelFormat32bppARGB,
                                     &data));
    EXPECT_EQ(7u, data.Width);
    EXPECT_EQ(drawn_pixel(30, 20, true), static_cast<const DWORD *>(data.Scan0)[0]);
    BitmapData second = {};
    EXPECT_EQ(WrongState, GdipBitmapLockBits(bitmap, nullptr, ImageLockModeRead, PixelFormat32bppARGB, &second));
    static_cast<DWORD *>(data.Scan0)[1] = 0x80402010;
    BitmapData forged = data;
    forged.Scan0 = &second;
    EXPECT_EQ(InvalidParameter, GdipBitmapUnlockBits(bitmap, &forged));
    ASSERT_EQ(Ok, GdipBitmapUnlockBits(bitmap, &data));
    EXPECT_EQ(WrongState, GdipBitmapUnlockBits(bitmap, &data));

    // The written pixel reads back, here into the caller's own buffer, premultiplied.
    DWORD mine[2] = {};
    BitmapData user = {};
    user.Scan0 = mine;
    user.Stride = sizeof(mine);
    const Rect two(30, 20, 2, 1);
    ASSERT_EQ(Ok, GdipBitmapLockBits(bitmap, &two, ImageLockModeRead | ImageLockModeUserInputBuf,
                                     PixelFormat32bppPARGB, &user));
    EXPECT_EQ(mine, user.Scan0);
    EXPECT_EQ(0x80201008u, mine[1]);
    ASSERT_EQ(Ok, GdipBitmapUnlockBits(bitmap, &user));

    struct row {
        const char *what;
        Rect rect;
        UINT flags;
        PixelFormat format;
        Status status;
    };
    const row rows[] = {
        {"beyond the right", Rect(31, 0, 7, 1), ImageLockModeRead, PixelFormat32bppARGB, InvalidParameter},
        {"beyond the bottom", Rect(0, 22, 1, 2), ImageLockModeRead, PixelFormat32bppARGB, InvalidParameter},
        {"empty", Rect(0, 0, 0, 1), ImageLockModeRead, PixelFormat32bppARGB, InvalidParameter},
        {"negative", Rect(-1, 0, 2, 2), ImageLockModeRead, PixelFormat32bppARGB, InvalidParameter},
        {"no mode", Rect(0, 0, 1, 1), 0, PixelFormat32bppARGB, InvalidParameter},
        {"unknown flag", Rect(0, 0, 1, 1), ImageLockModeRead | 0x10, PixelFormat32bppARGB, InvalidParameter},
        {"format the stand-in lacks", Rect(0, 0, 1, 1), ImageLockModeRead, PixelFormat32bppRGB, NotImplemented},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.status, GdipBitmapLockBits(bitmap, &r.rect, r.flags, r.format, &data));
    }
    EXPECT_EQ(Ok, GdipDisposeImage(bitmap));
    EXPECT_EQ(InvalidParameter, GdipDisposeImage(bitmap)) << "disposed already";
    UINT width = 0;
    EXPECT_EQ(InvalidParameter, GdipGetImageWidth(reinterpret_cast<GpImage *>(&width), &width));
}

TEST_F(GdiplusTest, TheWrapperClassesReportWhatTheStreamHeld)
{
    const std::vector<BYTE> png = image_file("rgba_filters.png");
    IStream *stream = SHCreateMemStream(png.data(), (UINT)png.size());
    std::unique_ptr<Bitmap> bitmap(Bitmap::FromStream(stream));
    stream->Release();
    ASSERT_EQ(Ok, bitmap->GetLastStatus());
    EXPECT_EQ(37u, bitmap->GetWidth());
    EXPECT_EQ(23u, bitmap->GetHeight());

    const BYTE text[] = "GIF89a, not a PNG image";
    struct row {
        std::vector<BYTE> bytes;
        Status status;
    };
    std::vector<BYTE> cut(png.begin(), png.begin() + (ptrdiff_t)png.size() / 2);
    std::vector<BYTE> broken = png;
    broken[40] ^= 0xFF; // inside the first image data chunk: its check fails
    for (const row &r : {row{std::vector<BYTE>(text, text + sizeof(text)), UnknownImageFormat},
                         row{cut, InvalidParameter}, row{broken, InvalidParameter}}) {
        IStream *other = SHCreateMemStream(r.bytes.data(), (UINT)r.bytes.size());
        Bitmap failed(other);
        other->Release();
        EXPECT_EQ(r.status, failed.GetLastStatus());
        EXPECT_EQ(0u, failed.GetWidth());
        EXPECT_EQ(InvalidParameter, failed.GetLastStatus()) << "a bitmap that was not made has no size";
    }
    EXPECT_EQ(InvalidParameter, GdipCreateBitmapFromStream(nullptr, nullptr));
}

} // namespace
