#!/usr/bin/env bash
# Measures `kupack --mount` on an archive of 65,535 entries (65,532 small stored files in
# 256 folders, a 256 MiB stored file, a 16 MiB palette bitmap coded LZSS and a 24-bit
# bitmap coded SPB): time until the mount is ready (the command returns), `find` over the
# whole tree, sequential reads through FUSE and from the kernel's cache (1 MiB and 4 KiB
# chunks), the first bytes of a coded entry, first and repeated reads of the coded entries,
# and the mount process's memory.
# Then, on an archive of 20 palette bitmaps of 60 MiB each (coded LZSS): the mount's peak
# memory while 20 readers read all 20 at once (it should stay under 3 x the cache + 32 MiB),
# and two entries read in turn, 1 MiB at a time, with the default cache (64 MiB: each fits,
# not both) and with 200 MiB.
# Needs /dev/fuse and fusermount3 (run as root or with FUSE allowed for the user).
# Usage: bench/mount_bench.sh [BUILD_DIR] [memory]   (default: build; "memory": only the
# measurements on the 20 bitmaps)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
only=${2:-}
kupack=$(realpath "$build/kupack")
[ -x "$kupack" ] || { echo "build kupack first (cmake --build $build)"; exit 1; }
work=$(mktemp -d /tmp/kup-mount-bench.XXXXXX)
mnt=$work/mnt
mount_pid=
cleanup() {
  mountpoint -q "$mnt" 2>/dev/null && fusermount3 -u -z "$mnt"
  [ -n "$mount_pid" ] && kill "$mount_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/tree" "$mnt"
ms() { echo $(($(date +%s%N) / 1000000)); }

# Peak memory of a foreground mount of ARCHIVE (with the mount options given) while
# COMMAND runs; prints "<peak KiB> <ms>".
peak_while() {  # peak_while ARCHIVE OPTIONS COMMAND...
  local archive=$1 options=$2 pid start end peak
  shift 2
  "$kupack" --mount "$archive" "$mnt" -f $options & pid=$!
  for _ in $(seq 500); do mountpoint -q "$mnt" && break; sleep 0.01; done
  mountpoint -q "$mnt" || { echo "mount did not appear"; exit 1; }
  start=$(ms); "$@"; end=$(ms)
  peak=$(awk '/VmHWM/ {print $2}' /proc/$pid/status)
  fusermount3 -u "$mnt"; wait "$pid" || true
  echo "$peak $((end - start))"
}

memory_measurements() {
  mkdir -p "$work/many"
  python3 - "$work/many/p00.bmp" <<'PY'
import struct, sys
width, height = 7680, 8192  # 60 MiB of pixels, 8 bits each
palette = b"".join(bytes((i, 255 - i, (i * 7) & 255, 0)) for i in range(256))
offset = 54 + len(palette)
with open(sys.argv[1], "wb") as f:
    f.write(b"BM" + struct.pack("<IHHI", offset + width * height, 0, 0, offset))
    f.write(struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, width * height,
                        2835, 2835, 256, 0))
    f.write(palette)
    row = bytes(((x // 64) * 37 + (x % 7)) & 255 for x in range(width))
    for y in range(height):
        f.write(row.translate(bytes(v ^ ((y // 3) & 255) for v in range(256))))
PY
  for i in $(seq -w 1 19); do
    cp "$work/many/p00.bmp" "$work/many/p$i.bmp"
    printf '%s' "$i" | dd of="$work/many/p$i.bmp" bs=1 seek=4000 conv=notrunc status=none
  done
  local start end
  start=$(ms); "$kupack" -q "$work/many" "$work/many.kup"; end=$(ms)
  echo "packed 20 palette bitmaps of 60 MiB in $((end - start)) ms"

  read_all_at_once() {
    local readers=() f
    for f in "$mnt"/p*.bmp; do cat "$f" >/dev/null & readers+=($!); done
    wait "${readers[@]}"
  }
  local result
  result=$(peak_while "$work/many.kup" "" read_all_at_once)
  echo "20 readers, 20 different 60 MiB entries at once, cache 64 MiB: peak RSS" \
       "$((${result% *} / 1024)) MiB (bound: 3 x 64 + 32 = 224 MiB), ${result#* } ms"

  read_in_turn() {
    python3 - "$mnt/p00.bmp" "$mnt/p01.bmp" <<'PY'
import sys
a, b = open(sys.argv[1], "rb", buffering=0), open(sys.argv[2], "rb", buffering=0)
while True:
    one, other = a.read(1 << 20), b.read(1 << 20)
    if not one and not other:
        break
PY
  }
  result=$(peak_while "$work/many.kup" "" read_in_turn)
  echo "two 60 MiB entries read in turn, 1 MiB at a time, cache 64 MiB: ${result#* } ms," \
       "peak RSS $((${result% *} / 1024)) MiB"
  result=$(peak_while "$work/many.kup" "-o cache=200M" read_in_turn)
  echo "the same with -o cache=200M: ${result#* } ms, peak RSS $((${result% *} / 1024)) MiB"
}
if [ "$only" = memory ]; then
  memory_measurements
  exit 0
fi

python3 - "$work/tree" <<'PY'
import os, random, struct, sys
root = sys.argv[1]
random.seed(18)
for i in range(65532):
    folder = os.path.join(root, f"d{i % 256:03d}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"file{i:05d}.txt"), "w") as f:
        f.write(f"entry {i}\n" * (1 + i % 40))
with open(os.path.join(root, "big.bin"), "wb") as f:
    block = os.urandom(1 << 20)
    for _ in range(256):
        f.write(block)

def bmp(path, width, height, bits, rows, palette=b""):
    stride = (width * bits // 8 + 3) & ~3
    offset = 54 + len(palette)
    size = offset + stride * height
    with open(path, "wb") as f:
        f.write(b"BM" + struct.pack("<IHHI", size, 0, 0, offset))
        f.write(struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, stride * height,
                            2835, 2835, len(palette) // 4, 0))
        f.write(palette)
        for y in range(height):
            row = rows(y)
            f.write(row + b"\0" * (stride - len(row)))

palette = b"".join(bytes((i, 255 - i, (i * 7) & 255, 0)) for i in range(256))
bmp(os.path.join(root, "palette.bmp"), 4096, 4096, 8,
    lambda y: bytes(((x // 16) ^ (y // 16)) & 255 for x in range(4096)), palette)
bmp(os.path.join(root, "photo.bmp"), 1600, 1200, 24,
    lambda y: bytes((x + y + random.randrange(4)) & 255 for x in range(1600 * 3)))
PY
"$kupack" "$work/tree" "$work/a.kup" >/dev/null
echo "archive: $("$kupack" -l "$work/a.kup" | tail -1)"

mb_per_s() { python3 -c "print(f'{$1 / 1048576 / ($2 / 1000):.0f}')"; }
timed_read() {  # timed_read FILE CHUNK -> milliseconds
  local start end
  start=$(ms); dd if="$1" of=/dev/null bs="$2" status=none; end=$(ms)
  echo $((end - start))
}

# Ready time: the command returns once the mount is live. Wall time of 10 runs (sorted),
# and the CPU time the command used (user + system), which a busy machine changes less.
times=()
for _ in $(seq 10); do
  start=$(ms); "$kupack" --mount "$work/a.kup" "$mnt"; end=$(ms)
  mountpoint -q "$mnt" || { echo "not mounted when the command returned"; exit 1; }
  times+=($((end - start)))
  fusermount3 -u "$mnt"
done
echo "mount ready (65535 entries), ms: $(printf '%s\n' "${times[@]}" | sort -n | tr '\n' ' ')"
cpu=$( { /usr/bin/env TIMEFORMAT='%U %S' bash -c "time '$kupack' --mount '$work/a.kup' '$mnt'"; } 2>&1 )
fusermount3 -u "$mnt"
echo "mount command CPU time (user, system seconds): $cpu"

# The rest in the foreground, so that the process's memory can be read.
remount() {
  if [ -n "$mount_pid" ]; then fusermount3 -u "$mnt"; wait "$mount_pid" || true; fi
  "$kupack" --mount "$work/a.kup" "$mnt" -f & mount_pid=$!
  for _ in $(seq 500); do mountpoint -q "$mnt" && return; sleep 0.01; done
  echo "mount did not appear"; exit 1
}
big=$((256 << 20))
remount
start=$(ms); count=$(find "$mnt" | wc -l); end=$(ms)
echo "find over the fresh mount: $((end - start)) ms ($count names)"
start=$(ms); find "$mnt" -type f -size +1000k >/dev/null; end=$(ms)
echo "find again (names and attributes cached): $((end - start)) ms"
echo "mount process memory after find: $(grep -E 'VmRSS' /proc/$mount_pid/status | tr -s ' \n' ' ')"

t=$(timed_read "$mnt/big.bin" 1M)
echo "stored 256 MiB, first read through FUSE, 1 MiB chunks: $(mb_per_s $big "$t") MB/s"
t=$(timed_read "$mnt/big.bin" 1M)
echo "stored 256 MiB, warm, 1 MiB chunks: $(mb_per_s $big "$t") MB/s ($t ms)"
t4=$(timed_read "$mnt/big.bin" 4k)
echo "stored 256 MiB, warm, 4 KiB chunks: $(mb_per_s $big "$t4") MB/s ($t4 ms)"
remount
t=$(timed_read "$mnt/big.bin" 1M)
t4=$(timed_read "$work/a.kup" 1M)  # keep the archive itself warm for the next figure
remount
t4=$(timed_read "$mnt/big.bin" 4k)
echo "stored 256 MiB through FUSE (fresh mounts): 1 MiB chunks $t ms, 4 KiB chunks $t4 ms"

# The first bytes of an entry not decoded yet: large entries are decoded on the mount's
# pool, and a read is served once its bytes are.
remount
stat "$mnt/palette.bmp" >/dev/null
python3 - "$mnt/palette.bmp" <<'PY'
import sys, time
start = time.perf_counter()
with open(sys.argv[1], "rb", buffering=0) as f:
    f.read(65536)
    first = time.perf_counter()
    while f.read(1 << 20):
        pass
end = time.perf_counter()
print(f"LZSS 16 MiB palette bitmap on a fresh mount: its first 64 KiB in "
      f"{1000 * (first - start):.1f} ms, all of it in {1000 * (end - start):.1f} ms")
PY
remount
size=$(stat -c %s "$mnt/palette.bmp")
t=$(timed_read "$mnt/palette.bmp" 1M)
echo "LZSS 16 MiB palette bitmap, first read (decode): $(mb_per_s "$size" "$t") MB/s ($t ms)"
t=$(timed_read "$mnt/palette.bmp" 1M)
echo "LZSS 16 MiB palette bitmap, warm: $(mb_per_s "$size" "$t") MB/s"
size=$(stat -c %s "$mnt/photo.bmp")
t=$(timed_read "$mnt/photo.bmp" 1M)
echo "SPB 1600x1200 picture, first read (decode): $t ms for $size bytes"
find "$mnt/d00"[0-7] -type f -print0 | xargs -0 cat >/dev/null
echo "mount process memory after all that: $(grep -E 'VmRSS|VmHWM' /proc/$mount_pid/status | tr -s ' \n' ' ')(cache budget 64 MiB)"
fusermount3 -u "$mnt"
start=$(ms); wait "$mount_pid"; end=$(ms); mount_pid=
echo "process ended $((end - start)) ms after fusermount3 -u"
memory_measurements
