// The stand-in's PNG decoder and zlib inflater on files built here: stored, fixed-code and
// empty deflate streams, each colour type it reads, and every malformed or unsupported file
// it must refuse without reading past what it was given.
#include <gtest/gtest.h>
#include "image_codecs.h"
#include <functional>
#include <string>

namespace {

using namespace platform::gdiplus;
using bytes = std::vector<std::uint8_t>;

std::uint32_t crc(const bytes &data)
{
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t b : data) {
        c ^= b;
        for (int k = 0; k < 8; ++k) {
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
        }
    }
    return ~c;
}

void put32(bytes *out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out->push_back((std::uint8_t)(v >> shift));
    }
}

bytes chunk(const std::string &type, const bytes &data)
{
    bytes body(type.begin(), type.end());
    body.insert(body.end(), data.begin(), data.end());
    bytes out;
    put32(&out, (std::uint32_t)data.size());
    out.insert(out.end(), body.begin(), body.end());
    put32(&out, crc(body));
    return out;
}

// A zlib stream of one stored block.
bytes stored(const bytes &raw)
{
    bytes out = {0x78, 0x01, 0x01, (std::uint8_t)raw.size(), (std::uint8_t)(raw.size() >> 8),
                 (std::uint8_t)~raw.size(), (std::uint8_t)(~raw.size() >> 8)};
    out.insert(out.end(), raw.begin(), raw.end());
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t v : raw) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    put32(&out, (b << 16) | a);
    return out;
}

bytes header(std::uint32_t width, std::uint32_t height, std::uint8_t depth, std::uint8_t type,
             std::uint8_t interlace = 0)
{
    bytes data;
    put32(&data, width);
    put32(&data, height);
    data.insert(data.end(), {depth, type, 0, 0, interlace});
    return data;
}

// Two rows of two RGBA pixels; the second row's Up filter repeats the first row plus 1.
bytes two_by_two_rgba()
{
    static const std::uint8_t raw[] = {0, 10, 20, 30, 40, 50, 60, 70, 80, 2, 1, 1, 1, 1, 1, 1, 1, 1};
    return bytes(raw, raw + sizeof(raw));
}

struct png_parts {
    bytes ihdr = header(2, 2, 8, 6);
    bytes raw = two_by_two_rgba();
    std::vector<bytes> extra_before_data;
    std::vector<bytes> extra_after_data;
    bool end = true;

    bytes build() const
    {
        bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        const auto add = [&out](const bytes &c) { out.insert(out.end(), c.begin(), c.end()); };
        add(chunk("IHDR", ihdr));
        for (const bytes &c : extra_before_data) {
            add(c);
        }
        add(chunk("IDAT", stored(raw)));
        for (const bytes &c : extra_after_data) {
            add(c);
        }
        if (end) {
            add(chunk("IEND", {}));
        }
        return out;
    }
};

