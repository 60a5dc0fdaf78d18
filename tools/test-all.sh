#!/usr/bin/env bash
# Runs every test, installing what the tests need first when it is missing: the normal
# build's suite (with the install, manual page and completion checks), the Debian package
# check, then a second build with AddressSanitizer and UndefinedBehaviorSanitizer that runs
# the suite again, and a ThreadSanitizer build of the tests that run on several threads.
# Every suite runs even when an earlier one failed; the last line counts the tests of all
# of them as "N passed, N failed", and the exit status is 0 only when none failed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh test
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0
failed=0

# Adds a ctest run's figures ("NN% tests passed, F tests failed out of T") to the totals.
count_ctest() {
  local line
  line=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -1) || line=""
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  local f t
  f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + t - f))
  failed=$((failed + f))
}

# Adds a GoogleTest run's figures ("[  PASSED  ] N tests.", "[  FAILED  ] N tests,") to them.
count_gtest() {
  local p f
  p=$(grep -oE '^\[  PASSED  \] [0-9]+' "$log" | grep -oE '[0-9]+$' | tail -1) || p=0
  f=$(grep -oE '^\[  FAILED  \] [0-9]+ test' "$log" | grep -oE '[0-9]+' | tail -1) || f=0
  if [ "${p:-0}" -eq 0 ] && [ "${f:-0}" -eq 0 ]; then f=1; fi
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
}

# A check that is one test: it passed or it failed.
count_one() { if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi; }

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKUPACK_BUILD_TESTS=ON -DKUPACK_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" 2>&1 | tee "$log" || true
count_ctest
status=0
bash tools/package-check.sh build || status=$?
count_one "$status"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKUPACK_SANITIZE=ON -DKUPACK_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" 2>&1 | tee "$log" || true
count_ctest

# The threads under ThreadSanitizer: the LZSS coder's two (pieces coded ahead and joined,
# a freed worker joining in, failed writes while joining, progress), the writer's pool
# (entries coded ahead, held and taken in turn, a failure among them) and the mount's
# decode cache (readers sharing decodes, open entries, evictions) and the reading pool of -x
# and -t, and the writeback pusher of a run that replaces an archive (packing and update);
# only the tests that run them.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKUPACK_TSAN=ON -DKUPACK_WERROR=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target kupack_tests
TSAN_OPTIONS=halt_on_error=1 build-tsan/kupack_tests --gtest_filter='LzssTest.Pieces*:LzssTest.FailedWrite*:LzssTest.Progress*:LzssTest.SmallRefillBlocks*:LzssTest.StreamEndingJustAfter*:LzssTest.*Freed*:ArchiveWriterTest.*:WorkerPoolTest.*:RawBytesTest.*:MountedArchiveTest.*:DecodeCacheTest.*:ReadingPoolTest.*:FileFaultsTest.*:ArchiveUpdateTest.UpdateEquals*:FileTest.Appended*:ExtractFaultsTest.*' \
  2>&1 | tee "$log" || true
count_gtest

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
