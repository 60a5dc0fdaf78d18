#!/usr/bin/env bash
# Whole kupack runs with every core against `-j 1`, side by side in one run (alternately,
# best of 5 each, warm page cache), over a folder of pictures and over a mixed tree (the same
# pictures, plus about 60 MB of other files that are stored), with each run's peak memory.
# Goal on 2 cores: the mixed tree with every core in at most 0.6 of the time of -j 1. Last,
# the peak memory of runs over 100 hard links to one palette bitmap at -j 1, 2, 16 and 1024.
# Usage: bench/pipeline_bench.sh [CORPUS] [BUILD_DIR] [game]
#   CORPUS: a folder of bitmaps (the bench corpus script's output; default /tmp/kupack-corpus)
#   game: only the game-like tree's part (and nothing after it)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
corpus=${1:-/tmp/kupack-corpus}
[ -d "$corpus" ] || { echo "no corpus at $corpus (make it with the bench corpus script)"; exit 1; }
corpus=$(cd "$corpus" && pwd)
build=$root/${2:-build}
[ -x "$build/kupack" ] || { echo "build kupack first (cmake --build ${2:-build})"; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (tools/install-deps.sh bench)"; exit 1; }
work=$(mktemp -d /tmp/kup-pipeline-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/start"

only=${3:-}
if [ "$only" != game ]; then
# The mixed tree: the corpus, and files of 2 KiB to 4 MiB beside it in nested folders, half
# of them text that repeats, half bytes that do not.
cp -r "$corpus" "$work/mixed"
python3 - "$work/mixed/other" <<'PY'
import os, random, sys
random.seed(2)
root, total, i = sys.argv[1], 0, 0
noise = os.urandom(4 << 20)
text = (b"level data, scripts and sounds of a game; " * 100000)[: 4 << 20]
while total < 60 * 1000 * 1000:
    size = random.choice([2048, 30000, 200000, 1 << 20, 4 << 20])
    folder = os.path.join(root, f"d{i % 5}", f"e{i % 4}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"f{i}.dat"), "wb") as f:
        f.write((text if i % 2 else noise)[:size])
    total += size; i += 1
PY
find "$corpus" "$work/mixed" -type f -exec cat {} + >/dev/null   # warm page cache
fi

source bench/timing.sh
cores=$(nproc)
# kup JOBS FOLDER: one run into the work folder.
kup() { (cd "$work/start" && "$build/kupack" -j "$1" "$2" "$work/out.kup"); }
# Peak resident memory of one run, in MiB.
peak() {
  (cd "$work/start" && /usr/bin/time -f %M -o "$work/rss" "$build/kupack" -j "$1" "$2" "$work/out.kup" >/dev/null)
  awk '{ printf "%.0f", $1 / 1024 }' "$work/rss"
}
# The two runs compared, over the folder in $folder.
kupOne() { kup 1 "$folder"; }
kupAll() { kup "$cores" "$folder"; }
compare() {  # compare NAME FOLDER
  local files bytes t1 tn n1 nn
  files=$(find "$2" -type f | wc -l)
  bytes=$(find "$2" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
  folder=$2
  read -r t1 tn < <(alternate 0 kupOne "$work/out.kup" kupAll "$work/out.kup")
  read -r n1 nn < <(alternate 1 kupOne "$work/out.kup" kupAll "$work/out.kup")
  awk -v n="$1" -v f="$files" -v b="$bytes" -v t1="$t1" -v tn="$tn" -v c="$cores" \
      -v n1="$n1" -v nn="$nn" -v m1="$(peak 1 "$2")" -v mn="$(peak "$cores" "$2")" 'BEGIN {
    printf "%s: %d files, %.0f MB\n", n, f, b / 1e6
    printf "           replacing the last archive    into a new name\n"
    printf "  -j 1    %7.3f s %7.1f MB/s    %7.3f s %7.1f MB/s   peak %5d MiB\n",
           t1, b / t1 / 1e6, n1, b / n1 / 1e6, m1
    printf "  -j %-4d %7.3f s %7.1f MB/s    %7.3f s %7.1f MB/s   peak %5d MiB\n",
           c, tn, b / tn / 1e6, nn, b / nn / 1e6, mn
    printf "  every core / -j 1: %.2f (replacing), %.2f (new name)\n", tn / t1, nn / n1 }'
}
echo "$cores cores"
if [ "$only" != game ]; then
  compare "pictures" "$corpus"
  compare "mixed tree" "$work/mixed"
  echo "goal on 2 cores: mixed tree every core / -j 1 at most 0.60"
fi

# A game-like tree of about 1,000 files (bench/game_tree.py): 5 alternating pairs, each
# pair's ratio (goal on 2 cores: every one at most 0.60), with each run's user+sys CPU time,
# peak memory and phase times (walk, pre-flight, start, entries and the writing in them,
# finish), and the load of the machine before and after.
python3 bench/game_tree.py "$corpus" "$work/game"
find "$work/game" -type f -exec cat {} + >/dev/null
echo "game tree: $(find "$work/game" -type f | wc -l) files, load before: $(cut -d' ' -f1-3 /proc/loadavg)"
timed() {  # timed JOBS: one new archive of the game tree; prints "wall cpu peak-MiB" and a line of phases
  rm -f "$work/out.kup"; sync
  (cd "$work/start" && KUPACK_PHASE_TIMES=1 /usr/bin/time -f "%e %U %S %M" -o "$work/cpu" \
     "$build/kupack" -q -j "$1" "$work/game" "$work/out.kup" >/dev/null 2>"$work/phases")
  awk '{ printf "%s %.2f %.0f\n", $1, $2 + $3, $4 / 1024 }' "$work/cpu"
  sed -n 's/^phases: //p' "$work/phases"
}
worst=0
for pair in 1 2 3 4 5; do
  { read -r w1 c1 m1; read -r p1; } < <(timed 1)
  { read -r wn cn mn; read -r pn; } < <(timed "$cores")
  awk -v p="$pair" -v w1="$w1" -v c1="$c1" -v m1="$m1" -v wn="$wn" -v cn="$cn" -v mn="$mn" \
      -v c="$cores" 'BEGIN {
    printf "  pair %d: -j 1 %.2f s (cpu %.2f s, peak %d MiB), -j %d %.2f s (cpu %.2f s, peak %d MiB), ratio %.2f\n",
           p, w1, c1, m1, c, wn, cn, mn, wn / w1 }'
  echo "          -j 1 phases: $p1"
  echo "          -j $cores phases: $pn"
  worst=$(awk -v w="$worst" -v r="$(awk -v a="$wn" -v b="$w1" 'BEGIN { print a / b }')" \
              'BEGIN { print (r > w ? r : w) }')
done
echo "game tree: worst pair ratio $(printf %.2f "$worst") (goal on 2 cores: at most 0.60), load after: $(cut -d' ' -f1-3 /proc/loadavg)"
[ "$only" = game ] && exit 0

# Memory against -j: 100 hard links to one 16 MiB palette bitmap (4096 x 4096, 8 bits). Each
# coder at work holds its window and tables; the coders' working memory in all is budgeted
# (512 MiB), as are the coded bytes held for later turns (256 MiB).
mkdir -p "$work/links"
python3 - "$work/links/p0.bmp" <<'PY'
import random, struct, sys
random.seed(3)
w = h = 4096
palette = b"".join(struct.pack("<BBBB", i, i, i, 0) for i in range(256))
offset = 14 + 40 + len(palette)
header = b"BM" + struct.pack("<IHHI", offset + w * h, 0, 0, offset)
header += struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, w * h, 2835, 2835, 256, 0)
row = bytes(random.randrange(16) for _ in range(w))
with open(sys.argv[1], "wb") as f:
    f.write(header + palette)
    for y in range(h):
        f.write(row[y % 97:] + row[: y % 97])
PY
for i in $(seq 1 99); do ln "$work/links/p0.bmp" "$work/links/p$i.bmp"; done
echo "100 hard links to one 16 MiB palette bitmap: peak memory by -j"
for jobs in 1 2 16 1024; do
  printf "  -j %-4d peak %5d MiB\n" "$jobs" "$(peak "$jobs" "$work/links")"
done
