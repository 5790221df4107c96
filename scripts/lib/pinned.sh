# Shared by the setup scripts; source it, do not run it.

# install_packages <name>...: installs the Debian packages that are missing.
install_packages() {
  local want=() p sudo=""
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || want+=("$p")
  done
  [ "${#want[@]}" -gt 0 ] || return 0
  echo "setup: installing ${want[*]}"
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${want[@]}" >/dev/null
}

integrity_of() { # file -> sha512-<base64>, as npm writes it
  printf 'sha512-%s' "$(openssl dgst -sha512 -binary "$1" | base64 -w0)"
}

# fetch_pinned <tarball folder> <name> <version> <integrity>: leaves
# <folder>/<name>-<version>.tgz in place only when its sha512 matches the pin,
# fetching it from the npm registry if needed (install scripts never run).
fetch_pinned() {
  local dir=$1 name=$2 version=$3 want=$4
  local tgz="$dir/$name-$version.tgz" got
  mkdir -p "$dir"
  if [ ! -f "$tgz" ] || [ "$(integrity_of "$tgz")" != "$want" ]; then
    rm -f "$tgz"
    (cd "$dir" && npm pack --silent --ignore-scripts "$name@$version" >/dev/null)
  fi
  got=$(integrity_of "$tgz")
  if [ "$got" != "$want" ]; then
    echo "integrity mismatch for $name@$version" >&2
    echo "  expected $want" >&2
    echo "  got      $got" >&2
    rm -f "$tgz"
    return 1
  fi
}
