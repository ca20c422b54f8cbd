#!/usr/bin/env bash
# Runs a command inside a throwaway root: a private mount namespace, an
# overlay of / whose writes land on a tmpfs, a private /run (so /run/bpa),
# /proc, /tmp and the project's own folders bound in, and a /dev of its own.
# /etc, /data and /usr/bin can be changed freely inside; nothing reaches the
# host. /sys is an empty folder unless the command mounts its own fake tree.
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
# A /dev of its own: the usual nodes bound one by one (a test can write to
# them, but cannot rename or remove the host's), terminals, and a private shm.
mount -t tmpfs -o mode=755 tarn-dev "$root/dev"
for n in null zero full random urandom tty; do
  [ -e "/dev/$n" ] || continue
  touch "$root/dev/$n"
  mount --bind "/dev/$n" "$root/dev/$n"
done
# Terminals made inside (tmux in the tests) come from a devpts of its own.
mkdir "$root/dev/pts"
if mount -t devpts -o newinstance,ptmxmode=0666,mode=620 tarn-pts "$root/dev/pts" 2>/dev/null; then
  ln -s pts/ptmx "$root/dev/ptmx"
else
  mount --rbind /dev/pts "$root/dev/pts"
  touch "$root/dev/ptmx"
  mount --bind /dev/ptmx "$root/dev/ptmx"
fi
mkdir "$root/dev/shm"
mount -t tmpfs -o mode=1777 tarn-shm "$root/dev/shm"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
mount --bind /tmp "$root/tmp"
mount -t tmpfs -o mode=755 tarn-run "$root/run"
mkdir -p "$root/run/bpa"
for b in "${binds[@]}"; do
  mkdir -p "$root$b"
  mount --bind "$b" "$root$b"
done
cd /
exec chroot "$root" /usr/bin/env -u TARN_SANDBOX_INNER -u TARN_SANDBOX_CWD -C "$TARN_SANDBOX_CWD" TARN_SANDBOXED=1 "$@"
