#!/usr/bin/env bash
# Builds kupack, packs the bundled sample folder examples/assets into build/assets.kup and
# shows what went in.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target kupack >/dev/null
mkdir -p examples/assets/empty   # git keeps no empty folders; the sample has one
./build/kupack examples/assets build/assets.kup
echo
if ./build/kupack --help | grep -q -- '--list'; then
  ./build/kupack --list build/assets.kup
else
  ls -l build/assets.kup
fi
