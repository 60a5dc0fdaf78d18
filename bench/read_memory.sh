#!/usr/bin/env bash
# Peak memory (resident set) of `kupack -t`, `kupack -x` and `kupack --diff` on archives of
# one 200 MB entry: a 24-bit bitmap (SPB) and an 8-bit bitmap (LZSS). Reading decodes in
# bounded pieces, so the peak should stay far below the entry's size (the bound is 64 MiB).
# --diff compares each with the same bitmap whose last byte differs: both are decoded
# through its whole window, the worst case for its time.
# Usage: bench/read_memory.sh [KUPACK_BINARY]   (default: build/kupack, built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
kupack=${1:-build/kupack}
if [ ! -x "$kupack" ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j2 --target kupack >/dev/null
fi
kupack=$(realpath "$kupack")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Two bitmaps of about 200 MB with smooth gradients and some noise, rows made from shifted
# slices of one long pattern so that writing them is quick.
python3 - "$work" <<'PY'
import os, random, struct, sys
work = sys.argv[1]
random.seed(7)

def write_bmp(path, width, height, bits, palette, pattern):
    stride = (width * bits // 8 + 3) // 4 * 4
    row_bytes = width * bits // 8
    offset = 54 + len(palette)
    with open(path, "wb") as out:
        out.write(b"BM" + struct.pack("<IHHI", offset + stride * height, 0, 0, offset))
        out.write(struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, stride * height,
                              2835, 2835, len(palette) // 4, 0))
        out.write(palette)
        pad = bytes(stride - row_bytes)
        for y in range(height):
            start = (y * 7919) % (len(pattern) - row_bytes)
            out.write(pattern[start:start + row_bytes] + pad)

os.makedirs(os.path.join(work, "true"), exist_ok=True)
os.makedirs(os.path.join(work, "pal"), exist_ok=True)
smooth = bytearray()
level = [128, 128, 128]
for i in range(8192 * 3 * 4):
    c = i % 3
    level[c] = max(0, min(255, level[c] + random.choice((-2, -1, 0, 0, 1, 2))))
    smooth.append(level[c])
write_bmp(os.path.join(work, "true", "big24.bmp"), 8192, 8138, 24, b"", bytes(smooth))
palette = b"".join(bytes((i, 255 - i, (i * 7) & 255, 0)) for i in range(256))
runs = bytearray()
while len(runs) < 14144 * 4:
    runs += bytes([random.randrange(256)]) * random.choice((1, 2, 4, 9, 30))
write_bmp(os.path.join(work, "pal", "big8.bmp"), 14144, 14140, 8, palette, bytes(runs))
PY

peak() {  # the peak resident set of a command in KiB, and its wall time
  /usr/bin/time -f "%M KiB in %e s" -o "$work/peak" "$@" >/dev/null
  cat "$work/peak"
}
for kind in true pal; do
  (cd "$work" && "$kupack" "$kind" "$kind.kup" >/dev/null)
  size=$(stat -c %s "$work/$kind"/*.bmp)
  test_peak=$(peak "$kupack" -t "$work/$kind.kup")
  extract_peak=$(peak "$kupack" -x "$work/$kind.kup" -C "$work/out-$kind")
  cmp "$work/$kind"/*.bmp "$work/out-$kind"/*.bmp >/dev/null ||
    { echo "read_memory: the extracted $kind bitmap differs from the packed one" >&2; exit 1; }
  printf '%-6s entry of %s bytes: peak RSS, time: -t %s, -x %s\n' \
    "$([ "$kind" = true ] && echo 24-bit || echo 8-bit)" "$size" "$test_peak" "$extract_peak"
  rm -rf "$work/out-$kind"
  mkdir -p "$work/$kind-edit"
  cp "$work/$kind"/*.bmp "$work/$kind-edit/"
  python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(-1, 2); b = f.read(1); f.seek(-1, 2); f.write(bytes([b[0] ^ 1]))' "$work/$kind-edit"/*.bmp
  (cd "$work" && "$kupack" -q "$kind-edit" "$kind-edit.kup")
  diff_peak=$(peak "$kupack" --diff "$work/$kind.kup" "$work/$kind-edit.kup" || true)
  printf '%-6s --diff against a copy with its last byte changed: peak RSS, time: %s\n' \
    "$([ "$kind" = true ] && echo 24-bit || echo 8-bit)" "$diff_peak"
  rm -rf "$work/$kind-edit" "$work/$kind-edit.kup"
done
