#!/usr/bin/env bash
# Cross-builds kupack for 32-bit and 64-bit Windows with mingw-w64 and runs the Windows test
# suites under wine: headless, in a fresh wine prefix, with a Japanese locale so that the
# ANSI code page is 932 as on the users' systems. Installs what is missing from Debian's
# packages first (the 32-bit wine needs the i386 architecture; without it only the 64-bit
# suite runs, and the script says so).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
start=$SECONDS

# wine works as Debian assembles it with its recommended packages.
source tools/install-deps.sh
apt_install() { KUPACK_WITH_RECOMMENDS=yes kupack_install_packages "the Windows check" "$@"; }

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686)
[ -x /usr/lib/wine/wine64 ] || need+=(wine wine64)
[ -e /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
[ -e /usr/share/i18n/locales/ja_JP ] || need+=(locales)
[ -e /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
# zlib (CRC-32) as a static library for both targets, so kupack.exe needs no zlib1.dll.
[ -e /usr/x86_64-w64-mingw32/lib/libz.a ] || need+=(libz-mingw-w64-dev)
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
[ ${#need[@]} -eq 0 ] || apt_install "${need[@]}"

wine32=yes
if [ ! -x /usr/lib/wine/wine ]; then
  echo "windows-check: installing the 32-bit wine (wine32:i386)"
  if ! { kupack_as_root dpkg --add-architecture i386 && apt_install wine32:i386; }; then
    wine32=no
  fi
fi

for target in x86_64 i686; do
  build=build-win-$target
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$target.cmake" >/dev/null
  cmake --build "$build" -j"$jobs"
  # One kupack.exe for a bare Windows: nothing but the system's own DLLs.
  dlls=$(${target}-w64-mingw32-objdump -p "$build/kupack.exe" | sed -n 's/^\s*DLL Name: //p')
  if echo "$dlls" | grep -Eiv '^(kernel32|msvcrt|user32|shell32|comdlg32|ole32|advapi32)\.dll$'; then
    echo "windows-check: $build/kupack.exe needs DLLs beyond the system's own (above)" >&2
    exit 1
  fi
done
echo "windows-check: both Windows builds done after $((SECONDS - start)) s"

work=$(mktemp -d)
export WINEPREFIX="$work/prefix"
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
[ -n "${HOME:-}" ] || export HOME="$work/home"
# ja_JP.UTF-8 built into a private folder: wine takes its code page from the locale's name
# and needs the locale itself to map file names to UTF-8.
localedef -i ja_JP -f UTF-8 "$work/ja_JP.UTF-8" 2>/dev/null || [ -d "$work/ja_JP.UTF-8" ]
japanese=(env LOCPATH="$work" LC_ALL=ja_JP.UTF-8)
"${japanese[@]}" wineboot -i >/dev/null 2>&1

run_suite() {
  echo "windows-check: test suite of the $1 build under wine (ANSI code page 932)"
  # The log keeps failures, skips with their reasons and the totals, not each passed case.
  "${japanese[@]}" ctest --test-dir "build-win-$1" --output-on-failure -V |
    grep -Ev '\[ RUN      \]|\[       OK \]|\[----------\]|^1: $|^test 1$|^(UpdateCTest|Constructing a list|Done constructing|Updating test list|Added 0 tests|Checking test dependency|Internal ctest)'
}
run_suite x86_64
if [ "$wine32" = yes ]; then
  run_suite i686
else
  echo "windows-check: NOTE the 32-bit suite did not run: wine32:i386 could not be installed"
fi
echo "windows-check: done after $((SECONDS - start)) s"
