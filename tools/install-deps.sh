#!/usr/bin/env bash
# Installs the Debian packages kupack needs for what is about to be done, only those that
# are missing, and says which and why. Runs apt-get as root, through sudo otherwise.
#
#   tools/install-deps.sh build    compiler, CMake, make, libfuse 3 for the mount, JSON,
#                                  zlib, and gettext for the translations
#   tools/install-deps.sh test     the build's packages, GoogleTest, and man-db for the
#                                  manual page check
#   tools/install-deps.sh bench    the build's packages and zstd, which the benchmarks
#                                  compare against (see "Speed" in the README)
#
# tools/run-example.sh and tools/test-all.sh call it themselves. Other scripts source it
# for kupack_install_packages, which installs named packages the same way.

# Runs "$@" as root: directly when root, else through sudo.
kupack_as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "install-deps: this needs root, and sudo is not installed: $*" >&2
    return 1
  fi
}

# Installs the packages "$@" (the first argument says what they are for) with apt-get:
# non-interactively, through sudo when not root, and without recommended packages unless
# KUPACK_WITH_RECOMMENDS=yes.
kupack_install_packages() {
  local purpose=$1
  shift
  [ $# -gt 0 ] || return 0
  echo "install-deps: installing $* (for $purpose)"
  if ! command -v apt-get >/dev/null; then
    echo "install-deps: no apt-get here; install these packages (Debian names) yourself: $*" >&2
    return 1
  fi
  local recommends=--no-install-recommends
  [ "${KUPACK_WITH_RECOMMENDS:-no}" = yes ] && recommends=--install-recommends
  # sudo drops the environment, so the setting travels on the command line.
  local -a apt=(env DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Dpkg::Use-Pty=0)
  kupack_as_root "${apt[@]}" update >/dev/null || return 1
  kupack_as_root "${apt[@]}" install "$recommends" "$@" >/dev/null
}

kupack_package_installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

# Appends to the array `missing` the packages of one purpose that are not there yet: a
# program by its command, a library by its package (kupack_package_installed NAME).
kupack_missing_for_build() {
  command -v g++ >/dev/null || missing+=(g++)
  command -v cmake >/dev/null || missing+=(cmake)
  command -v make >/dev/null || missing+=(make)
  # The read-only mount (kupack --mount) is built when libfuse 3 is found.
  command -v pkg-config >/dev/null || missing+=(pkg-config)
  kupack_package_installed libfuse3-dev || missing+=(libfuse3-dev)
  kupack_package_installed nlohmann-json3-dev || missing+=(nlohmann-json3-dev)
  # zlib's CRC-32 for -l --long and --diff.
  kupack_package_installed zlib1g-dev || missing+=(zlib1g-dev)
  # msgfmt checks and compiles the translations (po/*.po); the tests' check of them runs
  # xgettext.
  command -v msgfmt >/dev/null || missing+=(gettext)
}

kupack_missing_for_test() {
  kupack_missing_for_build
  kupack_package_installed libgtest-dev || missing+=(libgtest-dev)
  command -v man >/dev/null || missing+=(man-db)
  # The mount's kernel test unmounts with fusermount3.
  command -v fusermount3 >/dev/null || missing+=(fuse3)
}

kupack_missing_for_bench() {
  kupack_missing_for_build
  command -v zstd >/dev/null || missing+=(zstd)
  # The benchmarks print each run's peak memory with GNU time.
  [ -x /usr/bin/time ] || missing+=(time)
}

kupack_install_deps_main() {
  set -euo pipefail
  [ $# -gt 0 ] || set -- build test
  local -a missing=()
  local purpose
  for purpose in "$@"; do
    case $purpose in
      build | test | bench) "kupack_missing_for_$purpose" ;;
      *)
        echo "usage: tools/install-deps.sh [build|test|bench]..." >&2
        return 2
        ;;
    esac
  done
  # Each package once, in the order first named.
  local -a unique=()
  local package other seen
  for package in "${missing[@]}"; do
    seen=no
    for other in "${unique[@]}"; do [ "$other" = "$package" ] && seen=yes; done
    [ "$seen" = yes ] || unique+=("$package")
  done
  kupack_install_packages "$*" "${unique[@]}"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  kupack_install_deps_main "$@"
fi
