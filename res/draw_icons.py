#!/usr/bin/env python3
"""Draws the program's icons: a pentagram inside a ring.

Writes res/icons/app.ico (32x32 and 16x16 at 4 and 8 bits per pixel) and the three
16x16 4-bit tray pictures, which share one mask and one pattern of bright and dark
pixels and differ only in their two colours; and the tray's alarm picture, a warning
triangle (yellow, red rim, black exclamation mark) that no one takes for the ring. Standard library only; the output is
deterministic, so running it again reproduces the committed files byte for byte.

Usage: python3 res/draw_icons.py [output directory]   (default: res/icons next to this file)
"""

import math
import os
import struct
import sys

# The standard 16-colour palette (index order of the Windows VGA palette).
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]

# Bright and dark colour of each tray picture, as indexes into VGA16.
RED = (9, 1)
GREEN = (10, 2)
MAGENTA = (13, 5)

# Pixel classes of the drawing (LINE: the small image's star).
CLEAR, DARK, BRIGHT, EDGE, GLOW, LINE = range(6)

# Extra tones of the 256-colour images, appended after the 16 standard colours.
ORANGE_RED = (255, 69, 0)
PINK = (255, 160, 176)
PALETTE256 = VGA16 + [ORANGE_RED, PINK] + [(0, 0, 0)] * (256 - 18)
IDX_ORANGE_RED = 16
IDX_PINK = 17


def _segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    qx, qy = ax + t * dx, ay + t * dy
    return math.hypot(px - qx, py - qy)


def classify(size):
    """Returns size x size pixel classes, row 0 at the top."""
    if size <= 16:
        return _classify_small(size)
    c = size / 2.0
    outer = c - 0.2
    ring = 2.2
    half_line = 0.75
    star_r = outer - ring + 0.4
    points = []
    for k in range(5):
        a = math.radians(-90 + 72 * k)
        points.append((c + star_r * math.cos(a), c + star_r * math.sin(a)))
    lines = [(points[k], points[(k + 2) % 5]) for k in range(5)]
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            px, py = x + 0.5, y + 0.5
            d = math.hypot(px - c, py - c)
            if d > outer:
                row.append(CLEAR)
                continue
            if d >= outer - ring:
                # Light falls from the upper left: the ring's upper-left arc glows.
                lit = (px - c) + (py - c) < -0.9 * d
                row.append(GLOW if lit else BRIGHT)
                continue
            near = min(_segment_distance(px, py, a[0], a[1], b[0], b[1]) for a, b in lines)
            if near <= half_line:
                row.append(BRIGHT)
            elif near <= half_line + 0.55:
                row.append(EDGE)
            else:
                row.append(DARK)
        rows.append(row)
    return rows


def _classify_small(size):
    """At 16 pixels the shapes are rasterised one pixel wide, so the star stays legible."""
    c = size // 2
    radius = c - 1
    rows = [[CLEAR] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            d = math.hypot(x - c, y - c)
            if d <= radius + 0.5:
                rows[y][x] = DARK
            if radius - 0.5 <= d <= radius + 0.5:
                lit = (x - c) + (y - c) < -0.9 * d
                rows[y][x] = GLOW if lit else BRIGHT
    star_r = radius - 1
    points = []
    for k in range(5):
        a = math.radians(-90 + 72 * k)
        points.append((c + star_r * math.cos(a), c + star_r * math.sin(a)))
    for k in range(5):
        (ax, ay), (bx, by) = points[k], points[(k + 2) % 5]
        steps = int(max(abs(bx - ax), abs(by - ay)) * 2) + 1
        for i in range(steps + 1):
            t = i / steps
            x = int(math.floor(ax + t * (bx - ax) + 0.5))
            y = int(math.floor(ay + t * (by - ay) + 0.5))
            if rows[y][x] == DARK:
                rows[y][x] = LINE
    return rows


def pixels_4bpp(classes, colours):
    bright, dark = colours
    # The 16-colour images know two tones only: glow is bright, edges are dark.
    table = {CLEAR: 0, DARK: dark, BRIGHT: bright, EDGE: dark, GLOW: bright, LINE: bright}
    return [[table[v] for v in row] for row in classes]


def pixels_8bpp(classes):
    # The small image has no room for edges: its star is drawn in orange-red instead.
    table = {CLEAR: 0, DARK: 1, BRIGHT: 9, EDGE: IDX_ORANGE_RED, GLOW: IDX_PINK, LINE: IDX_ORANGE_RED}
    return [[table[v] for v in row] for row in classes]


def _pad4(data):
    return data + b"\0" * (-len(data) % 4)


def dib(indexes, mask, bpp, palette):
    """A BMP-in-ICO image: header, palette, bottom-up colour rows, bottom-up AND rows."""
    size = len(indexes)
    colour_rows = []
    mask_rows = []
    for y in range(size - 1, -1, -1):
        row = indexes[y]
        if bpp == 4:
            raw = bytes((row[x] << 4) | row[x + 1] for x in range(0, size, 2))
        else:
            raw = bytes(row)
        colour_rows.append(_pad4(raw))
        bits = bytearray((size + 7) // 8)
        for x in range(size):
            if mask[y][x]:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask_rows.append(_pad4(bytes(bits)))
    colour = b"".join(colour_rows)
    andmask = b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0,
                         len(colour) + len(andmask), 0, 0, 0, 0)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    return header + pal + colour + andmask


def ico(images):
    """images: list of (size, bpp, dib bytes)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = []
    for size, bpp, data in images:
        colours = 16 if bpp == 4 else 0
        out += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bpp,
                           len(data), offset)
        offset += len(data)
        blobs.append(data)
    return out + b"".join(blobs)


def image(size, bpp, colours=RED):
    classes = classify(size)
    mask = [[1 if v == CLEAR else 0 for v in row] for row in classes]
    if bpp == 4:
        return size, bpp, dib(pixels_4bpp(classes, colours), mask, 4, VGA16)
    return size, bpp, dib(pixels_8bpp(classes), mask, 8, PALETTE256)


def alarm_image():
    """The 16x16 4-bit alarm picture: a triangle standing on its base, point up."""
    size = 16
    black, red, yellow = 0, 9, 11
    apex_y, base_y = 0.5, 15.0
    indexes = [[0] * size for _ in range(size)]
    mask = [[1] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            px, py = x + 0.5, y + 0.5
            if py < apex_y or py > base_y:
                continue
            half = (py - apex_y) * (size / 2.0) / (base_y - apex_y)
            off = abs(px - size / 2.0)
            if off > half + 0.25:
                continue
            mask[y][x] = 0
            rim = off > half - 1.2 or py > base_y - 1.0
            indexes[y][x] = red if rim else yellow
    # The exclamation mark: a bar and a dot, two pixels wide, in the middle.
    for y in list(range(5, 11)) + [12, 13]:
        for x in (7, 8):
            indexes[y][x] = black
    return size, 4, dib(indexes, mask, 4, VGA16)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "icons")
    os.makedirs(outdir, exist_ok=True)
    files = {
        "app.ico": [image(32, 4), image(16, 4), image(32, 8), image(16, 8)],
        "tray_idle.ico": [image(16, 4, RED)],
        "tray_ok.ico": [image(16, 4, GREEN)],
        "tray_error.ico": [image(16, 4, MAGENTA)],
        "tray_alarm.ico": [alarm_image()],
    }
    for name, images in files.items():
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(ico(images))


if __name__ == "__main__":
    main()
