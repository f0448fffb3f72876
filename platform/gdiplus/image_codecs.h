// Internal to the stand-in's GDI+: the zlib stream inflater and the PNG decoder behind
// GdipCreateBitmapFromStream. Both read untrusted bytes and check every length against them.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform::gdiplus {

// Inflates a zlib stream (RFC 1950 header, deflate data, Adler-32 trailer). Fails on a bad
// header, a preset dictionary, malformed deflate data, a wrong checksum and on output that
// would grow beyond limit bytes.
bool zlib_inflate(const std::uint8_t *data, size_t size, size_t limit, std::vector<std::uint8_t> *out);

enum class png_result { ok, not_png, corrupt, unsupported, too_large };

struct decoded_image {
    UINT width = 0;
    UINT height = 0;
    bool has_alpha = false;
    std::vector<DWORD> argb; // rows from the top, each pixel 0xAARRGGBB, colours not premultiplied
};

// Decodes a PNG file of 8 bits per sample (grey, grey with alpha, RGB or RGBA), not
// interlaced. Other valid files are unsupported; images above 16384 pixels a side or 2^24
// pixels in all are too large.
png_result decode_png(const std::uint8_t *data, size_t size, decoded_image *image);

} // namespace platform::gdiplus
