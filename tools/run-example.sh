#!/usr/bin/env bash
# Builds kupack (installing what the build needs first, when it is missing), packs the
# bundled sample folder examples/assets into build/assets.kup and shows what went in.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
# One line a phase, with the seconds so far, so that a fresh machine's minute is never silent.
phase() { echo "run-example: [$((SECONDS - start)) s] $*"; }
phase "checking the packages the build needs (tools/install-deps.sh build)..."
bash tools/install-deps.sh build
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
# A new build folder leaves the tests out: tools/test-all.sh adds them (and installs what
# they need); a folder it has configured keeps them.
tests=()
[ -f build/CMakeCache.txt ] || tests=(-DKUPACK_BUILD_TESTS=OFF)
phase "configuring the build in build/..."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${tests[@]}"
phase "building kupack (about a minute on a fresh machine; make shows each file)..."
cmake --build build -j"$jobs" --target kupack
phase "built; packing examples/assets"
echo
mkdir -p examples/assets/empty   # git keeps no empty folders; the sample has one
./build/kupack examples/assets build/assets.kup
echo
./build/kupack --list build/assets.kup
