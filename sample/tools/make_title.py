#!/usr/bin/env python3
"""Writes the sample demo's title picture, sample/pictures/title.png.

The letters come from a 5 x 7 pixel font defined below, drawn large with a
soft halo around them, white on black: the scenes add the picture to the
screen, so black is transparent and the halo glows.
"""
import math
import os
import struct
import zlib

FONT = {  # 5 x 7, one string of five bits per row
    "G": ["01110", "10001", "10000", "10111", "10001", "10001", "01111"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "W": ["10001", "10001", "10001", "10101", "10101", "10101", "01010"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "+": ["00000", "00100", "00100", "11111", "00100", "00100", "00000"],
    " ": ["00000"] * 7,
}
TEXT = "GLOW + PULSE"
WIDTH, HEIGHT = 256, 64
CELL = 3  # pixels per font dot


def coverage():
    """Letter coverage, 0 or 1 per pixel, centred in the picture."""
    advance = 6 * CELL
    text_w = len(TEXT) * advance - CELL
    x0 = (WIDTH - text_w) // 2
    y0 = (HEIGHT - 7 * CELL) // 2
    img = [[0.0] * WIDTH for _ in range(HEIGHT)]
    for i, ch in enumerate(TEXT):
        for row, bits in enumerate(FONT[ch]):
            for col, bit in enumerate(bits):
                if bit == "1":
                    for dy in range(CELL):
                        for dx in range(CELL):
                            img[y0 + row * CELL + dy][x0 + i * advance + col * CELL + dx] = 1.0
    return img


def blur(img, radius):
    kernel = [math.exp(-(k * k) / (2 * (radius / 2.0) ** 2)) for k in range(-radius, radius + 1)]
    total = sum(kernel)
    kernel = [k / total for k in kernel]

    def pass_(src, horizontal):
        out = [[0.0] * WIDTH for _ in range(HEIGHT)]
        for y in range(HEIGHT):
            for x in range(WIDTH):
                s = 0.0
                for k, w in enumerate(kernel):
                    o = k - radius
                    xx, yy = (x + o, y) if horizontal else (x, y + o)
                    if 0 <= xx < WIDTH and 0 <= yy < HEIGHT:
                        s += w * src[yy][xx]
                out[y][x] = s
        return out

    return pass_(pass_(img, True), False)


def png(rows):
    raw = b"".join(b"\0" + bytes(row) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    core = coverage()
    halo = blur(core, 8)
    rows = []
    for y in range(HEIGHT):
        row = []
        for x in range(WIDTH):
            glow = min(1.0, halo[y][x] * 1.6)
            # White letters in a violet-to-orange halo.
            r = min(1.0, core[y][x] + glow * 0.95)
            g = min(1.0, core[y][x] + glow * 0.45)
            b = min(1.0, core[y][x] + glow * 0.75)
            row += [int(r * 255), int(g * 255), int(b * 255)]
        rows.append(row)
    here = os.path.dirname(os.path.abspath(__file__))
    target = os.path.join(here, "..", "pictures", "title.png")
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as f:
        f.write(png(rows))
    print("wrote", os.path.normpath(target), os.path.getsize(target), "bytes")
