#!/usr/bin/env python3
"""Turns the 24-bit BMP pictures the Wine harness saves into PNG files, without ImageMagick.

  bmp-to-png.py PICTURE.bmp... : writes PICTURE.png beside each
"""
import struct
import sys
import zlib


def convert(path):
    data = open(path, 'rb').read()
    if data[:2] != b'BM':
        raise SystemExit(f'{path}: not a BMP file')
    offset = struct.unpack_from('<I', data, 10)[0]
    width, height, _, bits = struct.unpack_from('<iiHH', data, 18)
    if bits != 24:
        raise SystemExit(f'{path}: {bits}-bit, not the 24-bit pictures the harness saves')
    row_bytes = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        source = y if height < 0 else abs(height) - 1 - y
        start = offset + source * row_bytes
        bgr = data[start:start + width * 3]
        rgb = bytearray(len(bgr))
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        rows.append(b'\0' + bytes(rgb))

    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
    png = (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, abs(height), 8, 2, 0, 0, 0)) +
           chunk(b'IDAT', zlib.compress(b''.join(rows), 9)) + chunk(b'IEND', b''))
    with open(path[:-4] + '.png', 'wb') as out:
        out.write(png)


if __name__ == '__main__':
    for picture in sys.argv[1:]:
        convert(picture)
