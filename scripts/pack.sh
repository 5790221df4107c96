#!/usr/bin/env bash
# Assembles the three npm packages from a Windows build and packs them:
#
#   bash scripts/pack.sh [BUILD [OUT]]    BUILD default build/windows, OUT default build/packages
#
# Each package is staged in OUT/stage/<name>: the files its package.json
# lists, the project's LICENSE, third-party notices for everything compiled
# into its binaries, docs/electron.md as ELECTRON.md (the packaging guide a
# host developer needs, in the tarball itself), and the binaries under
# prebuilds/win32-x64/. Then
# `npm pack` writes OUT/quillet-<name>-<version>.tgz. For a release, BUILD is
# the build of the windows-release preset (every ggml CPU variant).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$(realpath -m "${1:-build/windows}")
out=$(realpath -m "${2:-build/packages}")
bin="$build/bin"
deps="$root/.deps"

engine_bins=(quillet-whisper.exe libwhisper.dll ggml.dll ggml-base.dll)
for f in "${engine_bins[@]}" keywatch.node appfocus.node; do
  [ -f "$bin/$f" ] || { echo "pack: $bin/$f is missing; build the windows-mingw or windows-release preset first" >&2; exit 1; }
done
cpu_backends=("$bin"/ggml-cpu*.dll)
[ -f "${cpu_backends[0]}" ] || { echo "pack: no ggml-cpu*.dll in $bin" >&2; exit 1; }
for f in "$deps/whisper.cpp/LICENSE" "$deps/node-api-headers/LICENSE"; do
  [ -f "$f" ] || { echo "pack: $f is missing; run scripts/fetch-deps.sh" >&2; exit 1; }
done

# Licence texts of the C and C++ runtimes that mingw-w64 links statically.
runtime_copyright() {
  local f
  for f in /usr/share/doc/mingw-w64-common/copyright /usr/share/doc/gcc-mingw-w64-base/copyright; do
    [ -f "$f" ] || { echo "pack: $f is missing (Debian's mingw-w64 packages)" >&2; exit 1; }
  done
  echo "## mingw-w64 runtime and winpthreads"
  echo
  echo "Linked statically into every binary. Their copyright and licence terms, as Debian records them:"
  echo
  echo '```'
  cat /usr/share/doc/mingw-w64-common/copyright
  echo '```'
  echo
  echo "## GCC runtime (libgcc, libstdc++)"
  echo
  echo "Linked statically into every binary, under the GCC Runtime Library Exception. Terms, as Debian records them:"
  echo
  echo '```'
  cat /usr/share/doc/gcc-mingw-w64-base/copyright
  echo '```'
}

notices() { # <what the package compiles in, as "name|licence file" pairs>...
  echo "# Third-party notices"
  echo
  echo "The binaries of this package contain the following third-party software."
  echo
  local pair
  for pair in "$@"; do
    echo "## ${pair%%|*}"
    echo
    echo '```'
    cat "${pair#*|}"
    echo '```'
    echo
  done
  runtime_copyright
}

stage() { # <source folder> <stage folder>: package.json, README and its "files"
  local src=$1 dst=$2
  rm -rf "$dst"; mkdir -p "$dst/prebuilds/win32-x64"
  cp "$src/package.json" "$src/README.md" "$dst/"
  cp "$root/LICENSE" "$dst/LICENSE"
  cp "$root/docs/electron.md" "$dst/ELECTRON.md"
  node -e '
    const fs = require("node:fs"), path = require("node:path");
    const [src, dst] = process.argv.slice(1);
    for (const f of require(path.resolve(src, "package.json")).files) {
      if (f.endsWith("/") || f === "THIRD_PARTY_NOTICES.md" || f === "ELECTRON.md") continue; // built here
      fs.mkdirSync(path.dirname(path.join(dst, f)), { recursive: true });
      fs.copyFileSync(path.join(src, f), path.join(dst, f));
    }' "$src" "$dst"
}

mkdir -p "$out"
staging="$out/stage"

echo "pack: @quillet/engine"
stage apps/desktop/engine "$staging/engine"
cp apps/desktop/engine/build-cjs.mjs "$staging/engine/" # npm runs it before packing
cp "${engine_bins[@]/#/$bin/}" "${cpu_backends[@]}" "$staging/engine/prebuilds/win32-x64/"
notices "whisper.cpp and ggml|$deps/whisper.cpp/LICENSE" >"$staging/engine/THIRD_PARTY_NOTICES.md"

for m in keywatch appfocus; do
  echo "pack: @quillet/$m"
  stage "apps/desktop/native/$m" "$staging/$m"
  cp "$bin/$m.node" "$staging/$m/prebuilds/win32-x64/"
  notices "Node-API headers|$deps/node-api-headers/LICENSE" >"$staging/$m/THIRD_PARTY_NOTICES.md"
done

for p in engine keywatch appfocus; do
  (cd "$staging/$p" && npm pack --silent --pack-destination "$out" >/dev/null)
done
ls -l "$out"/*.tgz
