#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the program optimised and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh release
exec ./build/release/src/desktop/Velbor "$@"
