#!/usr/bin/env bash
# What one host with no token makes a device hold and spend through its guarded ports:
# subscriptions churned as commands, and thousands of idle connections (see
# bench/connflood_bench.py). Printed, not asserted; not part of the tests.
#   bench/connflood.sh [WORK_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
bench/build_membench.sh velbor_test_peer
exec python3 bench/connflood_bench.py build/routermembench/bench/peer/velbor_test_peer "$@"
