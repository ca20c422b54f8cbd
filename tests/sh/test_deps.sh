#!/usr/bin/env bash
# scripts/deps.sh: which packages each list name brings, package names as
# they are, foreign architectures added first, sudo when not root, a clear
# failure without it. dpkg, dpkg-query, apt-get, sudo and id are fakes that
# log their arguments; nothing is installed.
set -euo pipefail
. "$TARN_SRC/tests/sh/check-lib.sh"
mkdir "$t/bin"
# dpkg-query: installed are the packages listed in $t/installed.
cat >"$t/bin/dpkg-query" <<'FAKE'
#!/bin/bash
grep -qxF -- "${@: -1}" "$FAKE_DIR/installed" && printf 'install ok installed'
exit 0
FAKE
cat >"$t/bin/dpkg" <<'FAKE'
#!/bin/bash
case $1 in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$FAKE_DIR/foreign" 2>/dev/null ;;
  *) echo "dpkg $*" >>"$FAKE_DIR/log" ;;
esac
FAKE
cat >"$t/bin/apt-get" <<'FAKE'
#!/bin/bash
echo "apt-get $*" >>"$FAKE_DIR/log"
echo "Selecting previously unselected package $*"
echo "debconf: delaying package configuration, since apt-utils is not installed" >&2
[ -z "${FAKE_APT_FAIL:-}" ] || { echo "E: Unable to locate package"; exit 100; }
FAKE
cat >"$t/bin/sudo" <<'FAKE'
#!/bin/bash
echo "sudo $1" >>"$FAKE_DIR/log"
exec "$@"
FAKE
cat >"$t/bin/id" <<'FAKE'
#!/bin/bash
echo "${FAKE_UID:-0}"
FAKE
chmod +x "$t/bin"/*
export FAKE_DIR=$t
deps() {  # ARGS... -> $t/out, $st; $t/log holds the fakes' calls
  : >"$t/log"
  set +e; PATH="$t/bin:$PATH" TARN_DEPS_LOG=$t/apt.log bash "$TARN_SRC/scripts/deps.sh" "$@" >"$t/out" 2>&1; st=$?; set -e
}
installs() { grep '^apt-get .* install ' "$t/log" | tr ' ' '\n'; }

: >"$t/installed"
deps build
check "build: exit 0" test "$st" = 0
check "build: one apt-get update, then one install" \
  test "$(grep -c '^apt-get' "$t/log")" = 2 -a "$(grep -n 'update' "$t/log" | cut -d: -f1)" = 1
check "build: one line says what it installs" \
  test "$(wc -l <"$t/out")" = 1 -a -n "$(grep -E '^installing [0-9]+ Debian packages: build-essential .*cmake' "$t/out")"
check "build: apt's own output goes to the log" \
  bash -c "grep -q 'debconf: delaying' '$t/apt.log' && ! grep -q 'Selecting\\|debconf' '$t/out'"
for p in build-essential cmake ninja-build libfmt-dev libcjson-dev libmicrohttpd-dev; do
  check "build brings $p" grep -qx "$p" <(installs)
done
for p in libgtest-dev clang-14 lintian debootstrap prometheus; do
  check "build does not bring $p (not needed to build and run)" bash -c "! grep -qx '$p' <(cat)" < <(installs)
done

deps test
for p in libgtest-dev python3 clang-14 tmux prometheus; do check "test brings $p" grep -qx "$p" <(installs); done
check "test does not bring cmake" bash -c "! grep -qx cmake" < <(installs)

deps
installs >"$t/inst"
check "no arguments: build and test" bash -c "grep -qx cmake '$t/inst' && grep -qx libgtest-dev '$t/inst'"

FAKE_APT_FAIL=1 deps build
check "apt failing: exit non-zero" test "$st" != 0
check "apt failing: says what failed and names the log" grep -qF "deps.sh: FAILED: " "$t/out"
check "apt failing: names the log" grep -qF "(the whole output: $t/apt.log)" "$t/out"
check "apt failing: shows apt's last lines" grep -qF "E: Unable to locate package" "$t/out"

deps packages zstd
installs >"$t/inst"
check "a list and a package name in one install" bash -c "grep -qx lintian '$t/inst' && grep -qx zstd '$t/inst'"
check "one install command for both" test "$(grep -c ' install ' "$t/log")" = 1

printf '%s\n' cmake ninja-build >"$t/installed"
deps cmake ninja-build
check "nothing missing: no apt-get" test ! -s "$t/log" -a "$st" = 0

deps arm64
check "arm64: the architecture is added before apt-get update" \
  test "$(grep -nE '^dpkg --add-architecture arm64$|^apt-get .*update' "$t/log" | cut -d: -f1 | tr '\n' ' ')" = "1 2 "
check "arm64: libfmt-dev:arm64 installed as named" grep -qx 'libfmt-dev:arm64' <(installs)
echo arm64 >"$t/foreign"
deps arm64
check "arm64 known already: not added again" bash -c "! grep -q add-architecture '$t/log'"

deps 'bad name'
check "a word that is neither list nor package: exit 2" test "$st" = 2
check "it is named" grep -qF "'bad name' is neither a list" "$t/out"

: >"$t/installed"
FAKE_UID=1000 deps build
check "not root: apt-get runs through sudo" test "$(grep -c '^sudo env' "$t/log")" = 2
mv "$t/bin/sudo" "$t/sudo.off"
# Without sudo on PATH (the real one must not be found either).
set +e; PATH="$t/bin:/usr/bin:/bin" bash -c 'command -v sudo' >/dev/null; real_sudo=$?; set -e
if [ $real_sudo != 0 ]; then
  FAKE_UID=1000 deps build
  check "not root, no sudo: exit 1" test "$st" = 1
  check "not root, no sudo: says what is missing and what to do" \
    bash -c "grep -q 'missing Debian packages: build-essential' '$t/out' && grep -q 'run as root, or install sudo' '$t/out'"
  check "not root, no sudo: nothing run" test ! -s "$t/log"
else
  # sudo is installed here: hide it behind a command that is not there.
  printf '#!/bin/bash\nexit 127\n' >"$t/bin/sudo"; chmod +x "$t/bin/sudo"
  FAKE_UID=1000 deps build
  check "not root, sudo failing: exit non-zero" test "$st" != 0
fi
mv "$t/sudo.off" "$t/bin/sudo"

finish "deps"
