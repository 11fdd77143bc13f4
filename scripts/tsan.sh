#!/usr/bin/env bash
# Builds the ThreadSanitizer flavour (build/tsan) and runs the engine's concurrency tests under it:
# the router, sync, monitor and publisher tests. A data race fails the test that meets it.
# Extra arguments go to ctest (for example: -R Pull). VELBOR_JOBS caps the build's parallel jobs,
# CTEST_PARALLEL_LEVEL the tests run at once.
set -euo pipefail
cd "$(dirname "$0")/.."

folders=(router sync monitor publisher)
targets=()
for folder in "${folders[@]}"; do targets+=("tests/core/daemon/$folder/all"); done
./scripts/build.sh tsan "${targets[@]}"

# Races inside libraries we call but do not build with TSan are listed, each with its reason, in tsan.supp.
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 history_size=4 suppressions=$PWD/scripts/tsan.supp"
status=0
for folder in "${folders[@]}"; do
  # ctest run from a test folder runs that folder's tests only.
  (cd "build/tsan/tests/core/daemon/$folder" &&
     ctest --output-on-failure "$@") || status=1
done
exit "$status"
