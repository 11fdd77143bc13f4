#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the desktop application optimised and runs it
# (it needs a display).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh release
exec ./build/release/src/ui/Velbor "$@"
