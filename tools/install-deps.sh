#!/usr/bin/env bash
# Installs the Debian packages that building and testing kupack needs, if any is missing.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -e /usr/lib/x86_64-linux-gnu/cmake/GTest ] || [ -e /usr/lib/cmake/GTest ] || need+=(libgtest-dev)
[ -e /usr/lib/x86_64-linux-gnu/cmake/benchmark ] || need+=(libbenchmark-dev)
# The read-only mount (kupack --mount) and its tests.
command -v pkg-config >/dev/null || need+=(pkg-config)
[ -e /usr/include/fuse3/fuse_lowlevel.h ] || need+=(libfuse3-dev)
command -v fusermount3 >/dev/null || need+=(fuse3)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi
