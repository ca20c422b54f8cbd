#!/usr/bin/env bash
# Debian packages for this machine's architecture: a build under the /usr
# prefix in build-deb/ (libraries, programs, no tests) with Debian's
# hardening flags, cpack, the checks of scripts/check-debs.sh, then a second
# build from nothing that must give the same bytes. The packages stay in
# build-deb/.
# TARN_DPKG_INSTALL=1 also installs them for real with dpkg -i, checks the
# installed program and man page, and purges them again (dpkg -P).
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/deps.sh build packages

dir=build-deb
arch=$(dpkg --print-architecture)
. scripts/deb-env.sh "$arch"   # hardening flags, SOURCE_DATE_EPOCH, deb_build
deb_build "$dir" -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_BENCH=OFF
bash scripts/check-debs.sh "$dir" "$arch"

# Reproducible: a second build from nothing, in the same place, gives the
# same bytes.
first=$(mktemp -d "$PWD/build-deb-first.XXXXXX")
trap 'rm -rf "$first"' EXIT
mv "$dir"/*.deb "$first"/
rm -rf "$dir"
deb_build "$dir" -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_BENCH=OFF
same=0
for f in "$first"/*.deb; do
  if cmp -s "$f" "$dir/$(basename "$f")"; then same=$((same + 1)); else echo "FAILED: $(basename "$f") differs between two builds"; fi
done
[ "$same" = 3 ] || { echo "FAILED: the packages are not reproducible"; exit 1; }
echo "reproducible: two builds from nothing gave the same $same packages"
rm -rf "$first"; trap - EXIT

if [ "${TARN_DPKG_INSTALL:-0}" = 1 ]; then
  pkgs=(tarn-inspect-vrx libtarn-common1 libtarn-common-dev)
  sudo_=()
  if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null || { echo "FAILED: TARN_DPKG_INSTALL=1 needs root or sudo (dpkg -i)"; exit 1; }
    sudo_=(sudo)
  fi
  trap '"${sudo_[@]}" dpkg -P "${pkgs[@]}" >/dev/null 2>&1 || true' EXIT
  "${sudo_[@]}" dpkg -i "$dir"/*_"$arch".deb
  set +e; tarn-inspect-vrx -h >/dev/null; st=$?; set -e
  [ "$st" = 255 ] || { echo "FAILED: installed tarn-inspect-vrx -h exited $st"; exit 1; }
  man -w tarn-inspect-vrx
  MANWIDTH=80 man tarn-inspect-vrx </dev/null | grep -q 'EXIT STATUS' || { echo "FAILED: man tarn-inspect-vrx"; exit 1; }
  echo "dpkg -i: tarn-inspect-vrx and its man page work"
fi
