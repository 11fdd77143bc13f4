#!/usr/bin/env bash
# What hosts that answer without end make one device hold: endpoint challenges, find and part
# requests, a trusted publisher's notice, and connections subscribing and cancelling in a loop
# (see bench/replymem_bench.py). Printed, not asserted; not part of the tests.
#   bench/replymem.sh [WORK_DIR]     WORK_DIR needs about 300 MiB free (default: a fresh /tmp folder)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
# The test peer, optimised, without sanitizers.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake -S . -B build/routermembench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELBOR_BUILD_TESTS=OFF \
  -DVELBOR_BUILD_BENCH=ON >/dev/null
cmake --build build/routermembench --parallel "${VELBOR_JOBS:-$(nproc)}" --target velbor_test_peer
exec python3 bench/replymem_bench.py build/routermembench/bench/peer/velbor_test_peer "$@"
