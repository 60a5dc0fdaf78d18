#!/usr/bin/env bash
# Fuzzes the archive reader, both decoders and the bitmap parser with libFuzzer for a bounded time each.
# Builds the targets in tests/fuzz/ with clang (KUPACK_FUZZ=ON) in build-fuzz/, seeds them
# with the archives and streams the unit tests make plus every input kept in
# tests/fuzz/regressions/, and runs each target for KUPACK_FUZZ_SECONDS (default 60).
# A crash input is copied into tests/fuzz/regressions/<target>/ (commit it: the unit test
# FuzzReplayTest replays it from then on), printed in base64, and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${KUPACK_FUZZ_SECONDS:-60}
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
targets=(archive_reader lzss_decoder spb_decoder bitmap_parser)

source tools/install-deps.sh
bash tools/install-deps.sh test   # the seeds come from the unit tests
if ! command -v clang++ >/dev/null ||
   ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  kupack_install_packages "fuzzing" clang libclang-rt-dev
fi

# The seeds come from the unit tests' own archives and coder outputs.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKUPACK_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$jobs" --target kupack_tests >/dev/null
seeds=build-fuzz/seeds
rm -rf "$seeds"
mkdir -p "$seeds"
KUPACK_FUZZ_SEEDS="$PWD/$seeds" build/kupack_tests \
  --gtest_filter=FuzzReplayTest.SeedsAreSoundInputsAndPassEveryCheck >/dev/null

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKUPACK_FUZZ=ON -DKUPACK_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target "${targets[@]/#/fuzz_}"

passed=0
failed=0
for target in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$target
  artifacts=build-fuzz/artifacts/$target
  kept=tests/fuzz/regressions/$target
  mkdir -p "$corpus" "$artifacts" "$kept"
  rm -f "$artifacts"/*
  log=build-fuzz/$target.log
  echo "fuzz: $target for ${seconds}s"
  if "build-fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" \
      "$corpus" "$seeds/$target" "$kept" >"$log" 2>&1; then
    passed=$((passed + 1))
    grep -E '^stat::number_of_executed_units|^Done' "$log" || true
  else
    failed=$((failed + 1))
    echo "fuzz: $target FAILED; last lines of $log:"
    tail -n 40 "$log"
    for input in "$artifacts"/*; do
      [ -f "$input" ] || continue
      cp "$input" "$kept/"
      echo "fuzz: kept $kept/$(basename "$input") (base64 below)"
      base64 "$input"
    done
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
