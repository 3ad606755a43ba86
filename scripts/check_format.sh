#!/usr/bin/env bash
# Fails when a C++ file of the project differs from what clang-format makes of
# it with the root .clang-format; `scripts/check_format.sh --fix` rewrites them.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' | grep -v '^fuzz/corpus/')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/clang-format.$$; then
  grep -E '^[^ ].*: (warning|error):' /tmp/clang-format.$$ | cut -d: -f1 | sort -u |
    sed 's/^/  not formatted: /'
  rm -f /tmp/clang-format.$$
  echo "run scripts/check_format.sh --fix"
  exit 1
fi
rm -f /tmp/clang-format.$$
echo "every C++ file is formatted"
