#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages.txt that are missing.
set -euo pipefail
here=$(dirname "$0")
mapfile -t want < <(grep -vE '^\s*(#|$)' "$here/packages.txt")
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo_=""; [ "$(id -u)" = 0 ] || sudo_=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo_ apt-get update -q
$sudo_ apt-get install -y -q --no-install-recommends "${missing[@]}"
