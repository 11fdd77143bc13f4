#!/usr/bin/env bash
# What hostile hosts on the LAN make one device's router hold: a trusted peer that asks for
# file parts and reads none of them (1 and 6 connections), and sixteen hosts sending oversized
# frames, four hosts sending requests of empty frames without end, sixteen hosts subscribing
# with the largest subscriptions the publisher takes, each
# beside a good peer pulling a tree from the same device (see
# bench/routermem_bench.py). Printed, not asserted; not part of the tests.
#   bench/routermem.sh [WORK_DIR]     WORK_DIR needs about 1 GiB free (default: a fresh /tmp folder)
set -euo pipefail
cd "$(dirname "$0")/.."
bench/build_membench.sh velbor_test_peer velbor_router_flood
exec python3 bench/routermem_bench.py build/routermembench/bench/peer/velbor_test_peer \
  build/routermembench/bench/velbor_router_flood "$@"
