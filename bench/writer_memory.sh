#!/usr/bin/env bash
# The writing device's peak memory while it records many new files that a peer pulls (see
# bench/writer_memory_bench.py). Printed, not asserted; not part of the tests.
#   bench/writer_memory.sh [WORK_DIR]            WORK_DIR needs about 9 GiB free for 1,000,000 files
#   WRITER_BENCH_COUNTS=100000 bench/writer_memory.sh   only that many new files
set -euo pipefail
cd "$(dirname "$0")/.."
# The test peer is built with the tests; an optimised build of it alone, without sanitizers.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake -S . -B build/pullbench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELBOR_BUILD_TESTS=ON >/dev/null
cmake --build build/pullbench --parallel "$(nproc)" --target velbor_test_peer
exec python3 bench/writer_memory_bench.py build/pullbench/tests/peer/velbor_test_peer "$@"
