#!/usr/bin/env bash
# CI stage: the README's two commands on a fresh, minimal Debian 12.
#
# Builds a root with `debootstrap --variant=minbase bookworm` from nothing,
# clones this repository's HEAD into /root/tarn-inspect-vrx and, chrooted
# there as root with an empty environment (no LANG, no LC_*):
#   1. `bash scripts/run.sh` before the root is bound onto itself: it must
#      refuse at once, in two lines, saying what to do;
#   2. with the root bound onto itself (as a new user told so would do):
#      `bash scripts/run.sh` as written: it installs, builds and runs; rows
#      must appear, and SIGINT to its process group (Ctrl-C) must end it
#      with status 0, the closing line, and nothing new in /tmp;
#   3. `bash scripts/run.sh -n -s`: an incremental build, rows one a line,
#      and the CSV log kept in run-data/ of the clone, named at exit;
#   4. `bash scripts/test.sh` as written: the build, every test and every
#      stage, except this one (TARN_CI_NESTED=1 keeps it from starting
#      itself again) and the stages of $TARN_MINROOT_SKIP, which this CI run
#      runs on the machine itself (test.sh names them as it passes them).
# The logs stay in build-minroot/; the root is deleted at the end.
# Needs root, or sudo rights (it re-runs itself through sudo).
#
#   TARN_DEBIAN_MIRROR   the Debian mirror (default http://deb.debian.org/debian)
#   TARN_MINROOT_KEEP=1  keep the root (its path is printed) for a look inside
#   TARN_MINROOT_SKIP    stages test.sh leaves out inside (default "60-arm64.sh",
#                        to keep a CI run under 45 minutes on two cores;
#                        TARN_MINROOT_SKIP= runs every stage inside too)
set -euo pipefail
cd "$(dirname "$0")/../.."
src=$PWD

if [ "$(id -u)" != 0 ]; then
  if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    exec sudo --preserve-env=TARN_DEBIAN_MIRROR,TARN_MINROOT_KEEP,TARN_MINROOT_SKIP bash "$0" "$@"
  fi
  echo "minimal root: FAILED: debootstrap, chroot and mounts need root: run as root, or as a user with sudo rights" >&2
  exit 1
