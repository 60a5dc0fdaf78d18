#!/usr/bin/env bash
# Builds the test suite as a 32-bit Linux program with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the reading side's tests (hostile archives, fuzz
# regressions, decoders, size bounds), so that a fault that only a 32-bit size_t shows fails
# here. Installs the 32-bit compiler libraries when missing; where they cannot be had, says
# so and stops without failing.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
start=$SECONDS

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
can_build32() {
  printf 'int main() { return sizeof(void*) == 4 ? 0 : 1; }\n' >"$probe/p.cpp"
  g++ -m32 -fsanitize=address,undefined "$probe/p.cpp" -o "$probe/p" 2>/dev/null && "$probe/p"
}
if ! can_build32 || [ ! -e /usr/lib32/libz.so ]; then
  source tools/install-deps.sh
  # lib32z1-dev: the 32-bit zlib that the program's CRC-32 links against.
  kupack_install_packages "the 32-bit Linux check" g++-multilib lib32z1-dev || true
fi
if ! can_build32; then
  echo "linux32-check: NOTE no 32-bit build on this machine (g++ -m32 with sanitizers fails)"
  exit 0
fi

build=build-linux32
# The system's libfuse is a 64-bit library: the 32-bit build goes without the mount.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKUPACK_SANITIZE=ON -DKUPACK_MOUNT=OFF \
  -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_EXE_LINKER_FLAGS=-m32 \
  -DZLIB_LIBRARY=/usr/lib32/libz.so \
  -DKUPACK_GTEST_SOURCE_DIR=/usr/src/googletest >/dev/null
cmake --build "$build" -j"$jobs" --target kupack_tests kupack
echo "linux32-check: 32-bit build done after $((SECONDS - start)) s"
filter='SizeBounds*:ReadingSafety*:ArchiveReader*:ArchiveFormat*:ReaderCommands*:ReaderTestCommand*'
filter+=':ReaderRoundTrip*:KupackReadOptions*:FuzzReplay*:SpbDecoder*:LzssDecoder*:BmpWriter*:LzssBound*:EntryPath*'
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "$build/kupack_tests" --gtest_filter="$filter" --gtest_brief=1
echo "linux32-check: done after $((SECONDS - start)) s"
