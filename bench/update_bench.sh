#!/usr/bin/env bash
# Updates an archive of a mixed tree (about 1,000 files, at least 100 MB: the picture corpus
# and stored files) with 10 replaced files (palette and true-colour pictures among them) and
# 2 added ones, and times it side by side with a full repack of the merged tree and a `cp`
# of the archive; checks that the update and the repack give the same bytes, and prints
# peak memory of the update and of a deletion (which only copies). Goals: the update in at
# most 0.1 of the repack's time and at most 1.5 of cp's; memory that does not grow with the
# archive.
# Usage: bench/update_bench.sh [CORPUS_DIR] [BUILD_DIR]
#   CORPUS_DIR (default /tmp/kup-bench-corpus) is made by ../shared/corpus/make-bench-corpus.sh
#   when missing. REPACK_RUNS (default 1) sets how often the slow full repack is timed.
set -euo pipefail
cd "$(dirname "$0")/.."
corpus=${1:-/tmp/kup-bench-corpus}
build=${2:-build}
[ -x "$build/kupack" ] || { echo "build kupack first (cmake --build $build)"; exit 1; }
kupack=$(cd "$build" && pwd)/kupack
if [ ! -d "$corpus/bmp8" ]; then
  ../shared/corpus/make-bench-corpus.sh "$corpus"
fi
work=$(mktemp -d /tmp/kup-update-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/pics" "$work/patch"

# The tree: every picture of the corpus, then stored files in nested folders up to 1,000
# files and at least 100 MB in all.
cp -r "$corpus"/. "$work/tree/pics/"
python3 - "$work/tree" <<'PY'
import os, random, sys
random.seed(7)
root = sys.argv[1]
count = sum(len(files) for _, _, files in os.walk(root))
total = sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(root) for f in files)
block = os.urandom(1 << 20)
i = 0
while count < 1000 or total < 100 * 1000 * 1000:
    size = random.choice([300, 2000, 16000, 70000, 250000])
    if count >= 1000:
        size = 4 << 20
    folder = os.path.join(root, f"data{i % 9}", f"part{i % 4}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"file{i:04d}.dat"), "wb") as f:
        f.write(block[(i * 977) % 4096:][:size])
    count += 1; total += size; i += 1
print(f"tree: {count} files, {total / 1e6:.0f} MB", file=sys.stderr)
PY

# The patch: the two smallest palette and true-colour pictures each take the other's
# content, one small picture of 1 or 4 bits and five stored files change; a new palette
# picture and a text file in a new folder are added.
smallest() { find "$1" -name '*.bmp' -printf '%s %P\n' | sort -n | head -n "$2" | cut -d' ' -f2-; }
swap_pair() {
  local sub=$1 a b
  mapfile -t pair < <(smallest "$work/tree/pics/$sub" 2)
  a=${pair[0]}; b=${pair[1]}
  mkdir -p "$work/patch/pics/$sub"
  cp "$work/tree/pics/$sub/$b" "$work/patch/pics/$sub/$a"
  cp "$work/tree/pics/$sub/$a" "$work/patch/pics/$sub/$b"
}
swap_pair bmp8
swap_pair bmp24
small=$(smallest "$work/tree/pics/bmp1_4" 1)
mkdir -p "$work/patch/pics/bmp1_4" "$work/patch/pics/bmp8" "$work/patch/new"
cp "$work/tree/pics/bmp8/$(smallest "$work/tree/pics/bmp8" 1)" "$work/patch/pics/bmp8/added.bmp"
cp "$work/tree/pics/bmp1_4/$small" "$work/patch/pics/bmp1_4/$small"
size=$(stat -c %s "$work/patch/pics/bmp1_4/$small")
printf '\125\125\125\125' | dd of="$work/patch/pics/bmp1_4/$small" bs=1 seek=$((size - 64)) conv=notrunc status=none
for n in 0 1 2 3 4; do
  path=$(cd "$work/tree" && find data* -name '*.dat' | sort | sed -n "$((n * 100 + 1))p")
  mkdir -p "$work/patch/$(dirname "$path")"
  { cat "$work/tree/$path"; echo "changed $n"; } >"$work/patch/$path"
done
echo "the patch" >"$work/patch/new/readme.txt"
echo "patch: $(find "$work/patch" -type f | wc -l) files"

# The merged tree, for the full repack.
cp -r "$work/tree" "$work/merged"
cp -r "$work/patch"/. "$work/merged/"

"$kupack" -q "$work/tree" "$work/base.kup"
cat "$work/base.kup" $(find "$work/tree" "$work/patch" "$work/merged" -type f) >/dev/null
echo "archive: $(stat -c %s "$work/base.kup") bytes"

source bench/timing.sh
cp "$work/base.kup" "$work/updated.kup"
# Each update after the first replaces the same files again: the same work.
update() { "$kupack" -q -u "$work/updated.kup" "$work/patch"; }
repack() { "$kupack" -q "$work/merged" "$work/full.kup"; }
copy() { cp "$work/base.kup" "$work/copy.kup"; }
# The floor below cp's time: coding the patch's files alone, into an archive of their own.
patchAlone() { "$kupack" -q "$work/patch" "$work/patch.kup"; }
tu=$(best update)
tc=$(best copy)
tp=$(best patchAlone)
tr=999999
for ((r = 0; r < ${REPACK_RUNS:-1}; r++)); do
  sync
  s=$EPOCHREALTIME; repack; e=$EPOCHREALTIME
  tr=$(awk -v s="$s" -v e="$e" -v b="$tr" 'BEGIN { t = e - s; print (t < b ? t : b) }')
done
if cmp -s "$work/updated.kup" "$work/full.kup"; then
  echo "update and full repack: identical archives"
else
  echo "update and full repack DIFFER"; exit 1
fi
awk -v u="$tu" -v r="$tr" -v c="$tc" 'BEGIN {
  printf "update: %.3f s   full repack: %.3f s   cp: %.3f s\n", u, r, c
  printf "update/repack: %.3f (goal <= 0.1)   update/cp: %.2f (goal <= 1.5)\n", u / r, u / c }'
awk -v p="$tp" -v c="$tc" -v u="$tu" 'BEGIN {
  printf "packing the patch alone: %.3f s; cp + that: %.3f s (update / that sum: %.2f)\n",
         p, c + p, u / (c + p) }'
# Where an update's time goes (reading, collecting and planning; the entries and the writing
# in them, the rest being waits for the coders; the directory, closing and renaming), with
# the load of the machine.
for _ in 1 2 3; do
  sync
  KUPACK_PHASE_TIMES=1 "$kupack" -q -u "$work/updated.kup" "$work/patch" 2>&1 >/dev/null
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ -x /usr/bin/time ]; then
  /usr/bin/time -f %M -o "$work/rss" "$kupack" -q -u "$work/updated.kup" "$work/patch"
  awk '{ printf "update peak memory: %.1f MiB\n", $1 / 1024 }' "$work/rss"
  /usr/bin/time -f %M -o "$work/rss" "$kupack" -q --delete "$work/updated.kup" 'new\readme.txt'
  awk '{ printf "deletion (copying only) peak memory: %.1f MiB\n", $1 / 1024 }' "$work/rss"
fi
