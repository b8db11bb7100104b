#!/usr/bin/env python3
"""Writes the Vostrel icon as PNG files for the Linux desktop (the hicolor icon theme).

The picture is the one res/make_icon.py draws for vostrel.exe, rendered here at the sizes a
desktop menu asks for. Only the standard library is used, and the output is the same on every
run, so the PNG files are committed and need no Python at build time.

    python3 packaging/make_png.py [FOLDER]      (default: packaging/icons beside this script)
"""

import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "res"))
import make_icon  # noqa: E402  (the drawing of the Windows icon)

SIZES = (16, 32, 48, 64, 128, 256)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(size, rows):
    """An 8-bit RGBA PNG of the rows of (r, g, b, a), top to bottom."""
    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter
        for pixel in row:
            raw += bytes(pixel)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "icons")
    os.makedirs(folder, exist_ok=True)
    for size in SIZES:
        path = os.path.join(folder, f"vostrel-{size}.png")
        with open(path, "wb") as f:
            f.write(png(size, make_icon.render(size)))
        print(f"wrote {path}")


if __name__ == "__main__":
    main()
