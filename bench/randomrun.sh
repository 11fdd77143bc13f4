#!/usr/bin/env bash
# A randomized run of two or three devices changing one folder at once, each a test peer in a
# network namespace of its own, one folder on an exFAT image and one database on a small disk
# filled at times (see bench/randomrun.py). Checked after each burst; not part of the tests.
# Needs root (network namespaces, mounts, loop devices).
#   bench/randomrun.sh SEED DEVICES BURSTS [--sanitize] [--keep-going] [--without KINDS]
#                      [--exfat DEVICE] [--dbfull DEVICE] [--steps FILE] [--work DIR]
# --sanitize runs the peer built with AddressSanitizer and UndefinedBehaviorSanitizer (build/test);
# otherwise an optimised peer is built in build/randomrun.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 3 ]; then
  echo "usage: $0 SEED DEVICES BURSTS [--sanitize] [--keep-going] [--without KINDS] [--exfat DEVICE]" \
    "[--dbfull DEVICE] [--steps FILE] [--work DIR]" >&2
  exit 2
fi
./scripts/setup.sh
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
peer=build/randomrun/bench/peer/velbor_test_peer
for argument in "$@"; do
  if [ "$argument" = "--sanitize" ]; then peer=build/test/tests/peer/velbor_test_peer; fi
done
if [ "$peer" = build/test/tests/peer/velbor_test_peer ]; then
  ./scripts/build.sh test velbor_test_peer >/dev/null
else
  cmake -S . -B build/randomrun -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELBOR_BUILD_TESTS=OFF \
    -DVELBOR_BUILD_BENCH=ON >/dev/null
  cmake --build build/randomrun --parallel "${VELBOR_JOBS:-$(nproc)}" --target velbor_test_peer >/dev/null
fi
exec python3 bench/randomrun.py "$peer" "$@"
