#!/usr/bin/env bash
# Packs a generated tree of about 200 MB of stored (non-bitmap) files with kupack and with
# `tar -cf`, in the same run, and prints both times and their ratio (best of 3 each), and
# kupack's peak memory. Goal: at most 1.1 times tar's time.
# Usage: bench/stored_vs_tar.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -x "$build/kupack" ] || { echo "build kupack first (cmake --build $build)"; exit 1; }
work=$(mktemp -d /tmp/kup-stored-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree" "$work/start"

# 200 MB in files of 4 KiB to 8 MiB, in nested folders, with content that does not repeat.
python3 - "$work/tree" <<'PY'
import os, random, sys
random.seed(1)
root, total, i = sys.argv[1], 0, 0
block = os.urandom(1 << 20)
while total < 200 * 1000 * 1000:
    size = random.choice([4096, 65536, 300000, 1 << 20, 3 << 20, 8 << 20])
    folder = os.path.join(root, f"d{i % 7}", f"e{i % 3}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"file{i}.dat"), "wb") as f:
        left = size
        while left:
            n = min(left, len(block)); f.write(block[:n]); left -= n
    total += size; i += 1
print(f"{i} files, {total / 1e6:.0f} MB", file=sys.stderr)
PY
cat $(find "$work/tree" -type f) >/dev/null   # both start from a warm page cache

source bench/timing.sh
kup() { (cd "$work/start" && "$OLDPWD/$build/kupack" "$work/tree" "$work/out.kup"); }
tarrun() { tar -cf "$work/out.tar" -C "$work/tree" .; }
tk=$(best kup); tt=$(best tarrun)
awk -v k="$tk" -v t="$tt" 'BEGIN { printf "kupack: %.3f s   tar -cf: %.3f s   ratio kupack/tar: %.2f\n", k, t, k / t }'
if [ -x /usr/bin/time ]; then
  (cd "$work/start" && /usr/bin/time -f %M -o "$work/rss" "$OLDPWD/$build/kupack" "$work/tree" "$work/out.kup" >/dev/null)
  awk '{ printf "kupack peak memory: %.0f MiB\n", $1 / 1024 }' "$work/rss"
fi
ls -l "$work/out.kup" "$work/out.tar" | awk '{print $5, $9}'
