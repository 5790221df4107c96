#!/usr/bin/env bash
# Fetches the pinned source dependencies from the npm registry into .deps/
# (git-ignored). Each tarball is checked against its pinned sha512 integrity
# before anything is extracted; install scripts are never run.
#
# A dependency's patches, patches/<dest>/*.patch (unified diffs against its
# source root, each with a header that says why upstream's code is not enough),
# apply in name order to the verified, extracted source. A patch that does not
# apply exactly fails the fetch and leaves no tree behind. The stamp covers the
# patches' contents, so a changed, added or removed patch re-extracts the
# source from the tarball and patches it again.
#
#   scripts/fetch-deps.sh                    every dependency into .deps/
#   scripts/fetch-deps.sh --pristine DEST DIR  DEST's verified source, without
#                                            its patches, into DIR (a baseline
#                                            to measure the patches against)
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

# patches_of <dest>: its patch files, one a line, in the order they apply.
patches_of() {
  local f
  for f in "$root/patches/$1"/*.patch; do
    [ -f "$f" ] && printf '%s\n' "$f"
  done | LC_ALL=C sort
}

# stamp_of <name> <version> <integrity> <dest>: what .pinned holds once the
# source is in place; the patches' names and contents are part of it.
stamp_of() {
  local line="$1@$2 $3" f
  while IFS= read -r f; do
    line+=" $(basename "$f"):$(sha256sum <"$f" | cut -c1-16)"
  done < <(patches_of "$4")
  printf '%s' "$line"
}

# extract <name> <version> <integrity> <subdir> <out>: the verified tarball's
# subdir as <out> (replaced), nothing else.
extract() {
  local name=$1 version=$2 want=$3 sub=$4 out=$5 tmp
  fetch_pinned "$deps/tarballs" "$name" "$version" "$want" || return 1
  tmp="$(dirname "$out")/.extract-$(basename "$out")"
  rm -rf "$out" "$tmp"
  mkdir -p "$tmp"
  # Extraction time, not the tarball's, as every file's time: a file that a
  # removed patch no longer changes is then newer than what was built from it.
  tar -xzf "$deps/tarballs/$name-$version.tgz" -C "$tmp" -m "$sub"
  mv "$tmp/$sub" "$out"
  rm -rf "$tmp"
}

# apply_patches <dest> <dir>: every patch of dest applied to dir, exactly (no
# fuzz, no offset guessing beyond patch's own, no reversed hunks), and each one
# seen to be in place by reverse-applying it in a dry run.
apply_patches() {
  local dest=$1 dir=$2 f log
  while IFS= read -r f; do
    if ! log=$(patch -d "$dir" -p1 --forward --batch --fuzz=0 --no-backup-if-mismatch -r - <"$f" 2>&1) ||
      ! patch -d "$dir" -p1 -R --dry-run --batch --fuzz=0 -s <"$f" >/dev/null 2>&1; then
      echo "fetch-deps: patches/$dest/$(basename "$f") does not apply to the pinned $dest:" >&2
      printf '%s\n' "$log" | sed 's/^/  /' >&2
      return 1
    fi
    echo "fetch-deps: applied patches/$dest/$(basename "$f")"
  done < <(patches_of "$dest")
}

if [ "${1:-}" = "--pristine" ]; then
  [ $# -eq 3 ] || { echo "usage: fetch-deps.sh --pristine DEST DIR" >&2; exit 2; }
  for pin in "${pins[@]}"; do
    read -r name version want sub dest <<<"$pin"
    [ "$dest" = "$2" ] || continue
    out=$3
    stamp="$out/.pinned"
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$name@$version $want" ] && exit 0
    mkdir -p "$(dirname "$out")"
    extract "$name" "$version" "$want" "$sub" "$out" || exit 1
    echo "$name@$version $want" >"$stamp"
    echo "fetch-deps: $name@$version unpatched in $out"
    exit 0
  done
  echo "fetch-deps: no pinned dependency named $2" >&2
  exit 2
fi

for pin in "${pins[@]}"; do
  read -r name version want sub dest <<<"$pin"
  stamp="$deps/$dest/.pinned"
  line=$(stamp_of "$name" "$version" "$want" "$dest")
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$line" ]; then
    continue
  fi
  # Patched beside the final place, moved in only once every patch applied.
  staged="$deps/.patched-$dest"
  extract "$name" "$version" "$want" "$sub" "$staged" || exit 1
  if ! apply_patches "$dest" "$staged"; then
    rm -rf "$staged" "$deps/$dest"
    exit 1
  fi
  rm -rf "$deps/$dest"
  mv "$staged" "$deps/$dest"
  echo "$line" >"$deps/$dest/.pinned"
  echo "fetch-deps: $name@$version ready in .deps/$dest"
done
