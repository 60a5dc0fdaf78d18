#!/usr/bin/env bash
# Times reading an archive of a folder: `kupack -x` into an empty folder against
# `zstd -d -T0 | tar -x` of the same folder's tar.zst, and `kupack -t` of this build against
# another build's (BEFORE_BUILD_DIR, e.g. one of main), alternately, best of 5, warm page
# cache; prints the ratios and each one's peak memory. Goals on 2 cores: -x at most 0.8 of
# zstd and tar, -t at most 0.6 of the other build's.
# Usage: bench/read_vs_tar.sh [FOLDER] [BUILD_DIR] [BEFORE_BUILD_DIR]
#   FOLDER defaults to the benchmark corpus (/tmp/kup-bench-corpus, made by the corpus
#   script) or examples/assets; a game-like tree of it comes from bench/game_tree.py.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
folder=${1:-/tmp/kup-bench-corpus}
[ -d "$folder" ] || folder=examples/assets
folder=$(cd "$folder" && pwd)
build=$root/${2:-build}
before=${3:-}
[ -n "$before" ] && before=$(cd "$before" && pwd)
[ -x "$build/kupack" ] || { echo "build kupack first (cmake --build ${2:-build})"; exit 1; }
command -v zstd >/dev/null || { echo "zstd is not installed (apt-get install zstd)"; exit 1; }
work=$(mktemp -d /tmp/kup-read-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

"$build/kupack" -q "$folder" "$work/a.kup" >/dev/null
tar -C "$folder" -cf - . | zstd -3 -T0 -q -c >"$work/a.tar.zst"
cat "$work/a.kup" "$work/a.tar.zst" >/dev/null

# `pair CMD_A CMD_B`: 5 alternate runs of each (shell functions; each extracts into
# $work/out, emptied outside the timing), best wall time of each as "A B".
pair() {
  local a=$1 b=$2 bestA=999999 bestB=999999 s e
  for _ in 1 2 3 4 5; do
    for which in a b; do
      rm -rf "$work/out"; mkdir "$work/out"; sync
      s=$EPOCHREALTIME
      if [ $which = a ]; then "$a" >/dev/null; else "$b" >/dev/null; fi
      e=$EPOCHREALTIME
      if [ $which = a ]; then
        bestA=$(awk -v s="$s" -v e="$e" -v b="$bestA" 'BEGIN { t = e - s; print (t < b ? t : b) }')
      else
        bestB=$(awk -v s="$s" -v e="$e" -v b="$bestB" 'BEGIN { t = e - s; print (t < b ? t : b) }')
      fi
    done
  done
  echo "$bestA $bestB"
}
peak() {  # peak memory of a command in MiB
  rm -rf "$work/out"; mkdir "$work/out"
  /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null
  awk '{ printf "%.0f", $1 / 1024 }' "$work/rss"
}

kx() { "$build/kupack" -q -x "$work/a.kup" -C "$work/out"; }
zx() { zstd -d -T0 -q -c "$work/a.tar.zst" | tar -C "$work/out" -xf -; }
read -r tk tz < <(pair kx zx)
echo "folder: $folder ($(find "$folder" -type f | wc -l) files), load now: $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v k="$tk" -v z="$tz" 'BEGIN {
  printf "kupack -x            %.3f s\nzstd -d -T0 | tar -x %.3f s\nkupack / zstd+tar: %.2f (goal <= 0.8)\n", k, z, k / z }'
cpu() {  # user+sys CPU seconds of one run of a command (a shell function), best of 3
  local best=999999
  for _ in 1 2 3; do
    rm -rf "$work/out"; mkdir "$work/out"
    /usr/bin/time -f "%U %S" -o "$work/cpu" bash -c "$(declare -f "$1"); work=$work; build=$build; before=$before; $1" >/dev/null
    best=$(awk -v b="$best" '{ t = $1 + $2; print (t < b ? t : b) }' "$work/cpu")
  done
  echo "$best"
}
[ -x /usr/bin/time ] && echo "cpu (user+sys): kupack -x $(cpu kx) s, zstd -d | tar -x $(cpu zx) s"
kx1() { "$build/kupack" -q -x -j 1 "$work/a.kup" -C "$work/out"; }
read -r tj tj1 < <(pair kx kx1)
awk -v j="$tj" -v o="$tj1" 'BEGIN { printf "kupack -x: one thread a core %.3f s, -j 1 %.3f s, ratio %.2f\n", j, o, j / o }'
if [ -x /usr/bin/time ]; then
  echo "peak memory: kupack -x $(peak "$build/kupack" -q -x "$work/a.kup" -C "$work/out") MiB," \
       "-x -j 1 $(peak "$build/kupack" -q -x -j 1 "$work/a.kup" -C "$work/out") MiB"
fi
kt() { "$build/kupack" -t "$work/a.kup"; }
if [ -n "$before" ]; then
  bt() { "$before/kupack" -t "$work/a.kup"; }
  read -r tn tb < <(pair kt bt)
  awk -v n="$tn" -v b="$tb" 'BEGIN {
    printf "kupack -t: this build %.3f s, before %.3f s, ratio %.2f (goal <= 0.6)\n", n, b, n / b }'
  [ -x /usr/bin/time ] && echo "cpu (user+sys): -t $(cpu kt) s, before $(cpu bt) s"
  [ -x /usr/bin/time ] && echo "peak memory: -t $(peak "$build/kupack" -t "$work/a.kup") MiB," \
                               "before $(peak "$before/kupack" -t "$work/a.kup") MiB"
fi
