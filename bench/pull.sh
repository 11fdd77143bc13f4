#!/usr/bin/env bash
# One pull between two test-peer processes over loopback beside rsync -a to an rsync daemon,
# per data set (see bench/pull_bench.py). Printed, not asserted; not part of the tests.
#   bench/pull.sh [WORK_DIR]     WORK_DIR needs about 3 GiB free (default: a fresh /tmp folder)
#   PULL_BENCH_SETS=tiny bench/pull.sh   only the named data sets (big, small, tiny)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
# The test peer is built with the tests; an optimised build of it alone, without sanitizers.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake -S . -B build/pullbench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELBOR_BUILD_TESTS=ON >/dev/null
cmake --build build/pullbench --parallel "$(nproc)" --target velbor_test_peer
exec python3 bench/pull_bench.py build/pullbench/tests/peer/velbor_test_peer "$@"