TEST(PngDecoderTests, DecodesEachColourTypeOfEightBitSamples)
{
    struct row {
        std::uint8_t type;
        bytes raw;
        std::vector<DWORD> pixels;
    };
    const row rows[] = {
        {6, {0, 10, 20, 30, 40, 50, 60, 70, 80, 2, 1, 1, 1, 1, 1, 1, 1, 1},
         {0x280A141E, 0x50323C46, 0x290B151F, 0x51333D47}},
        {2, {1, 10, 20, 30, 5, 5, 5, 0, 1, 2, 3, 4, 5, 6}, {0xFF0A141E, 0xFF0F1923, 0xFF010203, 0xFF040506}},
        {0, {0, 7, 9, 4, 0, 200}, {0xFF070707, 0xFF090909, 0xFF070707, 0xFFD1D1D1}},
        {4, {3, 8, 100, 8, 100, 0, 0, 0, 0, 0}, {0x64080808, 0x960C0C0C, 0x00000000, 0x00000000}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE((int)r.type);
        png_parts parts;
        parts.ihdr = header(2, 2, 8, r.type);
        parts.raw = r.raw;
        const bytes file = parts.build();
        decoded_image image;
        ASSERT_EQ(png_result::ok, decode_png(file.data(), file.size(), &image));
        EXPECT_EQ(2u, image.width);
        EXPECT_EQ(2u, image.height);
        EXPECT_EQ(r.type == 4 || r.type == 6, image.has_alpha);
        EXPECT_EQ(r.pixels, image.argb);
    }
}

TEST(PngDecoderTests, RefusesMalformedAndUnsupportedFiles)
{
    struct row {
        const char *what;
        std::function<void(png_parts *)> change;
        png_result result;
    };
    const row rows[] = {
        {"ancillary chunk", [](png_parts *p) { p->extra_before_data.push_back(chunk("teXt", {'a', 0, 'b'})); },
         png_result::ok},
        {"no width", [](png_parts *p) { p->ihdr = header(0, 2, 8, 6); }, png_result::corrupt},
        {"depth the type lacks", [](png_parts *p) { p->ihdr = header(2, 2, 4, 2); }, png_result::corrupt},
        {"unknown colour type", [](png_parts *p) { p->ihdr = header(2, 2, 8, 5); }, png_result::corrupt},
        {"short header", [](png_parts *p) { p->ihdr.pop_back(); }, png_result::corrupt},
        {"sixteen bits", [](png_parts *p) { p->ihdr = header(2, 2, 16, 6); }, png_result::unsupported},
        {"palette", [](png_parts *p) { p->ihdr = header(2, 2, 8, 3); }, png_result::unsupported},
        {"interlaced", [](png_parts *p) { p->ihdr = header(2, 2, 8, 6, 1); }, png_result::unsupported},
        {"too wide", [](png_parts *p) { p->ihdr = header(20000, 2, 8, 6); }, png_result::too_large},
        {"too many pixels", [](png_parts *p) { p->ihdr = header(8192, 4096, 8, 6); }, png_result::too_large},
        {"filter 5", [](png_parts *p) { p->raw[0] = 5; }, png_result::corrupt},
        {"a row short", [](png_parts *p) { p->raw.resize(9); }, png_result::corrupt},
        {"data beyond the rows", [](png_parts *p) { p->raw.push_back(0); }, png_result::corrupt},
        {"critical chunk unknown", [](png_parts *p) { p->extra_before_data.push_back(chunk("QXYZ", {})); },
         png_result::unsupported},
        {"transparency chunk", [](png_parts *p) { p->extra_before_data.push_back(chunk("tRNS", {0, 0})); },
         png_result::unsupported},
        {"data chunks apart",
         [](png_parts *p) {
             p->extra_after_data.push_back(chunk("teXt", {'a', 0}));
             p->extra_after_data.push_back(chunk("IDAT", {}));
         },
         png_result::corrupt},
        {"second header", [](png_parts *p) { p->extra_before_data.push_back(chunk("IHDR", header(2, 2, 8, 6))); },
         png_result::corrupt},
        {"no end", [](png_parts *p) { p->end = false; }, png_result::corrupt},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        png_parts parts;
        r.change(&parts);
        const bytes file = parts.build();
        decoded_image image;
        EXPECT_EQ(r.result, decode_png(file.data(), file.size(), &image));
    }

    // Damage to the file itself, and every length it can be cut to.
    const bytes good = png_parts().build();
    decoded_image image;
    bytes damaged = good;
    damaged[0] = 'G';
    EXPECT_EQ(png_result::not_png, decode_png(damaged.data(), damaged.size(), &image));
    damaged = good;
    damaged[20] ^= 1; // inside IHDR: its CRC no longer matches
    EXPECT_EQ(png_result::corrupt, decode_png(damaged.data(), damaged.size(), &image));
    damaged = good;
    damaged[good.size() - 20] ^= 1; // the image data's Adler-32, CRC made to match again
    const size_t data_chunk = 8 + 25;
    const size_t data_length = good.size() - data_chunk - 12 - 12;
    const bytes body(damaged.begin() + (ptrdiff_t)data_chunk + 4,
                     damaged.begin() + (ptrdiff_t)(data_chunk + 8 + data_length));
    const std::uint32_t fixed = crc(body);
    for (int i = 0; i < 4; ++i) {
        damaged[data_chunk + 8 + data_length + (size_t)i] = (std::uint8_t)(fixed >> (24 - 8 * i));
    }
    EXPECT_EQ(png_result::corrupt, decode_png(damaged.data(), damaged.size(), &image));
    for (size_t length = 0; length < good.size(); ++length) {
        SCOPED_TRACE(length);
        const bytes cut(good.begin(), good.begin() + (ptrdiff_t)length);
        EXPECT_NE(png_result::ok, decode_png(cut.data(), cut.size(), &image));
    }
}

TEST(PngDecoderTests, InflatesFixedCodesAndStopsAtItsLimit)
{
    // "abcabcabcabcabcabc hello hello hello, fixed codes!" compressed with fixed codes only.
    const bytes fixed = {0x78, 0x01, 0x4B, 0x4C, 0x4A, 0x4E, 0x44, 0x45, 0x0A, 0x19, 0xA9, 0x39,
                         0x39, 0xF9, 0xC8, 0xA4, 0x8E, 0x42, 0x5A, 0x66, 0x45, 0x6A, 0x8A, 0x42,
                         0x72, 0x7E, 0x4A, 0x6A, 0xB1, 0x22, 0x00, 0xD8, 0xE3, 0x12, 0x2C};
    const std::string text = "abcabcabcabcabcabc hello hello hello, fixed codes!";
    bytes out;
    ASSERT_TRUE(zlib_inflate(fixed.data(), fixed.size(), 1000, &out));
    EXPECT_EQ(text, std::string(out.begin(), out.end()));
    EXPECT_FALSE(zlib_inflate(fixed.data(), fixed.size(), text.size() - 1, &out)) << "one byte over the limit";
    const bytes empty = {0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
    ASSERT_TRUE(zlib_inflate(empty.data(), empty.size(), 0, &out));
    EXPECT_TRUE(out.empty());
    struct row {
        const char *what;
        bytes stream;
    };
    const row rows[] = {
        {"method 7", {0x77, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}},
        {"header check", {0x78, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}},
        {"preset dictionary", {0x78, 0xBB, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}},
        {"block type 3", {0x78, 0x01, 0x07, 0x00, 0x00, 0x00, 0x00, 0x01}},
        {"stored length check", {0x78, 0x01, 0x01, 0x01, 0x00, 0xFF, 0xFF, 0x41, 0x00, 0x42, 0x00, 0x42}},
        {"checksum", {0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x02}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_FALSE(zlib_inflate(r.stream.data(), r.stream.size(), 1000, &out));
    }
}

} // namespace
