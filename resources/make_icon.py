#!/usr/bin/env python3
"""Draws the program's icon: a slate service box with a terminal screen (a green prompt and cursor),
a green and a red signal lamp and a serial connector.

The same shapes are written as a scalable SVG and rasterised into 48 x 48 and 128 x 128 RGBA PNG files
(4 x 4 supersampling, transparent outside the box), laid out as the hicolor icon theme wants them:

    icon/scalable/apps/com.varnholt.corvantel.svg
    icon/48x48/apps/com.varnholt.corvantel.png
    icon/128x128/apps/com.varnholt.corvantel.png

    python3 make_icon.py [OUTDIR]        write the files (default: icon/ next to this script)
    python3 make_icon.py --check [DIR]   exit 1 unless the files in DIR are what this script draws
                                         (PNG files are compared by their pixels)

Standard library only.
"""

import os
import struct
import sys
import zlib

from generated import write_or_check

NAME = "com.varnholt.corvantel"
VIEW = 128.0
SUPERSAMPLE = 4
PNG_SIZES = (48, 128)

# The drawing, back to front, in a 128 x 128 view box. Kinds: ("rrect", x, y, w, h, radius, colour),
# ("circle", cx, cy, r, colour), ("poly", [(x, y), ...], colour).
SHAPES = [
    ("rrect", 6, 10, 116, 108, 16, "#2e3946"),  # the box
    ("rrect", 10, 14, 108, 100, 13, "#3d4a5a"),  # its lighter face
    ("rrect", 18, 22, 92, 62, 7, "#0b1812"),  # the terminal screen
    ("poly", [(28, 34), (48, 50), (28, 66), (28, 57), (37, 50), (28, 43)], "#4be35e"),  # prompt
    ("rrect", 54, 60, 22, 7, 1, "#4be35e"),  # cursor
    ("circle", 30, 100, 8, "#1d2731"),  # lamp rings
    ("circle", 54, 100, 8, "#1d2731"),
    ("circle", 30, 100, 5.5, "#32eb32"),  # receive lamp, lit
    ("circle", 54, 100, 5.5, "#ff3a2a"),  # transmit lamp, lit
    ("circle", 28.3, 98.3, 1.8, "#e9ffe9"),  # highlights
    ("circle", 52.3, 98.3, 1.8, "#ffe6e0"),
    ("rrect", 72, 92, 38, 16, 5, "#1d2731"),  # serial connector
    ("circle", 80, 100, 2, "#9aa7b4"),
    ("circle", 91, 100, 2, "#9aa7b4"),
    ("circle", 102, 100, 2, "#9aa7b4"),
]


def rgb(colour):
    return tuple(int(colour[i : i + 2], 16) for i in (1, 3, 5))


def svg():
    out = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        '<svg xmlns="http://www.w3.org/2000/svg" width="128" height="128" viewBox="0 0 128 128">',
    ]
    for shape in SHAPES:
        kind = shape[0]
        if kind == "rrect":
            _, x, y, w, h, r, c = shape
            out.append('  <rect x="%g" y="%g" width="%g" height="%g" rx="%g" fill="%s"/>' % (x, y, w, h, r, c))
        elif kind == "circle":
            _, cx, cy, r, c = shape
            out.append('  <circle cx="%g" cy="%g" r="%g" fill="%s"/>' % (cx, cy, r, c))
        else:
            _, points, c = shape
            pts = " ".join("%g,%g" % p for p in points)
            out.append('  <polygon points="%s" fill="%s"/>' % (pts, c))
    out.append("</svg>")
    return ("\n".join(out) + "\n").encode("utf-8")


def inside(shape, x, y):
    kind = shape[0]
    if kind == "rrect":
        _, rx, ry, w, h, r, _c = shape
        if x < rx or y < ry or x > rx + w or y > ry + h:
            return False
        # Distance to the inner rectangle whose corners are the rounding circles' centres.
        dx = max(rx + r - x, 0.0, x - (rx + w - r))
        dy = max(ry + r - y, 0.0, y - (ry + h - r))
        return dx * dx + dy * dy <= r * r
    if kind == "circle":
        _, cx, cy, r, _c = shape
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    _, points, _c = shape
    result = False
    j = len(points) - 1
    for i in range(len(points)):
        xi, yi = points[i]
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            result = not result
        j = i
    return result


def bounds(shape):
    kind = shape[0]
    if kind == "rrect":
        _, x, y, w, h, _r, _c = shape
        return x, y, x + w, y + h
    if kind == "circle":
        _, cx, cy, r, _c = shape
        return cx - r, cy - r, cx + r, cy + r
    xs = [p[0] for p in shape[1]]
    ys = [p[1] for p in shape[1]]
    return min(xs), min(ys), max(xs), max(ys)


def raster(size):
    """Rows of RGBA bytes (each row starting with PNG filter type 0)."""
    # Front to back, so the first shape that covers a point is the visible one.
    layers = [(bounds(s), s, rgb(s[-1])) for s in reversed(SHAPES)]
    step = VIEW / size
    data = bytearray()
    for py in range(size):
        data.append(0)
        for px in range(size):
            acc = [0, 0, 0]
            covered = 0
            for sy in range(SUPERSAMPLE):
                y = (py + (sy + 0.5) / SUPERSAMPLE) * step
                for sx in range(SUPERSAMPLE):
                    x = (px + (sx + 0.5) / SUPERSAMPLE) * step
                    top = None
                    for (x0, y0, x1, y1), shape, colour in layers:
                        if x0 <= x <= x1 and y0 <= y <= y1 and inside(shape, x, y):
                            top = colour
                            break
                    if top is not None:
                        covered += 1
                        for i in range(3):
                            acc[i] += top[i]
            if covered:
                data.extend(int(round(v / covered)) for v in acc)
                data.append(int(round(255 * covered / (SUPERSAMPLE * SUPERSAMPLE))))
            else:
                data.extend(b"\0\0\0\0")
    return bytes(data)


def chunk(kind, payload):
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def png(size):
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", header)
        + chunk(b"IDAT", zlib.compress(raster(size), 9))
        + chunk(b"IEND", b"")
    )


def png_pixels(data):
    """The IHDR and the decompressed image data of a PNG file, for comparing by content."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    pos, ihdr, idat = 8, None, b""
    while pos + 8 <= len(data):
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind = data[pos + 4 : pos + 8]
        payload = data[pos + 8 : pos + 8 + length]
        if kind == b"IHDR":
            ihdr = payload
        elif kind == b"IDAT":
            idat += payload
        pos += 12 + length
    try:
        return ihdr, zlib.decompress(idat)
    except zlib.error:
        return None


def all_files():
    yield os.path.join("scalable", "apps", NAME + ".svg"), svg()
    for size in PNG_SIZES:
        yield os.path.join("%dx%d" % (size, size), "apps", NAME + ".png"), png(size)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))

    def same(name, present, data):
        return png_pixels(present) == png_pixels(data) if name.endswith(".png") else present == data

    return write_or_check(argv, os.path.join(here, "icon"), all_files(), "icon files", same)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
