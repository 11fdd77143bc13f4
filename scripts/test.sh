#!/usr/bin/env bash
# Sets up a fresh Debian machine, checks the format and the lock annotations (a clang build with
# -Wthread-safety), builds with the sanitizers and runs every test.
# Extra arguments go to ctest (for example: -L crypto).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/format.sh --check
./scripts/build.sh threads
./scripts/build.sh test
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd build/test
exec ctest --output-on-failure --parallel "$(nproc)" "$@"
