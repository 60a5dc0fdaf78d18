#!/usr/bin/env bash
# Runs every test, installing what the tests need first when it is missing: the normal
# build's suite (with the install, manual page and completion checks), the Debian package
# check, then a second build with AddressSanitizer and UndefinedBehaviorSanitizer that runs
# the suite again.
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
