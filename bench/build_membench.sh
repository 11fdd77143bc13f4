#!/usr/bin/env bash
# Builds the named targets optimised, without sanitizers, into build/routermembench: what the
# memory benchmarks of the request socket and the router run.
#   bench/build_membench.sh TARGET...
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake -S . -B build/routermembench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELBOR_BUILD_TESTS=OFF \
  -DVELBOR_BUILD_BENCH=ON >/dev/null
cmake --build build/routermembench --parallel "${VELBOR_JOBS:-$(nproc)}" --target "$@"
