#!/usr/bin/env bash
# What hosts that answer without end make one device hold: endpoint challenges, find and part
# requests, a trusted publisher's notice, and connections subscribing and cancelling in a loop
# (see bench/replymem_bench.py). Printed, not asserted; not part of the tests.
#   bench/replymem.sh [WORK_DIR]     WORK_DIR needs about 300 MiB free (default: a fresh /tmp folder)
set -euo pipefail
cd "$(dirname "$0")/.."
bench/build_membench.sh velbor_test_peer
exec python3 bench/replymem_bench.py build/routermembench/bench/peer/velbor_test_peer "$@"
