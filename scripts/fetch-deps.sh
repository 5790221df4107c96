#!/usr/bin/env bash
# Fetches the pinned source dependencies from the npm registry into .deps/
# (git-ignored). Each tarball is checked against its pinned sha512 integrity
# before anything is extracted; install scripts are never run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/.deps"
mkdir -p "$deps/tarballs"

# name version integrity extract-subdir dest
pins=(
  "nodejs-whisper 0.3.1 sha512-ceoilUVraRuR5FnNyXpGQT2auAR48Oc3AQBEmkXnVpSn9iN6yVRzQBFCqVTGWbk6Wdi95NhvwXNzFvuR7erLWw== package/cpp/whisper.cpp whisper.cpp"
  "node-api-headers 1.9.0 sha512-2oNILP4jXwRB4ywnYKjVk1YyJ96n2D4EOVJO6S3oYZ5PtbJrw3Yt9TpAuX3nBLMuzn74rnfGQrv13pS9vC+YiA== package node-api-headers"
)

. "$root/scripts/lib/pinned.sh"

for pin in "${pins[@]}"; do
  read -r name version want sub dest <<<"$pin"
  stamp="$deps/$dest/.pinned"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$name@$version $want" ]; then
    continue
  fi
  tgz="$deps/tarballs/$name-$version.tgz"
  fetch_pinned "$deps/tarballs" "$name" "$version" "$want" || exit 1
  rm -rf "$deps/$dest" "$deps/.extract"
  mkdir -p "$deps/.extract"
  tar -xzf "$tgz" -C "$deps/.extract" "$sub"
  mv "$deps/.extract/$sub" "$deps/$dest"
  rm -rf "$deps/.extract"
  echo "$name@$version $want" >"$stamp"
  echo "fetch-deps: $name@$version ready in .deps/$dest"
done
