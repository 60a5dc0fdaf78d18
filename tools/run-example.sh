#!/usr/bin/env bash
# Builds kupack (installing what the build needs first, when it is missing), packs the
# bundled sample folder examples/assets into build/assets.kup and shows what went in.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh build
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
# A new build folder leaves the tests out: tools/test-all.sh adds them (and installs what
# they need); a folder it has configured keeps them.
tests=()
[ -f build/CMakeCache.txt ] || tests=(-DKUPACK_BUILD_TESTS=OFF)
echo "Building kupack in build/ (about a minute on a fresh machine)..."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${tests[@]}" >/dev/null
cmake --build build -j"$jobs" --target kupack
echo
mkdir -p examples/assets/empty   # git keeps no empty folders; the sample has one
./build/kupack examples/assets build/assets.kup
echo
./build/kupack --list build/assets.kup
