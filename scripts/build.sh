#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh release   optimised program, in build/release
#   scripts/build.sh test      AddressSanitizer + UndefinedBehaviorSanitizer with tests, in build/test
#   scripts/build.sh tsan      ThreadSanitizer with tests, in build/tsan
#   scripts/build.sh bench     optimised benchmarks, in build/bench
#   scripts/build.sh threads   the engine built by clang, whose thread-safety analysis checks the
#                              lock annotations as errors, in build/threads (no tests, no UI)
# Further arguments name the targets to build (default: all). VELBOR_JOBS caps the parallel jobs.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-release}"
case "$flavour" in
  release) args=(-DCMAKE_BUILD_TYPE=Release -DVELBOR_BUILD_TESTS=OFF) ;;
  test)    args=(-DCMAKE_BUILD_TYPE=Debug -DVELBOR_SANITIZE=ON -DVELBOR_BUILD_TESTS=ON -DVELBOR_WERROR=ON -DCMAKE_CXX_FLAGS=-O1) ;;
  tsan)    args=(-DCMAKE_BUILD_TYPE=Debug -DVELBOR_SANITIZE_THREAD=ON -DVELBOR_BUILD_TESTS=ON -DVELBOR_WERROR=ON -DCMAKE_CXX_FLAGS=-O1) ;;
  bench)   args=(-DCMAKE_BUILD_TYPE=Release -DVELBOR_BUILD_TESTS=OFF -DVELBOR_BUILD_BENCH=ON) ;;
  threads) args=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
                 -DVELBOR_BUILD_TESTS=OFF -DVELBOR_BUILD_UI=OFF -DVELBOR_WERROR=ON) ;;
  *) echo "usage: $0 release|test|tsan|bench|threads [target...]" >&2; exit 2 ;;
esac

dir="build/$flavour"
# Let clones in other folders share compiled objects through ccache.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake -S . -B "$dir" -G Ninja "${args[@]}" >/dev/null
shift || true
targets=()
if [ $# -gt 0 ]; then targets=(--target "$@"); fi
cmake --build "$dir" --parallel "${VELBOR_JOBS:-$(nproc)}" "${targets[@]}"
