#!/usr/bin/env python3
"""Builds a game-like tree from the picture corpus: about 530 palette pictures and 140
true-colour pictures cut from the corpus's bitmaps (sprites, tiles, backgrounds of 16 to 800
pixels a side), and about 390 other files (scripts that repeat, sounds and data that do
not), about 140 MB in all, in nested folders. The same corpus gives the same tree.
Usage: bench/game_tree.py CORPUS OUT"""
import os, random, struct, sys

corpus, out = sys.argv[1], sys.argv[2]
random.seed(28)


def load(path):
    data = open(path, "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    header, width, height, _, bits, compression, _, _, _, colours = struct.unpack_from(
        "<IiiHHIIiiI", data, 14)
    if compression != 0 or bits not in (8, 24) or height <= 0:
        return None
    palette = data[14 + header:offset] if bits == 8 else b""
    stride = (width * bits // 8 + 3) & ~3
    return dict(width=width, height=height, bits=bits, palette=palette,
                colours=colours, stride=stride, pixels=data[offset:])


def crop(picture, w, h):
    bpp = picture["bits"] // 8
    x = random.randrange(0, picture["width"] - w + 1)
    y = random.randrange(0, picture["height"] - h + 1)
    stride = (w * bpp + 3) & ~3
    rows = []
    for row in range(y, y + h):
        start = row * picture["stride"] + x * bpp
        rows.append(picture["pixels"][start:start + w * bpp].ljust(stride, b"\0"))
    body = picture["palette"] + b"".join(rows)
    offset = 54 + len(picture["palette"])
    return (b"BM" + struct.pack("<IHHI", offset + len(body) - len(picture["palette"]), 0, 0, offset)
            + struct.pack("<IiiHHIIiiII", 40, w, h, 1, picture["bits"], 0, stride * h, 2835, 2835,
                          picture["colours"], 0) + body)


pictures = {8: [], 24: []}
for folder, _, names in os.walk(corpus):
    for name in sorted(names):
        picture = load(os.path.join(folder, name))
        if picture:
            pictures[picture["bits"]].append(picture)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def side():
    return random.choice([16, 24, 32, 48, 64, 96, 128, 200, 256, 320, 480, 640, 800])


for i in range(532):
    picture = random.choice(pictures[8])
    w, h = min(side(), picture["width"]), min(side(), picture["height"])
    write(os.path.join(out, "graphics", f"area{i % 12}", f"sprite{i:04}.bmp"), crop(picture, w, h))
for i in range(142):
    picture = random.choice(pictures[24])
    w, h = min(side() * 2, picture["width"]), min(side() * 2, picture["height"])
    write(os.path.join(out, "cg", f"chapter{i % 6}", f"cg{i:03}.bmp"), crop(picture, w, h))
noise = os.urandom(8 << 20)
text = (b"@say \"level data, scripts and sounds of a game\"\n@wait 30\n" * 200000)[: 8 << 20]
for i in range(389):
    size = random.choice([300, 2048, 9000, 30000, 120000, 400000])
    kind = random.choice(["script", "sound", "data"])
    data = text if kind == "script" else noise
    start = random.randrange(0, len(data) - size)
    write(os.path.join(out, kind, f"part{i % 7}", f"{kind}{i:03}.dat"), data[start:start + size])
