#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages, then
# the pinned npm-registry sources. Safe to run again; skips what is there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  build-essential cmake ninja-build ccache pkg-config git openssl
  googletest libgtest-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools
  nodejs npm
)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# Node.js 20 may come from outside Debian's archive; only require a node.
if command -v node >/dev/null 2>&1; then
  missing=("${missing[@]/nodejs}")
  missing=("${missing[@]/npm}")
fi
want=()
for p in "${missing[@]}"; do [ -n "$p" ] && want+=("$p"); done
if [ "${#want[@]}" -gt 0 ]; then
  echo "setup: installing ${want[*]}"
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${want[@]}" >/dev/null
fi

bash "$root/scripts/fetch-deps.sh"

# TypeScript for the typings tests, exactly as tools/typecheck/package-lock.json pins it.
typecheck="$root/tools/typecheck"
if ! cmp -s "$typecheck/package-lock.json" "$typecheck/node_modules/.package-lock.source" 2>/dev/null; then
  echo "setup: installing the pinned TypeScript (tools/typecheck)"
  (cd "$typecheck" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  cp "$typecheck/package-lock.json" "$typecheck/node_modules/.package-lock.source"
fi
