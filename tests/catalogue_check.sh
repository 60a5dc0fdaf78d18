#!/usr/bin/env bash
# Checks the translations: every PO file passes msgfmt --check, and every text app/ shows
# through tr() has a translation (not fuzzy, not empty) in each of them.
#   tests/catalogue_check.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
xgettext --keyword=tr --language=C++ --from-code=UTF-8 --no-location -o "$work/kupack.pot" \
  "$source_dir"/app/*.cpp 2>/dev/null
status=0
for po in "$source_dir"/po/*.po; do
  if ! msgfmt --check -o /dev/null "$po"; then
    echo "catalogue_check: $po does not pass msgfmt --check" >&2
    status=1
  fi
  # msgcmp names each text of the program that the file does not translate.
  if ! msgcmp "$po" "$work/kupack.pot"; then
    echo "catalogue_check: $po lacks translations of the texts above" >&2
    status=1
  fi
done
exit $status
