#!/usr/bin/env python3
"""Draws Kestrune's icons: a teal tile with three log lines, each led by an amber marker.

Run from this folder to regenerate the PNG files; only the standard library is needed.
Writes tray icons 16x16 and 32x32 in 32-bit colour (RGBA) and in 256 colours (palette),
and the 32x32 application icon.
"""
import struct
import zlib

SUPERSAMPLE = 8
TILE = (0x1F, 0x5F, 0x7A)
LINE = (0xFF, 0xFF, 0xFF)
MARK = (0xFF, 0xB0, 0x20)


def inside_rounded(x, y, x0, y0, x1, y1, r):
    """True when point (x, y) lies in the rectangle [x0, x1) x [y0, y1) with corner radius r."""
    if x < x0 or x >= x1 or y < y0 or y >= y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def shape_at(u, v):
    """Colour of the motif at (u, v) in a unit square, or None outside it."""
    rows = [(0.22, 0.80), (0.45, 0.62), (0.68, 0.72)]  # (centre height, line end)
    half = 0.075
    for cy, end in rows:
        if inside_rounded(u, v, 0.18, cy - half, 0.34, cy + half, half):
            return MARK
        if inside_rounded(u, v, 0.40, cy - half, end, cy + half, half):
            return LINE
    if inside_rounded(u, v, 0.0, 0.0, 1.0, 1.0, 0.18):
        return TILE
    return None


def render(size):
    """RGBA rows, anti-aliased by supersampling."""
    pixels = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0]
            hits = 0
            for sy in range(n):
                for sx in range(n):
                    c = shape_at((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(round(a / hits) for a in acc) + (round(255 * hits / (n * n)),))
        pixels.append(row)
    return pixels


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(size, colour_type, rows, extra=b""):
    header = struct.pack(">IIBBBBB", size, size, 8, colour_type, 0, 0, 0)
    raw = b"".join(b"\0" + r for r in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + extra +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def write_rgba(path, pixels):
    rows = [bytes(v for p in row for v in p) for row in pixels]
    with open(path, "wb") as f:
        f.write(png(len(pixels), 6, rows))


def write_palette(path, pixels):
    """256 colours: the picture's own colours (coarsened until they fit) plus one transparent
    entry; alpha is all or nothing."""
    shift = 0
    while True:
        def q(c, s=shift):
            return tuple((v >> s) << s for v in c[:3])

        colours = sorted({q(p) for row in pixels for p in row if p[3] >= 128})
        if len(colours) <= 255:
            break
        shift += 1
    index = {c: i for i, c in enumerate(colours)}
    transparent = len(colours)
    rows = []
    for row in pixels:
        rows.append(bytes(transparent if p[3] < 128 else index[q(p)] for p in row))
    plte = chunk(b"PLTE", b"".join(bytes(c) for c in colours) + b"\0\0\0")
    trns = chunk(b"tRNS", b"\xff" * transparent + b"\x00")
    with open(path, "wb") as f:
        f.write(png(len(pixels), 3, rows, plte + trns))


if __name__ == "__main__":
    for size in (16, 32):
        pixels = render(size)
        write_rgba(f"tray-{size}-32bit.png", pixels)
        write_palette(f"tray-{size}-8bit.png", pixels)
    write_rgba("kestrune-32.png", render(32))
