#!/usr/bin/env bash
# Runs every test, installing what the tests need first when it is missing: the normal
# build's suite (with the install, manual page and completion checks), the Debian package
# check, then a second build with AddressSanitizer and UndefinedBehaviorSanitizer that runs
# the suite again, and a ThreadSanitizer build of the tests that code on two threads.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh test
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKUPACK_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
bash tools/package-check.sh build

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKUPACK_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# The threads of packing under ThreadSanitizer: the LZSS coder's two (pieces coded ahead and
# joined, failed writes while joining, progress) and the writer's pool (entries coded ahead,
# held and taken in turn, a failure among them), and the mount's decode cache (readers
# sharing decodes, open entries, evictions); only the tests that run them.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKUPACK_TSAN=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target kupack_tests
TSAN_OPTIONS=halt_on_error=1 build-tsan/kupack_tests --gtest_filter='LzssTest.Pieces*:LzssTest.FailedWrite*:LzssTest.Progress*:LzssTest.SmallRefillBlocks*:LzssTest.StreamEndingJustAfter*:ArchiveWriterTest.*:WorkerPoolTest.*:MountedArchiveTest.*'