fi
scripts/deps.sh minimal-root
mirror=${TARN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
export TARN_CI_NESTED_SKIP=${TARN_MINROOT_SKIP-"60-arm64.sh"}
logs=$src/build-minroot
rm -rf "$logs"
mkdir -p "$logs"

work=$(mktemp -d /var/tmp/tarn-minroot.XXXXXX)
root=$work/root
cleanup() {
  if [ "${TARN_MINROOT_KEEP:-0}" = 1 ]; then echo "minimal root kept in $root"; return; fi
  # The mounts lived in a mount namespace of their own and are gone; never
  # cross into another file system all the same.
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT

start=$SECONDS
echo "minimal root: debootstrap --variant=minbase bookworm ($mirror)"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$logs/debootstrap.log" 2>&1 ||
  { tail -n 30 "$logs/debootstrap.log"; echo "minimal root: FAILED: debootstrap"; exit 1; }
cp /etc/resolv.conf "$root/etc/resolv.conf"
git clone -q "$src" "$root/root/tarn-inspect-vrx"
echo "minimal root: root made, HEAD $(git -C "$root/root/tarn-inspect-vrx" rev-parse --short HEAD) cloned: $((SECONDS - start)) s"

# The steps inside, run as `bash -c` in the chroot with an empty environment.
cat >"$root/root/readme-steps.sh" <<'STEPS'
set -uo pipefail
cd /root/tarn-inspect-vrx
fails=0
fail() { echo "minimal root: FAILED: $*"; fails=$((fails + 1)); }
rows() { grep -o 'H264 (P)' "$1" | wc -l; }

# run.sh in its own process group, as a terminal runs it; waits for rows,
# then sends SIGINT to the whole group, as Ctrl-C does.
run_until_rows() {  # LOG ARGS...
  local log=$1; shift
  setsid bash scripts/run.sh "$@" >"$log" 2>&1 </dev/null & local pid=$!
  local waited=0
  while kill -0 "$pid" 2>/dev/null && [ "$(rows "$log")" -lt 20 ] && [ $waited -lt 1800 ]; do
    sleep 1; waited=$((waited + 1))
  done
  kill -INT -- -"$pid" 2>/dev/null
  wait "$pid"; st=$?
}

case $1 in
refuse)
  bash scripts/run.sh >run-refused.log 2>&1; st=$?
  cat run-refused.log
  [ $st = 1 ] || fail "run.sh without a usable throwaway root exited $st, not 1"
  grep -q 'bind the root onto itself' run-refused.log || fail "run.sh does not say what to do"
  [ "$(wc -l <run-refused.log)" -le 2 ] || fail "run.sh says more than two lines"
  command -v cmake >/dev/null && fail "run.sh installed packages before checking its throwaway root"
  ;;
run)
  ls -A /tmp >/root/tmp-before
  start=$SECONDS
  run_until_rows run1.log
  echo "bash scripts/run.sh: status $st, $(rows run1.log) rows, $((SECONDS - start)) s (packages, build, run)"
  [ $st = 0 ] || fail "run.sh ended by SIGINT exited $st"
  [ "$(rows run1.log)" -ge 20 ] || fail "run.sh showed no rows"
  grep -q 'closing and exiting' run1.log || fail "run.sh: the inspector did not close cleanly"
  ls -A /tmp | cmp -s - /root/tmp-before || fail "run.sh left files in /tmp: $(ls -A /tmp | tr '\n' ' ')"
  tail -c 400 run1.log | tr '\r' '\n' | tail -n 4

  start=$SECONDS
  run_until_rows run2.log -n -s
  echo "bash scripts/run.sh -n -s: status $st, $(rows run2.log) rows, $((SECONDS - start)) s"
  [ $st = 0 ] || fail "run.sh -n -s ended by SIGINT exited $st"
  grep -q 'no work to do' run2.log || fail "run.sh -n -s rebuilt what was up to date"
  csv=/root/tarn-inspect-vrx/run-data/tarn-inspect-vrx.csv
  [ "$(grep -c 'H264 (P)' "$csv" 2>/dev/null)" -ge 20 ] 2>/dev/null || fail "run.sh -n -s kept no CSV log in $csv"
  grep -qF "CSV log: $csv" run2.log || fail "run.sh -n -s does not say where the log is"
  grep -qF "tarn-latency-report $csv" run2.log || fail "run.sh -n -s does not say how to read the log"
  build/bin/tarn-latency-report "$csv" | head -n 4 || fail "tarn-latency-report cannot read the kept log"
  ls -A /tmp | cmp -s - /root/tmp-before || fail "run.sh -n -s left files in /tmp"
  tail -n 4 run2.log
  ;;
test)
  start=$SECONDS
  bash scripts/test.sh; st=$?
  echo "bash scripts/test.sh: status $st, $((SECONDS - start)) s"
  [ $st = 0 ] || fail "test.sh exited $st"
  ;;
esac
exit $((fails > 0))
STEPS

# In a private mount namespace, so every mount goes with it.
status=0
unshare -m --propagation private bash -s "$root" "$logs" <<'MOUNTS' || status=$?
set -euo pipefail
root=$1 logs=$2
mount_api() {
  mount --rbind /proc "$root/proc"; mount --make-rslave "$root/proc"
  mount --rbind /sys "$root/sys"; mount --make-rslave "$root/sys"
  mount --rbind /dev "$root/dev"; mount --make-rslave "$root/dev"
  mount -t tmpfs -o mode=755 tarn-minroot-run "$root/run"
}
inside() {  # STEP: the step in the chroot, as root, with no locale
  timeout 5400 chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root TERM=dumb TARN_CI_NESTED=1 TARN_CI_NESTED_SKIP="$TARN_CI_NESTED_SKIP" \
    bash /root/readme-steps.sh "$1"
}
status=0
mount_api
echo "=== minimal root: run.sh in a plain chroot"
inside refuse || status=1
# A root bound onto itself is a mount point: its mounts can be made private.
mount --bind "$root" "$root"
mount_api
echo "=== minimal root: bash scripts/run.sh, then bash scripts/run.sh -n -s"
inside run 2>&1 | tee "$logs/run.log" || status=1
echo "=== minimal root: bash scripts/test.sh"
inside test >"$logs/test.log" 2>&1 || status=1
tail -n 25 "$logs/test.log"
exit $status
MOUNTS
echo "minimal root: $((SECONDS - start)) s in all; logs in build-minroot/"
[ $status = 0 ] || { echo "minimal root: FAILED (see build-minroot/test.log and run.log)"; exit 1; }
echo "minimal root: the README's commands pass"
