#!/usr/bin/env python3
"""Draws the setup package's own pictures, so that they are made here and can be made again.

  make_art.py ICON_PATH WIZARD_BITMAP_PATH

The icon: a lightning flash on a rounded square, in every size Windows asks for from 100 % to
200 % scaling (16 to 64 pixels, and 256 for Explorer's largest view), each drawn at its own size
rather than scaled from another. The wizard's side picture: a vertical gradient of the same
colours, which stays sharp however far Windows stretches it.
"""
import struct
import sys
import zlib

ICON_SIZES = (16, 20, 24, 32, 40, 48, 64, 256)
SAMPLES = 4                                      # per pixel side: 16 samples a pixel
TOP = (0x12, 0x7A, 0x9C)                         # the square's colour, top and bottom
BOTTOM = (0x0B, 0x3C, 0x6E)
FLASH = (0xFF, 0xFF, 0xFF)
# On a 256-unit square: the corner radius, and the flash as a polygon.
RADIUS = 52
BOLT = ((150, 22), (62, 142), (118, 142), (96, 234), (196, 104), (138, 104), (164, 22))
# The wizard's side picture: its height as Windows lays it out at 100 %; a gradient needs no width,
# and Windows stretches it to the picture's place at every scaling.
WIZARD_SIZE = (8, 314)


def inside_square(x, y):
    """Whether (x, y), in 256 units, is inside the rounded square."""
    if not (0 <= x < 256 and 0 <= y < 256):
        return False
    cx = min(max(x, RADIUS), 256 - RADIUS)
    cy = min(max(y, RADIUS), 256 - RADIUS)
    return (x - cx) ** 2 + (y - cy) ** 2 <= RADIUS ** 2


def inside_bolt(x, y):
    """Even-odd rule against the flash's polygon."""
    hit = False
    count = len(BOLT)
    for i in range(count):
        (x1, y1), (x2, y2) = BOLT[i], BOLT[(i + 1) % count]
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            hit = not hit
    return hit


def blend(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def draw_icon(size):
    """Rows of (r, g, b, a), top row first."""
    rows = []
    scale = 256 / size
    for py in range(size):
        row = []
        for px in range(size):
            square = flash = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) * scale
                    y = (py + (sy + 0.5) / SAMPLES) * scale
                    if inside_square(x, y):
                        square += 1
                        if inside_bolt(x, y):
                            flash += 1
            total = SAMPLES * SAMPLES
            if square == 0:
                row.append((0, 0, 0, 0))
                continue
            ground = blend(TOP, BOTTOM, py / max(size - 1, 1))
            colour = blend(ground, FLASH, flash / square)
            row.append(colour + (round(255 * square / total),))
        rows.append(row)
    return rows


def icon_bmp(rows):
    """An icon image as Windows stores it: a 32-bit DIB of twice the height, bottom row first,
    then an all-clear AND mask (the alpha channel decides)."""
    size = len(rows)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    return header + pixels + b'\0' * (mask_row * size)


def png(rows):
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    size = len(rows)
    raw = b''.join(b'\0' + b''.join(bytes(p) for p in row) for row in rows)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def icon_file():
    images = []
    for size in ICON_SIZES:
        rows = draw_icon(size)
        images.append((size, png(rows) if size == 256 else icon_bmp(rows)))
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b''.join(data for _, data in images)


def wizard_bitmap():
    width, height = WIZARD_SIZE
    row_bytes = (width * 3 + 3) & ~3
    pixels = b''
    for y in reversed(range(height)):
        r, g, b = blend(TOP, BOTTOM, y / (height - 1))
        pixels += bytes((b, g, r)) * width + b'\0' * (row_bytes - width * 3)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return b'BM' + struct.pack('<IHHI', 14 + len(info) + len(pixels), 0, 0, 14 + len(info)) + info + pixels


def main(argv):
    if len(argv) != 3:
        sys.stderr.write('usage: make_art.py ICON_PATH WIZARD_BITMAP_PATH\n')
        return 2
    with open(argv[1], 'wb') as f:
        f.write(icon_file())
    with open(argv[2], 'wb') as f:
        f.write(wizard_bitmap())
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
