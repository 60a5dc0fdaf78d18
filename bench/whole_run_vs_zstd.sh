#!/usr/bin/env bash
# Times a whole kupack run over a folder of pictures against `zstd -3 -T1` over the same
# files (one output file each, warm page cache, alternately, best of 5), and prints both,
# the ratio and kupack's peak memory. Goals on 2 cores: a folder of palette bitmaps in at most
# 0.5 of zstd's time, a folder of true-colour bitmaps in at most 0.2.
# Usage: bench/whole_run_vs_zstd.sh [FOLDER] [BUILD_DIR]
#   FOLDER defaults to the benchmark corpus (bench corpus script) or examples/assets.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
folder=${1:-/tmp/kupack-corpus}
[ -d "$folder" ] || folder=examples/assets
folder=$(cd "$folder" && pwd)
build=$root/${2:-build}
[ -x "$build/kupack" ] || { echo "build kupack first (cmake --build ${2:-build})"; exit 1; }
command -v zstd >/dev/null || { echo "zstd is not installed (apt-get install zstd)"; exit 1; }
work=$(mktemp -d /tmp/kup-whole-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

mapfile -t files < <(find "$folder" -type f | sort)
cat "${files[@]}" >/dev/null
bytes=$(cat "${files[@]}" | wc -c)

source bench/timing.sh
kup() { (cd "$work" && "$build/kupack" "$folder" "$work/out.kup"); }
zst() { zstd -3 -T1 -q -f -c "${files[@]}" >"$work/out.zst"; }
read -r tk tz < <(alternate 0 kup "$work/out.kup" zst "$work/out.zst")
read -r tn tzn < <(alternate 1 kup "$work/out.kup" zst "$work/out.zst")
sk=$(stat -c %s "$work/out.kup"); sz=$(stat -c %s "$work/out.zst")
echo "folder: $folder (${#files[@]} files, $bytes bytes)"
awk -v k="$tk" -v z="$tz" -v kn="$tn" -v zn="$tzn" -v b="$bytes" -v sk="$sk" -v sz="$sz" 'BEGIN {
  printf "             replacing the last output   into a new name\n"
  printf "kupack:      %.3f s  %7.1f MB/s         %.3f s  %7.1f MB/s   output %5.1f%% of input\n",
         k, b / k / 1e6, kn, b / kn / 1e6, 100 * sk / b
  printf "zstd -3 -T1  %.3f s  %7.1f MB/s         %.3f s  %7.1f MB/s   output %5.1f%% of input\n",
         z, b / z / 1e6, zn, b / zn / 1e6, 100 * sz / b
  printf "kupack time / zstd time: %.2f (replacing), %.2f (new name)\n", k / z, kn / zn }'
if [ -x /usr/bin/time ]; then
  (cd "$work" && /usr/bin/time -f %M -o "$work/rss" "$build/kupack" "$folder" "$work/out.kup" >/dev/null)
  awk '{ printf "kupack peak memory: %.0f MiB\n", $1 / 1024 }' "$work/rss"
  # CPU time (user + system, least of 5 runs each) moves far less than wall time when other
  # work shares the machine.
  cpu() {
    local least=999999
    for _ in 1 2 3 4 5; do
      /usr/bin/time -f "%U %S" -o "$work/cpu" "$@" >/dev/null
      least=$(awk -v l="$least" '{ t = $1 + $2; print (t < l ? t : l) }' "$work/cpu")
    done
    echo "$least"
  }
  ck=$(cd "$work" && cpu "$build/kupack" "$folder" "$work/out.kup")
  cz=$(cpu sh -c 'zstd -3 -T1 -q -f -c "$@" >"$0"' "$work/out.zst" "${files[@]}")
  awk -v k="$ck" -v z="$cz" 'BEGIN {
    printf "CPU time (user + system): kupack %.3f s, zstd -3 -T1 %.3f s, ratio %.2f\n", k, z, k / z }'
fi
echo "load: $(uptime | sed 's/.*load average/load average/')"
