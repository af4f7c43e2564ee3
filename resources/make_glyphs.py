#!/usr/bin/env python3
"""Draws the twelve signal-lamp glyphs as 15 x 15, 16-colour (4-bit) BMP files.

Each glyph is a round lamp in a grey bevelled ring on an olive background; the lower-left pixel is
olive and is the transparent colour of the lamp control, so no lamp or ring pixel may use that colour.
A lit lamp is a bright colour with a white highlight at the upper left; a dark lamp is a dim version of
the same colour with only a faint sheen.

    python3 make_glyphs.py [OUTDIR]        write the files (default: glyphs/ next to this script)
    python3 make_glyphs.py --check [DIR]   exit 1 unless the files in DIR are what this script draws

Standard library only.
"""

import math
import os
import struct
import sys

from generated import write_or_check

SIZE = 15
CENTRE = 7.0
RING_OUTER = 7.3
RING_INNER = 5.3
OLIVE = (128, 128, 0)
SUPERSAMPLE = 4

# name: (lit colour, dark colour, colour of a lit lamp's edge or None for a darker shade of the body)
LAMPS = {
    "RED": ((255, 40, 30), (96, 18, 16), None),
    "GREEN": ((50, 235, 50), (18, 84, 22), None),
    "BLUE": ((60, 120, 255), (22, 38, 104), None),
    "YELLOW": ((255, 232, 30), (104, 88, 22), None),
    "PURPLE": ((205, 70, 240), (78, 28, 92), None),
    "BULB": ((255, 248, 205), (92, 90, 84), (235, 190, 70)),  # a warm white filament glow
}


def mix(a, b, t):
    t = min(1.0, max(0.0, t))
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def scale(c, f):
    return tuple(min(255.0, x * f) for x in c)


def ring_colour(dx, dy, r):
    # Light falls from the upper left onto a raised bezel: bright there, dark at the lower right,
    # with a thin dark rim towards the lamp.
    facing = -(dx + dy) / (math.sqrt(2.0) * max(r, 1e-6))
    grey = 150 + 62 * facing
    if r < RING_INNER + 0.6:
        grey -= 45
    return (grey, grey, grey + 4)


def lamp_colour(dx, dy, lit, colour, edge):
    hx, hy = -1.9, -1.9  # highlight centre, relative to the lamp centre
    dist_hl = math.hypot(dx - hx, dy - hy)
    r = math.hypot(dx, dy) / RING_INNER
    if lit:
        body = mix(colour, scale(colour, 0.62), (r - 0.35) / 0.65)
        body = mix(body, (255, 255, 255), (2.1 - dist_hl) / 2.1 * 0.95)
        if edge:
            body = mix(body, edge, (r - 0.55) / 0.45)
    else:
        body = mix(colour, scale(colour, 0.65), (r - 0.3) / 0.7)
        body = mix(body, scale(colour, 1.45), (1.3 - dist_hl) / 1.3 * 0.7)
    return body


def render(colour, lit, edge):
    """Returns rows of RGB tuples, or None for background pixels."""
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            acc = [0.0, 0.0, 0.0]
            covered = 0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    px = x + (sx + 0.5) / SUPERSAMPLE - 0.5 - CENTRE
                    py = y + (sy + 0.5) / SUPERSAMPLE - 0.5 - CENTRE
                    r = math.hypot(px, py)
                    if r > RING_OUTER:
                        continue
                    c = ring_colour(px, py, r) if r > RING_INNER else lamp_colour(px, py, lit, colour, edge)
                    covered += 1
                    for i in range(3):
                        acc[i] += c[i]
            if covered * 2 < SUPERSAMPLE * SUPERSAMPLE:
                row.append(None)
            else:
                row.append(tuple(int(round(v / covered)) for v in acc))
        rows.append(row)
    return rows


def distance2(a, b):
    return sum((x - y) ** 2 for x, y in zip(a, b))


def quantise(rows, count):
    """A deterministic k-means over the drawn pixels: `count` colours, none of them olive."""
    pixels = sorted(p for row in rows for p in row if p is not None)
    unique = sorted(set(pixels), key=lambda c: (sum(c), c))
    step = max(1, len(unique) / count)
    centres = [unique[min(len(unique) - 1, int(i * step))] for i in range(count)]
    for _ in range(20):
        groups = [[] for _ in centres]
        for p in pixels:
            groups[min(range(len(centres)), key=lambda i: distance2(p, centres[i]))].append(p)
        new = []
        for g, c in zip(groups, centres):
            if g:
                new.append(tuple(int(round(sum(p[i] for p in g) / len(g))) for i in range(3)))
            else:
                new.append(c)
        if new == centres:
            break
        centres = new
    # Keep every lamp colour visibly apart from the transparent olive.
    centres = [c if distance2(c, OLIVE) > 300 else (c[0], c[1], c[2] + 30) for c in centres]
    return centres


def bmp_4bit(rows, palette):
    """Encodes rows of palette indices as an uncompressed 4-bit BMP (bottom-up)."""
    row_bytes = ((SIZE * 4 + 31) // 32) * 4
    data = bytearray()
    for row in reversed(rows):
        packed = bytearray()
        for i in range(0, SIZE, 2):
            hi = row[i]
            lo = row[i + 1] if i + 1 < SIZE else 0
            packed.append((hi << 4) | lo)
        packed.extend(b"\0" * (row_bytes - len(packed)))
        data.extend(packed)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    offset = 14 + 40 + len(pal)
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 4, 0, len(data), 2835, 2835, 16, 0)
    return header + info + pal + bytes(data)


def glyph(colour, lit, edge=None):
    rows = render(colour, lit, edge)
    palette = [OLIVE] + quantise(rows, 15)
    indexed = []
    for row in rows:
        out = []
        for p in row:
            if p is None:
                out.append(0)
            else:
                out.append(1 + min(range(15), key=lambda i: distance2(p, palette[1 + i])))
        indexed.append(out)
    assert indexed[SIZE - 1][0] == 0, "the lower-left pixel must be the transparent olive"
    assert all(i != 0 for row, rgb in zip(indexed, rows) for i, p in zip(row, rgb) if p is not None)
    return bmp_4bit(indexed, palette)


def all_glyphs():
    for name, (lit, dark, edge) in LAMPS.items():
        yield "LED%sON.bmp" % name, glyph(lit, True, edge)
        yield "LED%sOFF.bmp" % name, glyph(dark, False)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    return write_or_check(argv, os.path.join(here, "glyphs"), all_glyphs(), "glyphs")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
