#!/usr/bin/env bash
# Installs the Debian packages that are missing, as root or through sudo.
#
#   scripts/deps.sh [LIST|PACKAGE]...
#
# A LIST is a [name] of scripts/packages.txt (build, test, packages, arm64,
# minimal-root); any other word is a package name (pkg:arch for another
# architecture, which is then added to dpkg's). No arguments: build and test.
set -euo pipefail
here=$(dirname "$0")
[ $# -gt 0 ] || set -- build test

want=()
for name in "$@"; do
  if grep -qxF "[$name]" "$here/packages.txt"; then
    mapfile -t -O "${#want[@]}" want < <(awk -v s="[$name]" '
      /^\[/ { on = ($0 == s); next }
      on && !/^[[:space:]]*(#|$)/ { print $1 }' "$here/packages.txt")
  elif [[ $name =~ ^[a-z0-9][a-z0-9+.-]+(:[a-z0-9]+)?$ ]]; then
    want+=("$name")
  else
    echo "deps.sh: '$name' is neither a list of scripts/packages.txt nor a package name" >&2
    exit 2
  fi
done

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_=()
if [ "$(id -u)" != 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "deps.sh: missing Debian packages: ${missing[*]}" >&2
    echo "deps.sh: run as root, or install sudo and give this user the right to use it" >&2
    exit 1
  fi
  sudo_=(sudo)
fi
# One line says what is installed; apt's own output goes to a log, named
# when something fails.
log=${TARN_DEPS_LOG:-$(cd "$here/.." && pwd)/build/deps.log}
mkdir -p "$(dirname "$log")"
: >"$log"
echo "installing ${#missing[@]} Debian packages: ${missing[*]} (apt's output: $log)"
apt=("${sudo_[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -qq)
quiet() {  # COMMAND...: runs it with its output in the log; on failure says so
  "$@" >>"$log" 2>&1 && return 0
  tail -n 20 "$log" >&2
  echo "deps.sh: FAILED: $* (the whole output: $log)" >&2
  return 1
}
for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*:\([a-z0-9]*\)$/\1/p' | sort -u); do
  [ "$arch" = "$(dpkg --print-architecture)" ] && continue
  dpkg --print-foreign-architectures | grep -qx "$arch" || quiet "${sudo_[@]}" dpkg --add-architecture "$arch"
done
quiet "${apt[@]}" update
quiet "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
