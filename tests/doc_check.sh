#!/usr/bin/env bash
# Checks the manual page and the bash completion: the page renders without a warning and
# names every option `kupack --help` shows; the completion script parses, offers those
# options, and completes .kup archives and folders where the command line wants them.
# Usage: tests/doc_check.sh KUPACK_BINARY
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
kupack=$1
page=$source_dir/doc/kupack.1
completion=$source_dir/tools/completion/kupack.bash
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
export LC_ALL=C  # one sort order everywhere
fail() {
  echo "doc_check: $*" >&2
  failures=$((failures + 1))
}

# ---- Manual page
groff -ww -z -man -Tutf8 "$page" 2>"$work/groff" || fail "groff failed on the manual page"
[ -s "$work/groff" ] && fail "groff warns about the manual page: $(cat "$work/groff")"
if command -v man >/dev/null; then
  MANWIDTH=80 man --warnings -l "$page" >"$work/page" 2>"$work/man" ||
    fail "man cannot render the page: $(cat "$work/man")"
  [ -s "$work/man" ] && fail "man warns about the page: $(cat "$work/man")"
else
  groff -man -Tutf8 "$page" >"$work/page" 2>/dev/null
fi
# (the help names fusermount3's own -u, which is not an option of kupack's)
mapfile -t options < <("$kupack" --help | sed 's/fusermount3 -u//' | grep -oE '(^|[ |\[])--?[a-z][a-z-]*' | tr -d ' |[' | sort -u)
[ "${#options[@]}" -ge 8 ] || fail "found only ${#options[@]} options in kupack --help"
for option in "${options[@]}"; do
  grep -qE -- "(^|[^-a-z])${option}([^-a-z]|$)" "$work/page" ||
    fail "the manual page does not describe $option"
done
version=$("$kupack" --version)
grep -q "^\.TH KUPACK 1 .* \"$version\"" "$page" || fail "the manual page is not that of $version"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" "ARCHIVE FORMAT" EXAMPLES; do
  grep -q "^$section" "$work/page" || fail "the manual page has no $section section"
done

# ---- Completion
bash -n "$completion" || fail "the completion script does not parse"
mkdir -p "$work/tree/sub folder" "$work/tree/data"
touch "$work/tree/a.kup" "$work/tree/B.KUP" "$work/tree/notes.txt"
# Prints the candidates for the command line "$@" (the last word being completed), sorted.
complete_line() {
  (
    cd "$work/tree"
    source "$completion"
    complete -p kupack | grep -q -- '-F _kupack' || echo "not registered"
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    _kupack
    printf '%s\n' "${COMPREPLY[@]}" | sort
  )
}
expect() {
  local wanted=$1
  shift
  local got
  got=$(complete_line "$@" | paste -sd ' ')
  [ "$got" = "$wanted" ] || fail "completing '$*': got '$got', wanted '$wanted'"
}
expect "--list" kupack --li
expect "B.KUP a.kup data sub folder" kupack -l ""
expect "a.kup" kupack --extract a
expect "" kupack -x a.kup ""
expect "data sub folder" kupack -x a.kup -C ""
expect "--directory --force --jobs -C -f -j" kupack -x a.kup out -
expect "data sub folder" kupack -t a.kup ""
expect "data sub folder" kupack ""
expect "" kupack -l a.kup ""
expect "a.kup" kupack -q -x a
expect "--json" kupack -l --js
expect "B.KUP a.kup data sub folder" kupack -- -x ""
expect "data sub folder" kupack -j 2 ""
expect "a.kup" kupack -j 2 data a
expect "" kupack --jobs ""
expect "data sub folder" kupack --jobs 2 ""
expect "B.KUP a.kup data sub folder" kupack --diff a.kup ""
# Entry names and folders of a real archive, one level at a time.
mkdir -p "$work/src/gfx/tux"
touch "$work/src/gfx/tux/ice.bmp" "$work/src/gfx/top.bmp" "$work/src/readme.txt"
kupack_path=$(cd "$(dirname "$kupack")" && pwd)/$(basename "$kupack")
"$kupack_path" -q "$work/src" "$work/real.kup"
expect "gfx/ readme.txt" "$kupack_path" -x "$work/real.kup" ""
expect "gfx/top.bmp gfx/tux/" "$kupack_path" -p "$work/real.kup" gfx/
expect "gfx/tux/ice.bmp" "$kupack_path" -l "$work/real.kup" gfx/tux/i
for option in "${options[@]}"; do
  # -f/--force and -o only follow -x or --mount
  case $option in -f | --force | -o) continue ;; esac
  complete_line kupack "$option" | grep -qx -- "$option" || fail "the completion does not offer $option"
done
[ "$failures" -eq 0 ] && echo "doc_check: manual page and completion are sound"
[ "$failures" -eq 0 ]
