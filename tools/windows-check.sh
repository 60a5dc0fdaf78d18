#!/usr/bin/env bash
# Cross-builds kupack for 32-bit and 64-bit Windows with mingw-w64 and runs the Windows test
# suites under wine: headless, in a fresh wine prefix, once with a Japanese locale (ANSI code
# page 932) and once with a Western one (ANSI code page 1252), the two kinds of system the
# users have. Then packs the sample folder under both and checks that the archives are the
# same bytes as each other and as the Linux build's (build/kupack, when there is one).
# Installs what is missing from Debian's packages first (the 32-bit wine needs the i386
# architecture; without it only the 64-bit suites run, and the script says so).
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
# The translations are compiled on this machine (msgfmt).
command -v msgfmt >/dev/null || need+=(gettext)
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
# The locales built into a private folder: wine takes each process's ANSI code page from the
# locale's name and needs the locale itself to map file names to UTF-8.
localedef -i ja_JP -f UTF-8 "$work/ja_JP.UTF-8" 2>/dev/null || [ -d "$work/ja_JP.UTF-8" ]
localedef -i en_US -f UTF-8 "$work/en_US.UTF-8" 2>/dev/null || [ -d "$work/en_US.UTF-8" ]
in_locale() { local locale=$1; shift; env LOCPATH="$work" LC_ALL="$locale" "$@"; }
in_locale ja_JP.UTF-8 wineboot -i >/dev/null 2>&1

# run_suite BUILD LOCALE CODEPAGE
run_suite() {
  echo "windows-check: test suite of the $1 build under wine (ANSI code page $3)"
  # The log keeps failures, skips with their reasons and the totals, not each passed case.
  in_locale "$2" ctest --test-dir "build-win-$1" --output-on-failure -V |
    grep -Ev '\[ RUN      \]|\[       OK \]|\[----------\]|^1: $|^test 1$|^(UpdateCTest|Constructing a list|Done constructing|Updating test list|Added 0 tests|Checking test dependency|Internal ctest)'
}
builds=(x86_64)
if [ "$wine32" = yes ]; then
  builds+=(i686)
else
  echo "windows-check: NOTE the 32-bit suites do not run: wine32:i386 could not be installed"
fi
for build in "${builds[@]}"; do
  run_suite "$build" ja_JP.UTF-8 932
  run_suite "$build" en_US.UTF-8 1252
done

# The sample folder, Japanese names included, packs to the same bytes on every system.
mkdir "$work/sample"
cp -r examples/assets "$work/sample/assets"
for build in "${builds[@]}"; do
  for locale in ja_JP.UTF-8 en_US.UTF-8; do
    (cd "$work/sample" && in_locale "$locale" wine "$OLDPWD/build-win-$build/kupack.exe" -q assets \
      "$build-$locale.kup" >/dev/null)
  done
done
if [ -x build/kupack ]; then
  (cd "$work/sample" && "$OLDPWD/build/kupack" -q assets linux.kup)
else
  echo "windows-check: NOTE no Linux build in build/: the archives are compared among themselves"
fi
first=$(ls "$work/sample"/*.kup | head -n 1)
for archive in "$work/sample"/*.kup; do
  if ! cmp -s "$first" "$archive"; then
    echo "windows-check: $(basename "$archive") differs from $(basename "$first")" >&2
    exit 1
  fi
done
echo "windows-check: the sample folder packs to the same bytes:" $(cd "$work/sample" && ls *.kup)
echo "windows-check: done after $((SECONDS - start)) s"
