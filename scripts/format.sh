#!/usr/bin/env bash
# Formats our C++ sources with the repository's .clang-format.
#   scripts/format.sh           rewrites every file that differs
#   scripts/format.sh --check   changes nothing; lists the files that differ and fails if there are any
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  # clang-format names each file that differs in its warnings.
  if ! report=$(printf '%s\0' "${files[@]}" |
                xargs -0 -n 32 -P "$(nproc)" clang-format --dry-run --Werror 2>&1); then
    echo "Not formatted (run scripts/format.sh):" >&2
    grep -oE '[^ ]+\.(cpp|h):[0-9]+:[0-9]+: (error|warning)' <<<"$report" | cut -d: -f1 | sort -u | sed 's/^/  /' >&2
    exit 1
  fi
  exit 0
fi
clang-format -i "${files[@]}"
