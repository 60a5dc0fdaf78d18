#!/usr/bin/env bash
# Makes the Debian package of the build in BUILD_DIR (default: build) with CPack, checks
# its control fields and contents, and, as root, installs it with dpkg, runs the installed
# program and removes the package again. A kupack package already installed is left alone
# (the install step is then skipped, and the script says so).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
out=$build/package
fail() {
  echo "package-check: $*" >&2
  exit 1
}

rm -rf "$out"
mkdir -p "$out"
if ! (cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1); then
  cat "$out/cpack.log" >&2
  fail "cpack -G DEB failed"
fi
debs=("$out"/kupack_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no kupack_*.deb in $out"
deb=${debs[0]}
control=$(dpkg-deb --field "$deb")
for field in Package Version Architecture Maintainer Depends Description; do
  grep -q "^$field: ." <<<"$control" || fail "the package has no $field field"
done
grep -q '^Depends:.*libc6' <<<"$control" || fail "the package does not depend on libc6"
contents=$(dpkg-deb --contents "$deb")
for file in usr/bin/kupack usr/share/man/man1/kupack.1 usr/share/bash-completion/completions/kupack \
  usr/include/kupack/archive.h libkupack.a kupackConfig.cmake kupackTargets.cmake; do
  grep -q "$file\$" <<<"$contents" || fail "the package lacks $file"
done
echo "package-check: $(basename "$deb") made"

if [ "$(id -u)" -ne 0 ]; then
  echo "package-check: not root, so the package was not installed"
  exit 0
fi
if dpkg-query -W kupack >/dev/null 2>&1; then
  echo "package-check: a kupack package is already installed; installing this one was skipped"
  exit 0
fi
trap 'dpkg -r kupack >/dev/null 2>&1 || true' EXIT
dpkg -i "$deb" >/dev/null || fail "dpkg -i failed"
version=$(/usr/bin/kupack --version) || fail "the installed kupack does not run"
[ "$version" = "kupack $(dpkg-deb --field "$deb" Version)" ] ||
  fail "the installed kupack says '$version'"
dpkg -r kupack >/dev/null || fail "dpkg -r failed"
trap - EXIT
[ ! -e /usr/bin/kupack ] || fail "dpkg -r left /usr/bin/kupack"
echo "package-check: installed with dpkg -i, ran, removed with dpkg -r"
