#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages, then
# the pinned npm-registry sources. Safe to run again; skips what is there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

. "$root/scripts/lib/pinned.sh"
packages=(
  build-essential cmake ninja-build ccache git openssl patch
  googletest libgtest-dev
  clang-14 libclang-rt-14-dev clang-format-14
  g++-mingw-w64-x86-64-posix mingw-w64-tools
)
# Node.js 20 may come from outside Debian's archive; only require a node.
command -v node >/dev/null 2>&1 || packages+=(nodejs npm)
install_packages "${packages[@]}"

bash "$root/scripts/fetch-deps.sh"

# TypeScript for the typings tests, exactly as tools/typecheck/package-lock.json pins it.
typecheck="$root/tools/typecheck"
if ! cmp -s "$typecheck/package-lock.json" "$typecheck/node_modules/.package-lock.source" 2>/dev/null; then
  echo "setup: installing the pinned TypeScript (tools/typecheck)"
  (cd "$typecheck" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  cp "$typecheck/package-lock.json" "$typecheck/node_modules/.package-lock.source"
fi
