#!/usr/bin/env python3
"""Draws Ravelin's icons (a ravelin: the arrow-shaped outwork of a fortress) as PNG files.

Run once when the drawing changes; the PNGs are committed and compiled into the program.
"""
import struct
import sys
import zlib
from pathlib import Path

# The outwork seen from above: a point towards the field, two faces, a flat gorge.
OUTLINE = [(0.5, 0.06), (0.94, 0.55), (0.80, 0.94), (0.20, 0.94), (0.06, 0.55)]
FILL = (52, 101, 164, 255)
EDGE = (20, 50, 90, 255)
INNER = [(0.5, 0.30), (0.72, 0.58), (0.64, 0.78), (0.36, 0.78), (0.28, 0.58)]
INNER_FILL = (227, 237, 205, 255)


def inside(x, y, polygon):
    crossings = False
    for (x1, y1), (x2, y2) in zip(polygon, polygon[1:] + polygon[:1]):
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            crossings = not crossings
    return crossings


def coverage(px, py, size, polygon, samples=4):
    hits = 0
    for sy in range(samples):
        for sx in range(samples):
            if inside((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size, polygon):
                hits += 1
    return hits / (samples * samples)


def blend(under, over, alpha):
    return tuple(round(u * (1 - alpha) + o * alpha) for u, o in zip(under, over))


def draw(size):
    rows = []
    shrink = [(0.5 + (x - 0.5) * 0.86, 0.5 + (y - 0.5) * 0.86) for x, y in OUTLINE]
    for py in range(size):
        row = bytearray()
        for px in range(size):
            pixel = (0, 0, 0, 0)
            pixel = blend(pixel, EDGE, coverage(px, py, size, OUTLINE))
            pixel = blend(pixel, FILL, coverage(px, py, size, shrink))
            pixel = blend(pixel, INNER_FILL, coverage(px, py, size, INNER))
            row += bytes(pixel)
        rows.append(bytes([0]) + bytes(row))
    return b"".join(rows)


def png(size, pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b""))


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent / "icons"
    out.mkdir(parents=True, exist_ok=True)
    for size in (16, 32, 64):
        (out / f"ravelin-{size}.png").write_bytes(png(size, draw(size)))


if __name__ == "__main__":
    main()
