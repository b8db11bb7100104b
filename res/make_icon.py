#!/usr/bin/env python3
"""Draws the Vostrel application icon and writes it as a multi-size .ico file.

The picture: a magnifying glass over a directory page, white on a blue rounded square. It is
drawn from simple shapes with 4 x 4 supersampling, at 16, 24, 32 and 48 pixels, and stored as
32-bit images with an alpha channel and the classic AND mask, which every Windows version and
Wine read. Only the standard library is used, and the output is the same on every run.

    python3 res/make_icon.py [OUTPUT]      (default: vostrel.ico beside this script)
"""

import math
import os
import struct
import sys

SIZES = (16, 24, 32, 48)
SUPERSAMPLE = 4

# Colours as (red, green, blue).
BLUE_TOP = (0x3A, 0x7B, 0xE0)
BLUE_BOTTOM = (0x15, 0x47, 0xA3)
WHITE = (0xFF, 0xFF, 0xFF)
LENS = (0xD6, 0xE6, 0xFF)
INK = (0x1D, 0x55, 0xB8)
BORDER = (0x0E, 0x33, 0x7A)


def rounded_square_distance(x, y, half, radius):
    """Signed distance from the centre-based point to a rounded square of half-size half."""
    qx = abs(x) - (half - radius)
    qy = abs(y) - (half - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    inside = min(max(qx, qy), 0.0)
    return outside + inside - radius


def segment_distance(px, py, ax, ay, bx, by):
    """Distance from a point to the segment a-b."""
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def shade(u, v, size):
    """The colour and opacity of one sample at unit coordinates (u, v), origin top left."""
    # Background tile with a thin darker rim.
    d = rounded_square_distance(u - 0.5, v - 0.5, 0.47, 0.16)
    if d > 0:
        return None
    colour = tuple(round(t + (b - t) * v) for t, b in zip(BLUE_TOP, BLUE_BOTTOM))
    if d > -0.035:
        colour = BORDER

    cx, cy, ring = 0.42, 0.41, 0.23
    r = math.hypot(u - cx, v - cy)
    thickness = 0.075 if size >= 32 else 0.095

    # Handle from the ring towards the lower right corner, with round ends.
    angle = math.radians(45)
    hx0 = cx + math.cos(angle) * (ring + thickness * 0.3)
    hy0 = cy + math.sin(angle) * (ring + thickness * 0.3)
    if segment_distance(u, v, hx0, hy0, 0.80, 0.79) < (0.075 if size >= 32 else 0.09):
        return WHITE

    if abs(r - ring) < thickness / 2:
        return WHITE
    if r < ring - thickness / 2:
        colour = LENS
        # A directory page seen through the lens: three lines of entries, on larger sizes only.
        if size >= 24:
            line_half = 0.022 if size >= 32 else 0.03
            for row, length in ((-0.08, 0.22), (0.0, 0.26), (0.08, 0.16)):
                x0 = cx - 0.13
                if abs(v - (cy + row)) < line_half and x0 <= u <= x0 + length:
                    colour = INK
    return colour


def render(size):
    """Rows of (r, g, b, a) from top to bottom."""
    rows = []
    n = SUPERSAMPLE
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0]
            hits = 0
            for sy in range(n):
                for sx in range(n):
                    u = (x + (sx + 0.5) / n) / size
                    v = (y + (sy + 0.5) / n) / size
                    c = shade(u, v, size)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                alpha = round(255 * hits / (n * n))
                row.append(tuple(round(a / hits) for a in acc) + (alpha,))
        rows.append(row)
    return rows


def dib(size, rows):
    """One icon image: a BITMAPINFOHEADER, the BGRA pixels bottom-up and the AND mask."""
    mask_stride = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def icon_file(sizes):
    images = [dib(s, render(s)) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for s, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    return bytes(out)


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "vostrel.ico")
    with open(target, "wb") as f:
        f.write(icon_file(SIZES))
    print(f"wrote {target} ({', '.join(str(s) for s in SIZES)} px)")


if __name__ == "__main__":
    main()
