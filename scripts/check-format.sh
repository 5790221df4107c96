#!/usr/bin/env bash
# Checks every tracked C and C++ file against .clang-format.
#   bash scripts/check-format.sh          report files that differ, exit 1 if any
#   bash scripts/check-format.sh --fix    rewrite them in place
set -euo pipefail
cd "$(dirname "$0")/.."
tool=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$tool" ] || { echo "check-format: clang-format 14 is missing (bash scripts/setup.sh installs it)" >&2; exit 2; }

mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  "$tool" -i "${files[@]}"
  exit 0
fi
bad=0
for f in "${files[@]}"; do
  if ! "$tool" "$f" | cmp -s "$f" -; then
    echo "check-format: $f differs from .clang-format (bash scripts/check-format.sh --fix)"
    bad=$((bad + 1))
  fi
done
echo "check-format: ${#files[@]} files, $bad to fix"
[ "$bad" -eq 0 ]
