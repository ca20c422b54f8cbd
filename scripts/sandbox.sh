#!/usr/bin/env bash
# Runs a command inside a throwaway root: a private mount namespace, an
# overlay of / whose writes land on a tmpfs, a private /run (so /run/bpa),
# and /proc, /dev, /tmp and the project's own folders bound in. /etc, /data
# and /usr/bin can be changed freely inside; nothing reaches the host. /sys
# is an empty folder unless the command mounts its own fake tree there.
#
#   scripts/sandbox.sh [-b DIR]... [--] COMMAND [ARG]...
#
# -b DIR binds DIR (read-write) at the same path; the current folder and the
# folders in $TARN_SRC, $TARN_BIN and $TARN_LIB are bound by default.
# Needs root, or user namespaces (then it maps the caller to root).
set -euo pipefail

if [ "${TARN_SANDBOX_INNER:-}" != 1 ]; then
  export TARN_SANDBOX_INNER=1 TARN_SANDBOX_CWD="$PWD"
  if [ "$(id -u)" = 0 ]; then
    exec unshare -m --propagation private bash "$0" "$@"
  else
    exec unshare -rm --propagation private bash "$0" "$@"
  fi
fi

binds=()
while [ $# -gt 0 ]; do
  case "$1" in
    -b) binds+=("$(realpath "$2")"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: sandbox.sh [-b DIR]... [--] COMMAND..." >&2; exit 2; }
for v in "$TARN_SANDBOX_CWD" "${TARN_SRC:-}" "${TARN_BIN:-}" "${TARN_LIB:-}"; do
  [ -n "$v" ] && [ -d "$v" ] && binds+=("$(realpath "$v")")
done

# The throwaway root's own folders live on a tmpfs over /run of this mount
# namespace: nothing is left on the host's disk, not even an empty folder.
# (The overlay below sees the / of the file system, not the mounts on it.)
mount -t tmpfs -o mode=755 tarn-root /run
top=/run/tarn-root
mkdir "$top"
mkdir -p "$top/upper" "$top/work" "$top/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" "$top/root"
root="$top/root"
mount --rbind /proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --bind /tmp "$root/tmp"
mount -t tmpfs -o mode=755 tarn-run "$root/run"
mkdir -p "$root/run/bpa"
for b in "${binds[@]}"; do
  mkdir -p "$root$b"
  mount --bind "$b" "$root$b"
done
cd /
exec chroot "$root" /usr/bin/env -u TARN_SANDBOX_INNER -u TARN_SANDBOX_CWD -C "$TARN_SANDBOX_CWD" TARN_SANDBOXED=1 "$@"
