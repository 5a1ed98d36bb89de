#!/usr/bin/env python3
"""Draws the Korvanel icon (a sun over a solar panel, with a cleared-register
mark) and writes res/korvanel.ico (32x32 and 16x16, 16 colours each) and
res/korvanel.png (32x32). Only the standard library: run it again after
changing the art, and commit the outputs."""

import math
import os
import struct
import zlib

# The 16 colours of the classic VGA palette, as (r, g, b).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, OLIVE, SILVER, GRAY, YELLOW, BLUE, AQUA, WHITE, GREEN, LIME = 0, 4, 3, 7, 8, 11, 12, 14, 15, 2, 10
CLEAR = None  # transparent


def draw(size):
    s = size / 32.0
    img = [[CLEAR] * size for _ in range(size)]

    def put(x, y, c):
        if 0 <= x < size and 0 <= y < size:
            img[y][x] = c

    # Sun, upper left: disc with a darker rim and eight rays.
    cx, cy, r = 9.5 * s, 8.5 * s, 5.2 * s
    for y in range(size):
        for x in range(size):
            d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
            if d <= r - 1.0 * max(s, 0.75):
                put(x, y, YELLOW)
            elif d <= r:
                put(x, y, OLIVE)
    for k in range(8):
        a = k * math.pi / 4
        for t in (r + 1.5 * s, r + 2.6 * s, r + 3.4 * s):
            put(int(cx + t * math.cos(a)), int(cy + t * math.sin(a)), YELLOW)

    # Solar panel: a slanted blue slab with a silver frame and cell grid.
    top, bottom = 14 * s, 29 * s
    for y in range(size):
        fy = y + 0.5
        if not (top <= fy <= bottom):
            continue
        # The slab leans: its left edge moves left as it goes down.
        left = 13 * s - (fy - top) * 0.55
        right = 31 * s - (fy - top) * 0.25
        for x in range(size):
            fx = x + 0.5
            if not (left <= fx <= right):
                continue
            edge = fx - left < 1.0 or right - fx < 1.0 or fy - top < 1.0 or bottom - fy < 1.0
            u = (fx - left) / (right - left)
            v = (fy - top) / (bottom - top)
            grid = (abs(u * 4 - round(u * 4)) * (right - left) / 4 < 0.5 or
                    abs(v * 3 - round(v * 3)) * (bottom - top) / 3 < 0.5)
            if edge:
                put(x, y, SILVER)
            elif grid and size >= 32:
                put(x, y, AQUA)
            elif grid:
                put(x, y, BLUE)
            else:
                put(x, y, NAVY)

    # The cleared register: a green tick in a white badge, lower right.
    bx, by, br = 24.5 * s, 23.5 * s, 6.5 * s
    for y in range(size):
        for x in range(size):
            d = math.hypot(x + 0.5 - bx, y + 0.5 - by)
            if d <= br - max(s, 0.75):
                put(x, y, WHITE)
            elif d <= br:
                put(x, y, GREEN)
    tick = [(-3.2, 0.0), (-1.0, 2.4), (3.4, -2.6)]
    for (x0, y0), (x1, y1) in zip(tick, tick[1:]):
        steps = 40
        for i in range(steps + 1):
            t = i / steps
            px = bx + (x0 + (x1 - x0) * t) * s
            py = by + (y0 + (y1 - y0) * t) * s
            for ox, oy in ((0, 0), (0, 1) if size >= 32 else (0, 0), (1, 0) if size >= 32 else (0, 0)):
                put(int(px) + ox, int(py) + oy, GREEN)
    return img


def bmp_for_icon(img):
    """A 4-bit DIB with its AND mask, as an .ico image entry holds it."""
    size = len(img)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor_rows, and_rows = [], []
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    for row in reversed(img):  # bottom-up
        nib = [0 if c is None else c for c in row]
        data = bytes((nib[i] << 4) | nib[i + 1] for i in range(0, size, 2))
        xor_rows.append(data.ljust(xor_stride, b'\0'))
        bits = bytearray(and_stride)
        for x, c in enumerate(row):
            if c is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_rows.append(bytes(bits))
    return header + palette + b''.join(xor_rows) + b''.join(and_rows)


def write_ico(path, images):
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for img in images:
        blob = bmp_for_icon(img)
        size = len(img)
        entries.append(struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    with open(path, 'wb') as f:
        f.write(struct.pack('<HHH', 0, 1, len(images)) + b''.join(entries) + b''.join(blobs))


def write_png(path, img):
    size = len(img)
    raw = b''
    for row in img:
        raw += b'\0'
        for c in row:
            raw += bytes((0, 0, 0, 0)) if c is None else bytes(PALETTE[c] + (255,))

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xFFFFFFFF)

    png = b'\x89PNG\r\n\x1a\n'
    png += chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0))
    png += chunk(b'IDAT', zlib.compress(raw, 9))
    png += chunk(b'IEND', b'')
    with open(path, 'wb') as f:
        f.write(png)


# At 16x16 the shapes are placed by hand: scaled down they blur into noise.
SMALL = [
    "Y...Y...Y.......",
    ".Y.OOO.Y........",
    "..OYYYO.........",
    ".OYYYYYO........",
    "YOYYYYYOY.......",
    ".OYYYYYO........",
    "..OYYYO.SSSSSSS.",
    ".Y.OOO.SNANANAS.",
    "Y...Y.SAAAAAAAS.",
    "......SNANGGGGG.",
    ".....SAAAGWWWWGG",
    ".....SNANGWWWGWG",
    "....SAAAAGGWGWWG",
    "....SNANAGWGWWWG",
    "...SSSSSSGWWWWWG",
    "..........GGGGG.",
]
LETTERS = {'.': CLEAR, 'Y': YELLOW, 'O': OLIVE, 'S': SILVER, 'N': NAVY, 'A': BLUE,
           'W': WHITE, 'G': GREEN}


def draw_small():
    return [[LETTERS[ch] for ch in row] for row in SMALL]


if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    big, small = draw(32), draw_small()
    write_ico(os.path.join(here, 'korvanel.ico'), [big, small])
    write_png(os.path.join(here, 'korvanel.png'), big)
    write_png(os.path.join(here, 'korvanel-16.png'), small)
