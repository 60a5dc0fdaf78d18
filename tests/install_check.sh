#!/usr/bin/env bash
# Installs the build in BUILD_DIR into a staging prefix, checks what was installed, builds
# tests/consumer against the installed package (find_package(kupack), kupack::kupack) and
# checks that it reads an archive as the installed kupack does: the same entries as
# `kupack -l`, and the same bytes as `kupack -x` for one entry of each coding.
# Usage: tests/install_check.sh BUILD_DIR CXX_COMPILER
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
compiler=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
fail() {
  echo "install_check: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$stage" >/dev/null
for installed in bin/kupack share/man/man1/kupack.1 share/bash-completion/completions/kupack \
  include/kupack/archive.h; do
  [ -f "$stage/$installed" ] || fail "$installed was not installed"
done
ls "$stage"/lib*/libkupack.a "$stage"/lib*/cmake/kupack/kupackConfig.cmake >/dev/null ||
  fail "the library or its CMake package was not installed"
# The installed library is the reading side only: none of the packing side's objects is in it.
if ar t "$stage"/lib*/libkupack.a |
  grep -E '^(archive_writer|entry_encoder|lzss_encoder|spb|pack_pipeline|collector)\.cpp\.o$'; then
  fail "the installed library carries the packing side (above)"
fi
# The public headers stand alone: none of the program's own headers is reached from them.
if grep -rnE '#include *"|#include *<(archive|codec|common|platform)/' "$stage/include"; then
  fail "an installed header includes one that is not installed (above)"
fi

cmake -S "$source_dir/tests/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$stage" \
  -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Werror" >/dev/null ||
  fail "the consumer project does not configure against the installed package"
cmake --build "$work/consumer" >/dev/null || fail "the consumer project does not build"
read_archive=$work/consumer/kup_read

# kupack shows names in UTF-8 under a UTF-8 locale; the library gives the recorded code page
# 932 bytes, converted here alike.
export LC_ALL=C.UTF-8
"$stage/bin/kupack" "$source_dir/examples/assets" "$work/assets.kup" >/dev/null
"$stage/bin/kupack" -l "$work/assets.kup" |
  sed -nE 's/^ *([0-9]+) +([0-9]+) +[0-9]+%  ([A-Za-z]+) +(.*)$/\1 \2 \3 \4/p' >"$work/expected"
"$read_archive" "$work/assets.kup" | iconv -f CP932 -t UTF-8 >"$work/listed"
[ -s "$work/expected" ] || fail "kupack -l listed nothing"
diff "$work/expected" "$work/listed" || fail "the library lists the archive otherwise (above)"

"$stage/bin/kupack" -x "$work/assets.kup" -C "$work/extracted" >/dev/null
for coding in stored LZSS SPB; do
  name=$(awk -v c="$coding" '$3 == c && $4 ~ /^[ -~]+$/ { print $4; exit }' "$work/listed")
  [ -n "$name" ] || fail "the sample archive has no $coding entry with a plain name"
  "$read_archive" "$work/assets.kup" "$name" >"$work/decoded"
  cmp "$work/decoded" "$work/extracted/${name//\\//}" ||
    fail "the library decodes $name otherwise than kupack -x"
done

head -c 100 "$work/assets.kup" >"$work/cut.kup"
if "$read_archive" "$work/cut.kup" 2>"$work/error"; then fail "a cut archive was read"; fi
grep -q "cut.kup" "$work/error" || fail "the error does not name the archive: $(cat "$work/error")"
echo "install_check: installed, consumer built and read the archive as kupack does"
