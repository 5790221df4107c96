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

# npm tools, exactly as their package-lock.json pins them, without install
# scripts: TypeScript for the typings tests (tools/typecheck) and esbuild for
# the Wine stage's bundled host (tools/bundle; its JS API finds the binary in
# the platform package npm installs, @esbuild/linux-x64).
for tool in typecheck bundle; do
  dir="$root/tools/$tool"
  if ! cmp -s "$dir/package-lock.json" "$dir/node_modules/.package-lock.source" 2>/dev/null; then
    echo "setup: installing the pinned tools/$tool"
    (cd "$dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
    cp "$dir/package-lock.json" "$dir/node_modules/.package-lock.source"
  fi
done
