#!/usr/bin/env python3
"""Draws the package's images and the image decoder's test pictures, and writes them where the
resource scripts and tests read them. Everything is drawn here from simple shapes; run it from
the repository root after changing a picture, and commit what it writes."""
import math
import struct
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_row(kind, row, previous, bpp):
    out = bytearray()
    for i, value in enumerate(row):
        left = row[i - bpp] if i >= bpp else 0
        up = previous[i]
        corner = previous[i - bpp] if i >= bpp else 0
        predictor = [0, left, up, (left + up) // 2, paeth(left, up, corner)][kind]
        out.append((value - predictor) & 0xFF)
    return bytes([kind]) + bytes(out)


def write_png(path, width, height, pixels, channels, filters=None, idat_parts=1):
    """pixels: rows of channel tuples. filters: the filter type of each row (cycled)."""
    bpp = channels
    raw = bytearray()
    previous = bytes(width * bpp)
    for y in range(height):
        row = bytes(v for pixel in pixels[y] for v in pixel)
        kind = filters[y % len(filters)] if filters else 4
        raw += filter_row(kind, row, previous, bpp)
        previous = row
    data = zlib.compress(bytes(raw), 9)
    color_type = {3: 2, 4: 6}[channels]
    out = PNG_SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0))
    step = (len(data) + idat_parts - 1) // idat_parts
    for start in range(0, len(data), step):
        out += chunk(b"IDAT", data[start:start + step])
    out += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(out)


def coverage(distance):
    """Anti-aliased coverage of a shape edge at a signed distance (negative inside)."""
    return max(0.0, min(1.0, 0.5 - distance))


def logo_pixel(x, y, width, height):
    """The panel's logo: a ring beside five level bars on a transparent ground."""
    cx, cy, radius = height / 2, height / 2, height / 2 - 3
    ring = coverage(abs(math.hypot(x + 0.5 - cx, y + 0.5 - cy) - (radius - 5)) - 4)
    alpha = ring
    r, g, b = 40, 110, 200
    for i, level in enumerate([0.35, 0.7, 1.0, 0.6, 0.45]):
        left = height + 6 + i * 22
        top = height - 4 - level * (height - 8)
        inside = max(left - (x + 0.5), (x + 0.5) - (left + 14), top - (y + 0.5), (y + 0.5) - (height - 4))
        bar = coverage(inside)
        if bar > 0:
            shade = (y + 0.5 - top) / max(1.0, height - 4 - top)
            r, g, b = int(230 - 60 * shade), int(120 + 60 * shade), 40
            alpha = max(alpha, bar * 0.9)
    return (r, g, b, int(round(alpha * 255)))


def icon_pixel(x, y, size, hue):
    """A disc with a white wave across it."""
    c = size / 2
    disc = coverage(math.hypot(x + 0.5 - c, y + 0.5 - c) - (c - 1))
    wave_y = c + math.sin((x + 0.5) / size * 2 * math.pi) * size * 0.2
    wave = coverage(abs(y + 0.5 - wave_y) - size / 16) * disc
    r, g, b = hue
    r, g, b = (int(r + (255 - r) * wave), int(g + (255 - g) * wave), int(b + (255 - b) * wave))
    return (r, g, b, int(round(disc * 255)))


def write_ico(path, sizes, hue, depths=None):
    images = []
    for index, size in enumerate(sizes):
        depth = depths[index] if depths else 32
        xor = bytearray()
        mask = bytearray()
        mask_stride = ((size + 31) // 32) * 4
        for y in reversed(range(size)):
            bits = bytearray(mask_stride)
            for x in range(size):
                r, g, b, a = icon_pixel(x, y, size, hue)
                if depth == 32:
                    xor += bytes([b, g, r, a])
                else:
                    xor += bytes([b, g, r])
                if a == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            xor += bytes((-len(xor)) % 4) if depth == 24 else b""
            mask += bits
        header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, depth, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append((size, depth, header + bytes(xor) + bytes(mask)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, depth, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, depth, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


def test_pixel(x, y, channels):
    """The decoder tests' picture: every channel a known function of the position."""
    pixel = ((x * 7 + y * 3) & 0xFF, (x * y + 11) & 0xFF, (255 - x * 5) & 0xFF, (y * 17 + x) & 0xFF)
    return pixel[:channels]


def main():
    width, height = 180, 64
    write_png("user/controlpanel/res/logo.png", width, height,
              [[logo_pixel(x, y, width, height) for x in range(width)] for y in range(height)], 4)
    write_ico("user/controlpanel/res/panel.ico", [32, 16], (40, 110, 200))
    write_ico("setup/applet/res/applet.ico", [32, 16], (200, 90, 40))
    write_ico("platform/kernel32/tests/modules/res/three_sizes.ico", [16, 48, 32], (60, 160, 80), [32, 32, 24])
    for channels, name, size in ((4, "rgba_filters", (37, 23)), (3, "rgb_filters", (19, 11))):
        w, h = size
        write_png("platform/gdiplus/tests/images/%s.png" % name, w, h,
                  [[test_pixel(x, y, channels) for x in range(w)] for y in range(h)], channels,
                  filters=[0, 1, 2, 3, 4], idat_parts=3)


if __name__ == "__main__":
    main()
