// The PNG decoder of the stand-in's GDI+: chunk walk with CRC checks, IHDR validation, the
// concatenated IDAT stream inflated to exactly the size the header implies, the five row
// filters undone, and the samples turned into 0xAARRGGBB pixels.
#include "image_codecs.h"
#include <algorithm>
#include <array>

namespace platform::gdiplus {
namespace {

constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint32_t max_side = 16384;
constexpr std::uint64_t max_pixels = 1ull << 24;

enum color_type : std::uint8_t { grey = 0, rgb = 2, palette = 3, grey_alpha = 4, rgba = 6 };

std::uint32_t read_be32(const std::uint8_t *p)
{
    return ((std::uint32_t)p[0] << 24) | ((std::uint32_t)p[1] << 16) | ((std::uint32_t)p[2] << 8) | p[3];
}

const std::array<std::uint32_t, 256> &crc_table()
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[n] = c;
        }
        return t;
    }();
    return table;
}

std::uint32_t crc32(const std::uint8_t *data, size_t size)
{
    std::uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        c = crc_table()[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFu;
}

bool is_type(const std::uint8_t *type, const char *name)
{
    return type[0] == name[0] && type[1] == name[1] && type[2] == name[2] && type[3] == name[3];
}

// Bit depths the PNG format allows for each colour type.
bool valid_depth(std::uint8_t type, std::uint8_t depth)
{
    switch (type) {
    case grey:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case palette:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case rgb:
    case grey_alpha:
    case rgba:
        return depth == 8 || depth == 16;
    default:
        return false;
    }
}

std::uint8_t paeth(std::uint8_t a, std::uint8_t b, std::uint8_t c)
{
    const int p = a + b - c;
    const int pa = p > a ? p - a : a - p;
    const int pb = p > b ? p - b : b - p;
    const int pc = p > c ? p - c : c - p;
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// Undoes each row's filter in place; rows are a filter byte and row_bytes samples.
bool unfilter(std::vector<std::uint8_t> *data, size_t rows, size_t row_bytes, size_t bpp)
{
    std::vector<std::uint8_t> zero(row_bytes, 0);
    const std::uint8_t *previous = zero.data();
    for (size_t y = 0; y < rows; ++y) {
        std::uint8_t *row = data->data() + y * (row_bytes + 1);
        const std::uint8_t filter = row[0];
        std::uint8_t *cur = row + 1;
        for (size_t i = 0; i < row_bytes; ++i) {
            const std::uint8_t left = i >= bpp ? cur[i - bpp] : 0;
            const std::uint8_t up = previous[i];
            const std::uint8_t corner = i >= bpp ? previous[i - bpp] : 0;
            switch (filter) {
            case 0:
                break;
            case 1:
                cur[i] = (std::uint8_t)(cur[i] + left);
                break;
            case 2:
                cur[i] = (std::uint8_t)(cur[i] + up);
                break;
            case 3:
                cur[i] = (std::uint8_t)(cur[i] + ((left + up) >> 1));
                break;
            case 4:
                cur[i] = (std::uint8_t)(cur[i] + paeth(left, up, corner));
                break;
            default:
                return false;
            }
        }
        previous = cur;
    }
    return true;
}

} // namespace

png_result decode_png(const std::uint8_t *data, size_t size, decoded_image *image)
{
    if (size < sizeof(signature) || !std::equal(signature, signature + sizeof(signature), data)) {
        return png_result::not_png;
    }
    size_t at = sizeof(signature);
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint8_t type = 0;
    bool header = false;
    bool ended = false;
    bool idat_done = false;
    std::vector<std::uint8_t> compressed;
    while (!ended) {
        if (size - at < 12) {
            return png_result::corrupt;
        }
        const std::uint32_t length = read_be32(data + at);
        const std::uint8_t *chunk_type = data + at + 4;
        if (length > 0x7FFFFFFFu || length > size - at - 12) {
            return png_result::corrupt;
        }
        const std::uint8_t *body = data + at + 8;
        if (crc32(chunk_type, (size_t)length + 4) != read_be32(body + length)) {
            return png_result::corrupt;
        }
        at += (size_t)length + 12;
        const bool is_header = is_type(chunk_type, "IHDR");
        if (header == is_header) {
            return png_result::corrupt; // IHDR comes first, and once
        }
        if (is_header) {
            if (length != 13) {
                return png_result::corrupt;
            }
            width = read_be32(body);
            height = read_be32(body + 4);
            const std::uint8_t depth = body[8];
            type = body[9];
            if (width == 0 || height == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu ||
                !valid_depth(type, depth) || body[10] != 0 || body[11] != 0 || body[12] > 1) {
                return png_result::corrupt;
            }
            if (depth != 8 || type == palette || body[12] != 0) {
                return png_result::unsupported;
            }
            if (width > max_side || height > max_side || (std::uint64_t)width * height > max_pixels) {
                return png_result::too_large;
            }
            header = true;
        } else if (is_type(chunk_type, "IDAT")) {
            if (idat_done) {
                return png_result::corrupt; // the image data chunks follow one another
            }
            compressed.insert(compressed.end(), body, body + length);
        } else if (is_type(chunk_type, "IEND")) {
            ended = true;
        } else if ((chunk_type[0] & 0x20) == 0 || is_type(chunk_type, "tRNS")) {
            // An unknown critical chunk, or transparency this decoder does not apply.
            return png_result::unsupported;
        }
        if (!compressed.empty() && !is_type(chunk_type, "IDAT")) {
            idat_done = true;
        }
    }
    if (compressed.empty()) {
        return png_result::corrupt;
    }
    const size_t channels = type == grey ? 1 : type == grey_alpha ? 2 : type == rgb ? 3 : 4;
    const size_t row_bytes = (size_t)width * channels;
    const size_t expected = (row_bytes + 1) * height;
    std::vector<std::uint8_t> raw;
    raw.reserve(expected);
    if (!zlib_inflate(compressed.data(), compressed.size(), expected, &raw) || raw.size() != expected ||
        !unfilter(&raw, height, row_bytes, channels)) {
        return png_result::corrupt;
    }
    image->width = width;
    image->height = height;
    image->has_alpha = type == grey_alpha || type == rgba;
    image->argb.assign((size_t)width * height, 0);
    for (size_t y = 0; y < height; ++y) {
        const std::uint8_t *row = raw.data() + y * (row_bytes + 1) + 1;
        for (size_t x = 0; x < width; ++x) {
            const std::uint8_t *s = row + x * channels;
            DWORD r = s[0], g = s[0], b = s[0], a = 0xFF;
            if (type == grey_alpha) {
                a = s[1];
            } else if (type == rgb || type == rgba) {
                g = s[1];
                b = s[2];
                a = type == rgba ? s[3] : 0xFF;
            }
            image->argb[y * width + x] = (a << 24) | (r << 16) | (g << 8) | b;
        }
    }
    return png_result::ok;
}

} // namespace platform::gdiplus
