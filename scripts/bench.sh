#!/usr/bin/env bash
# Builds the benchmarks optimised and runs each one.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh bench
for b in build/bench/bench/*_bench; do
  echo "== $(basename "$b")"
  "$b" "$@"
done
