#!/usr/bin/env python3
"""Writes the sample bitmaps of examples/assets: palette bitmaps of 1, 4 and 8 bits (one
run-length coded), 24-bit pictures (photographic-like and flat artwork, bottom-up and one
top-down), 32-bit ones with and without alpha, a 16-bit one and a broken file named .bmp.
The pictures are computed, so the script always writes the same bytes.
Usage: python3 examples/make_bitmaps.py [ASSETS_DIR]   (default: examples/assets)
"""
import math
import os
import random
import struct
import sys


def bmp(width, height, bits, rows, palette=None, compression=0, top_down=False, pixel_data=None):
    """A BMP file: 14-byte file header, 40-byte info header, colour table, pixel rows.
    `rows` are the picture's rows from the top, each a bytes object of packed pixels."""
    stride = ((width * bits + 31) // 32) * 4
    if pixel_data is None:
        ordered = rows if top_down else list(reversed(rows))
        pixel_data = b"".join(r + bytes(stride - len(r)) for r in ordered)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in (palette or []))
    offset = 14 + 40 + len(table)
    info = struct.pack("<IiiHHIIiiII", 40, width, -height if top_down else height, 1, bits,
                       compression, len(pixel_data), 2835, 2835, len(palette or []), 0)
    header = b"BM" + struct.pack("<IHHI", offset + len(pixel_data), 0, 0, offset)
    return header + info + table + pixel_data


def photo_pixel(x, y, w, h, rnd):
    """A smooth sky-to-meadow picture with a sun and a little sensor noise."""
    t = y / h
    r, g, b = 90 + 120 * t, 150 + 60 * (1 - t), 230 - 150 * t
    d = math.hypot(x - w * 0.7, y - h * 0.3)
    glow = max(0.0, 1 - d / (w * 0.25))
    r, g, b = r + 120 * glow, g + 90 * glow, b + 20 * glow
    if t > 0.62:  # hills with a gentle wave
        wave = 0.62 + 0.05 * math.sin(x / w * 9)
        if t > wave:
            r, g, b = 60 + 40 * math.sin(x * 0.05), 140 + 30 * (t - wave) * 3, 50
    n = rnd.gauss(0, 3)
    return tuple(max(0, min(255, int(v + n))) for v in (r, g, b))


def photo_rows(w, h, seed):
    rnd = random.Random(seed)
    rows = []
    for y in range(h):
        row = bytearray()
        for x in range(w):
            r, g, b = photo_pixel(x, y, w, h, rnd)
            row += bytes((b, g, r))
        rows.append(bytes(row))
    return rows


def flat_art_rows(w, h):
    """Flat artwork: a few solid shapes with hard edges, like a game sprite sheet."""
    rows = []
    for y in range(h):
        row = bytearray()
        for x in range(w):
            colour = (240, 240, 232)
            if (x // 16 + y // 16) % 2 == 0 and y < h // 3:
                colour = (40, 60, 160)
            if (x - w / 2) ** 2 + (y - h / 2) ** 2 < (h / 4) ** 2:
                colour = (220, 40, 40)
            if abs(x - y) < 3:
                colour = (20, 20, 20)
            row += bytes((colour[2], colour[1], colour[0]))
        rows.append(bytes(row))
    return rows


def palette_rows(w, h, bits):
    rows = []
    levels = 1 << bits
    for y in range(h):
        values = [((x * 3 + y * 2) // 9 + (x // 12) * (y // 12)) % levels for x in range(w)]
        if bits == 8:
            row = bytes(values)
        elif bits == 4:
            row = bytes((values[i] << 4) | (values[i + 1] if i + 1 < w else 0) for i in range(0, w, 2))
        else:
            bitsrow = [(1 if (x // 8 + y // 8) % 2 else 0) for x in range(w)]
            row = bytes(sum(bitsrow[i + k] << (7 - k) for k in range(8) if i + k < w) for i in range(0, w, 8))
        rows.append(row)
    return rows


def rle8(w, h):
    """8-bit run-length coded pixel data: horizontal bands of runs, end-of-line markers."""
    out = bytearray()
    for y in range(h):  # bottom-up, as the file stores it
        x = 0
        while x < w:
            run = min(w - x, 20 + (y % 7) * 5)
            out += bytes((run, ((x // 20) * 30 + (y // 10) * 8) % 256))
            x += run
        out += b"\x00\x00"
    out += b"\x00\x01"
    return bytes(out)


def write(root, name, data):
    path = os.path.join(root, *name.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "assets")
    grey = [(i, i, i) for i in range(256)]
    warm = [(min(255, i * 2), i, 255 - i) for i in range(256)]
    sixteen = [(i * 17, 255 - i * 17, (i * 40) % 256) for i in range(16)]
    write(root, "bg/title.bmp", bmp(200, 120, 24, photo_rows(200, 120, 1)))
    write(root, "bg/Day/01.bmp", bmp(161, 97, 24, photo_rows(161, 97, 2)))  # odd width: padded rows
    write(root, "bg/topdown.bmp", bmp(64, 48, 24, photo_rows(64, 48, 3), top_down=True))
    write(root, "sprites/Hero.BMP", bmp(96, 64, 24, flat_art_rows(96, 64)))
    write(root, "sprites/no_alpha32.bmp", bmp(40, 30, 32, [
        b"".join(bytes((b, g, r, 0)) for b, g, r in zip(row[0::3], row[1::3], row[2::3]))
        for row in flat_art_rows(40, 30)]))
    write(root, "sprites/alpha32.bmp", bmp(40, 30, 32, [
        b"".join(bytes((b, g, r, (x * 6) % 256)) for x, (b, g, r) in enumerate(zip(row[0::3], row[1::3], row[2::3])))
        for row in flat_art_rows(40, 30)]))
    write(root, "sprites/hicolor16.bmp", bmp(33, 20, 16, [
        b"".join(struct.pack("<H", ((x & 31) << 10) | ((y & 31) << 5) | ((x + y) & 31)) for x in range(33))
        for y in range(20)]))
    write(root, "ui/palette8.bmp", bmp(128, 96, 8, palette_rows(128, 96, 8), warm))
    write(root, "ui/gray8_rle.bmp", bmp(120, 80, 8, None, grey, compression=1, pixel_data=rle8(120, 80)))
    write(root, "ui/icons4.bmp", bmp(75, 40, 4, palette_rows(75, 40, 4), sixteen))
    write(root, "ui/mask1.bmp", bmp(70, 33, 1, palette_rows(70, 33, 1), [(0, 0, 0), (255, 255, 255)]))
    write(root, "画像/背景.bmp", bmp(80, 60, 24, photo_rows(80, 60, 4)))
    write(root, "broken/not_really.bmp", b"BM this is not a bitmap at all")
    write(root, "broken/notes_bmp", b"a text file whose name happens to end in bmp\n")


if __name__ == "__main__":
    main()
