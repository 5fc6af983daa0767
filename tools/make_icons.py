#!/usr/bin/env python3
"""Draws Kestrune's icons and writes them as .ico files: a blue sheet with white lines of text
and an orange arrow coming in, the picture of a log being written.

    python3 tools/make_icons.py app/res

Writes Kestrune.ico (32x32, 32-bit) and TrayIcon.ico (16x16 and 32x32, each in 256 colours and
in 32-bit colour)."""
import os
import struct
import sys

BLUE = (0x1f, 0x4e, 0x9a)
EDGE = (0x12, 0x2f, 0x5e)
WHITE = (0xff, 0xff, 0xff)
ORANGE = (0xf2, 0x8c, 0x1c)


def draw(n):
    """Rows of (r, g, b, a), top row first, for an n x n picture."""
    s = n / 32.0
    img = [[None] * n for _ in range(n)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), max(int(y0 * s) + 1, int(y1 * s))):
            for x in range(int(x0 * s), max(int(x0 * s) + 1, int(x1 * s))):
                if 0 <= x < n and 0 <= y < n:
                    img[y][x] = colour

    rect(4, 2, 28, 30, EDGE)
    rect(5, 3, 27, 29, BLUE)
    for y in (8, 13, 18, 23):
        rect(12, y, 24, y + 2, WHITE)
    # The arrow: a shaft and a head pointing into the sheet.
    rect(1, 14, 8, 18, ORANGE)
    for i in range(5):
        rect(8 + i, 11 + i, 9 + i, 21 - i, ORANGE)
    return [[(c[0], c[1], c[2], 255) if c else (0, 0, 0, 0) for c in row] for row in img]


def mask_rows(img, n):
    rows = []
    stride = ((n + 31) // 32) * 4
    for row in reversed(img):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        rows.append(bytes(bits))
    return b"".join(rows)


def bitmap(img, n, bpp):
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, bpp, 0, 0, 0, 0,
                         256 if bpp == 8 else 0, 0)
    if bpp == 32:
        pixels = b"".join(bytes((b, g, r, a)) for row in reversed(img) for (r, g, b, a) in row)
        return header + pixels + mask_rows(img, n)
    palette = [(0, 0, 0)]
    for row in img:
        for (r, g, b, a) in row:
            if a and (r, g, b) not in palette:
                palette.append((r, g, b))
    table = b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette)
    table += bytes(4 * (256 - len(palette)))
    stride = (n + 3) // 4 * 4
    pixels = b""
    for row in reversed(img):
        line = bytes(palette.index((r, g, b)) if a else 0 for (r, g, b, a) in row)
        pixels += line + bytes(stride - n)
    return header + table + pixels + mask_rows(img, n)


def write_ico(path, images):
    """images: list of (size, bits per pixel)."""
    blobs = [bitmap(draw(n), n, bpp) for n, bpp in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (n, bpp), blob in zip(images, blobs):
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, bpp, len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(out + b"".join(blobs))


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "."
    write_ico(os.path.join(folder, "Kestrune.ico"), [(32, 32)])
    write_ico(os.path.join(folder, "TrayIcon.ico"), [(32, 8), (16, 8), (32, 32), (16, 32)])


if __name__ == "__main__":
    main()
