#!/usr/bin/env bash
# Checks the Debian packages that cpack made in DIR for architecture ARCH:
# control fields, contents, the dependencies dpkg-shlibdeps computed,
# the hardening of every program and library (readelf), lintian (errors,
# warnings and hardening tags fail), then unpacks them into a temporary root
# and runs the programs and the man pages from there (arm64 through
# qemu-aarch64).
#
#   scripts/check-debs.sh DIR ARCH
set -euo pipefail
dir=$1 arch=$2
case $arch in
  amd64) triplet=x86_64-linux-gnu emu=() trace=(env LD_TRACE_LOADED_OBJECTS=1) ;;
  arm64) triplet=aarch64-linux-gnu emu=(qemu-aarch64) trace=(qemu-aarch64 -E LD_TRACE_LOADED_OBJECTS=1) ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac

# The version of the build: project() of the top CMakeLists.txt.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $dir/CMakeCache.txt" >&2; exit 2; }
major=${version%%.*}

fails=0 passes=0
check() { # description, command...
  local what=$1; shift
  if "$@"; then passes=$((passes + 1)); else echo "FAILED: $what"; fails=$((fails + 1)); fi
}
has_line() { grep -qxF -- "$1" "$2"; }
has() { grep -qE -- "$1" "$2"; }

tmp=$(mktemp -d /tmp/tarn-debs.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

declare -A deb
for pkg in tarn-inspect-vrx libtarn-common1 libtarn-common-dev; do
  f=$(ls "$dir"/${pkg}_*_"$arch".deb 2>/dev/null | head -n1 || true)
  if [ -z "$f" ]; then echo "FAILED: no $pkg package for $arch in $dir"; exit 1; fi
  deb[$pkg]=$f
  dpkg-deb --field "$f" >"$tmp/$pkg.control"
  dpkg-deb --contents "$f" | awk '{ print $6 }' | sed 's|^\./|/|' >"$tmp/$pkg.files"
  check "$pkg: Package field" has_line "Package: $pkg" "$tmp/$pkg.control"
  check "$pkg: Architecture $arch" has_line "Architecture: $arch" "$tmp/$pkg.control"
  check "$pkg: copyright file" has_line "/usr/share/doc/$pkg/copyright" "$tmp/$pkg.files"
  check "$pkg: nothing outside /usr" test -z "$(grep -v '^/usr/' "$tmp/$pkg.files" || true)"
  check "$pkg: a real maintainer" has '^Maintainer: [^<]+ <[^@ ]+@[^ >]+>$' "$tmp/$pkg.control"
  check "$pkg: maintainer not a placeholder" test -z "$(grep -E '^Maintainer:.*(example\.(org|com|net)|localhost)' "$tmp/$pkg.control" || true)"
  mkdir -p "$tmp/doc/$pkg"
  dpkg-deb --fsys-tarfile "$f" | tar -x -C "$tmp/doc/$pkg" "./usr/share/doc/$pkg/"
  cr=$tmp/doc/$pkg/usr/share/doc/$pkg/copyright
  check "$pkg: copyright file under the MIT (Expat) licence" has '^License: Expat$' "$cr"
  check "$pkg: copyright holder" has '^Copyright: [0-9-]+ The tarn-inspect-vrx developers$' "$cr"
  check "$pkg: copyright file carries the licence text" has '^ Permission is hereby granted, free of charge' "$cr"
  # Reproducible: the changelog's date is the source's, not the build's.
  if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    when=$(LC_ALL=C date -u -d "@$SOURCE_DATE_EPOCH" '+%a, %d %b %Y %H:%M:%S +0000')
    check "$pkg: changelog dated $when (SOURCE_DATE_EPOCH)" \
      grep -qxF -- " -- $(sed -n 's/^Maintainer: //p' "$tmp/$pkg.control")  $when" \
      <(gzip -dc "$tmp/doc/$pkg/usr/share/doc/$pkg/changelog.Debian.gz")
  fi
done
for pkg in libtarn-common1 libtarn-common-dev; do
  check "$pkg: Multi-Arch: same" has_line "Multi-Arch: same" "$tmp/$pkg.control"
done
# The man pages and the completions need a man reader and bash-completion;
# the programs work without them: suggested, not recommended.
check "tarn-inspect-vrx: Suggests man-db and bash-completion" \
  has_line "Suggests: man-db, bash-completion" "$tmp/tarn-inspect-vrx.control"
check "tarn-inspect-vrx: no Recommends (nothing is pulled in by default)" \
  test -z "$(grep '^Recommends:' "$tmp/tarn-inspect-vrx.control" || true)"
check "tarn-inspect-vrx: no Multi-Arch: same (one set of programs)" \
  test -z "$(grep -x 'Multi-Arch: same' "$tmp/tarn-inspect-vrx.control" || true)"

lib=/usr/lib/$triplet
t=$tmp/tarn-inspect-vrx.files l=$tmp/libtarn-common1.files d=$tmp/libtarn-common-dev.files
for prog in tarn-inspect-vrx tarn-vrx-sim tarn-latency-report tarn-vrx-top; do
  for f in /usr/bin/$prog /usr/share/man/man1/$prog.1.gz /usr/share/bash-completion/completions/$prog; do
    check "tarn-inspect-vrx holds $f" has_line "$f" "$t"
  done
done
check "tarn-inspect-vrx holds the service /usr/lib/systemd/system/tarn-vrx-record.service" \
  has_line /usr/lib/systemd/system/tarn-vrx-record.service "$t"
for scn in healthy degrading-link restart interference; do
  check "tarn-inspect-vrx holds the example scenario $scn" has_line "/usr/share/doc/tarn-inspect-vrx/scenarios/$scn.scn" "$t"
done
for name in tarn-common brisk_pipe brisk_json; do
  check "libtarn-common$major holds lib$name.so.$version" has_line "$lib/lib$name.so.$version" "$l"
  check "libtarn-common$major holds the SONAME link lib$name.so.$major" has_line "$lib/lib$name.so.$major" "$l"
  check "libtarn-common-dev holds the link-time lib$name.so" has_line "$lib/lib$name.so" "$d"
  check "lib$name.so only in the -dev package" test -z "$(grep -xF "$lib/lib$name.so" "$l" "$t" || true)"
done
for f in /usr/include/tarn_common.h /usr/include/brisk_pipe.h /usr/include/brisk_json.h \
         "$lib/pkgconfig/tarn-common.pc" "$lib/cmake/tarn-common/tarn-common-config.cmake" \
         "$lib/cmake/tarn-common/tarn-common-targets.cmake"; do
  check "libtarn-common-dev holds $f" has_line "$f" "$d"
done

# Dependencies: ours by version, the platform's from dpkg-shlibdeps.
tc=$tmp/tarn-inspect-vrx.control
check "tarn-inspect-vrx depends on libtarn-common1 of its own version" \
  has '^Depends: .*libtarn-common1 \(= [0-9.]+-[0-9]+\)' "$tc"
for dep in libfmt9 libcjson1 libc6 libstdc\\+\\+6; do
  check "tarn-inspect-vrx depends on $dep (dpkg-shlibdeps)" has "^Depends: .*\\b$dep \\(>= " "$tc"
done
check "libtarn-common1 depends on libc6 (dpkg-shlibdeps)" has '^Depends: .*libc6 \(>= ' "$tmp/libtarn-common1.control"
check "libtarn-common-dev depends on libtarn-common1, libfmt-dev, libcjson-dev" \
  has '^Depends: libtarn-common1 \(= .*libfmt-dev, libcjson-dev' "$tmp/libtarn-common-dev.control"
mkdir -p "$tmp/ctl"
dpkg-deb --control "${deb[libtarn-common1]}" "$tmp/ctl"
check "libtarn-common1 has a shlibs file for each library" \
  test "$(grep -cE '^lib(tarn-common|brisk_pipe|brisk_json) 1 libtarn-common1 \(>= ' "$tmp/ctl/shlibs")" = 3
check "libtarn-common1 activates the ldconfig trigger" has '^activate-noawait ldconfig' "$tmp/ctl/triggers"

command -v lintian >/dev/null || { echo "FAILED: lintian is not installed (scripts/deps.sh packages)"; exit 1; }
command -v readelf >/dev/null || { echo "FAILED: readelf is not installed (scripts/deps.sh packages)"; exit 1; }
command -v man >/dev/null || { echo "FAILED: man is not installed (scripts/deps.sh packages)"; exit 1; }
{
  # Warnings these packages carry by design:
  # - initial-upload-closes-no-bugs: the changelog is the build's, not an
  #   upload to Debian's archive that would close a bug;
  # - maintscript-calls-ldconfig: cpack writes the ldconfig call with the
  #   shlibs file; the ldconfig trigger does the same job as well;
  # - package-name-doesnt-match-sonames: libtarn-common1 holds the link's three
  #   libraries (libtarn-common, libbrisk_pipe, libbrisk_json), released together.
  suppress=initial-upload-closes-no-bugs,maintscript-calls-ldconfig,package-name-doesnt-match-sonames
  # lintian leaves caches (mldbm-elf-*) in its temporary folder: a
  # private one, removed with $tmp.
  mkdir -p "$tmp/lintian-tmp"
  if TMPDIR=$tmp/lintian-tmp lintian -I --fail-on error,warning --suppress-tags "$suppress" "${deb[@]}" \
       >"$tmp/lintian.log" 2>&1; then
    passes=$((passes + 1))
  else
    echo "FAILED: lintian reports errors or warnings"; fails=$((fails + 1))
  fi
  check "lintian finds no hardening gap" test -z "$(grep -E ' hardening-' "$tmp/lintian.log" || true)"
  sed 's/^/  lintian: /' "$tmp/lintian.log" | grep -v 'root privileges' || true
}

# Unpacked into a temporary root, the programs run from there.
root=$tmp/root
for f in "${deb[@]}"; do dpkg-deb -x "$f" "$root"; done

# Built with Debian's hardening flags: full RELRO (relro + bindnow), the
# stack protector and fortified libc calls.
for elf in "$root"/usr/bin/tarn-* "$root$lib"/lib*.so."$version"; do
  name=${elf#"$root"}
  readelf -lW "$elf" >"$tmp/ph" 2>&1
  readelf -dW "$elf" >"$tmp/dyn" 2>&1
  readelf -sW --dyn-syms "$elf" >"$tmp/syms" 2>&1
  check "$name: RELRO" has 'GNU_RELRO' "$tmp/ph"
  check "$name: bind now" has '\((FLAGS|FLAGS_1)\).*\b(BIND_NOW|NOW)\b' "$tmp/dyn"
  check "$name: stack protector" has '__stack_chk_fail' "$tmp/syms"
  check "$name: fortified libc calls" has '__[a-z0-9_]+_chk@' "$tmp/syms"
done
export LD_LIBRARY_PATH=$root$lib
set +e
"${emu[@]}" "$root/usr/bin/tarn-inspect-vrx" -h >"$tmp/help" 2>&1; st=$?
"${emu[@]}" "$root/usr/bin/tarn-vrx-sim" --help >"$tmp/simhelp" 2>&1; sim_st=$?
"${emu[@]}" "$root/usr/bin/tarn-latency-report" --help >"$tmp/rephelp" 2>&1; rep_st=$?
"${emu[@]}" "$root/usr/bin/tarn-vrx-top" --help >"$tmp/tophelp" 2>&1; top_st=$?
set -e
check "unpacked tarn-inspect-vrx -h exits 255 (was $st)" test "$st" = 255
check "unpacked tarn-inspect-vrx -h prints the help text" has '^-n, --newline +print each sample on a new line$' "$tmp/help"
check "unpacked tarn-vrx-sim --help exits 0 (was $sim_st)" test "$sim_st" = 0
check "unpacked tarn-latency-report --help exits 0 (was $rep_st)" test "$rep_st" = 0
check "unpacked tarn-vrx-top --help exits 0 (was $top_st)" test "$top_st" = 0
check "tarn-inspect-vrx depends on libncursesw6 (dpkg-shlibdeps)" has '^Depends: .*\blibncursesw6 \(>= ' "$tc"
check "the programs use the unpacked libraries" \
  has "$root$lib/libtarn-common.so.$major" <("${trace[@]}" "$root/usr/bin/tarn-inspect-vrx" 2>&1)
unset LD_LIBRARY_PATH

# Man pages format without warnings, in the C locale (ASCII) as in UTF-8,
# and carry their sections.
for page in tarn-inspect-vrx tarn-vrx-sim tarn-latency-report tarn-vrx-top; do
  man_file=$root/usr/share/man/man1/$page.1.gz
  for loc in C C.UTF-8; do
    env -u LANG -u LANGUAGE LC_ALL=$loc MANWIDTH=100 man --warnings -l "$man_file" \
      >"$tmp/$page.$loc.txt" 2>"$tmp/$page.warn" </dev/null || true
    check "man $page formats without warnings (LC_ALL=$loc)" test ! -s "$tmp/$page.warn"
    [ -s "$tmp/$page.warn" ] && sed "s/^/  man ($loc): /" "$tmp/$page.warn"
  done
  cp "$tmp/$page.C.txt" "$tmp/$page.txt"
  sections=(NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS")
  # The programs on the pipe run until a signal (or a key) ends them.
  [ "$page" = tarn-latency-report ] || sections+=(SIGNALS)
  for section in "${sections[@]}"; do
    check "man $page has $section" has "^$section\$" "$tmp/$page.txt"
  done
  check "man page $page names itself" has "^ +$page - " "$tmp/$page.txt"
  for other in tarn-inspect-vrx tarn-vrx-sim tarn-latency-report tarn-vrx-top; do
    [ "$other" = "$page" ] || check "man $page: SEE ALSO names $other(1)" \
      has "^ +.*\\b$other\\(1\\)" <(sed -n '/^SEE ALSO$/,$p' "$tmp/$page.txt")
  done
done
check "man tarn-inspect-vrx: the pcap heading in ASCII" grep -qF 'pcap^(ms)' "$tmp/tarn-inspect-vrx.C.txt"
check "man tarn-inspect-vrx: the pcap heading in UTF-8" grep -qF 'pcap▲(ms)' "$tmp/tarn-inspect-vrx.C.UTF-8.txt"
for item in '/data/tarn-inspect-vrx.csv' '/etc/hexwing/tarn-vrx.conf' '/run/bpa/vrx_latency' \
            'Sample ID,Input MBPS,VTX Latency,VRX Latency,Average Latency,' 'SIGHUP' '-s, --save'; do
  check "man tarn-inspect-vrx mentions $item" grep -qF -- "$item" "$tmp/tarn-inspect-vrx.txt"
done

# The service file as systemd reads it (systemd-analyze verify: no running
# systemd needed), with its programs and man pages taken from the unpacked
# root: /usr/bin/ of the file is the root's there. Not enabled (no link of
# it in the package).
unit=$root/usr/lib/systemd/system/tarn-vrx-record.service
check "the package holds tarn-vrx-record.service" test -f "$unit"
if [ -f "$unit" ]; then
  mkdir -p "$tmp/unit"
  sed "s|/usr/bin/|$root/usr/bin/|g" "$unit" >"$tmp/unit/tarn-vrx-record.service"
  set +e
  LD_LIBRARY_PATH=$root$lib MANPATH=$root/usr/share/man systemd-analyze verify "$tmp/unit/tarn-vrx-record.service" \
    >"$tmp/verify.log" 2>&1; st=$?
  set -e
  check "systemd-analyze verify tarn-vrx-record.service (status $st)" test "$st" = 0 -a ! -s "$tmp/verify.log"
  sed 's/^/  systemd-analyze: /' "$tmp/verify.log"
  for d in 'ProtectSystem=strict' 'ReadWritePaths=/data/flights' 'NoNewPrivileges=yes' 'PrivateTmp=yes' 'ProtectHome=yes'; do
    check "tarn-vrx-record.service sets $d" has_line "$d" "$unit"
  done
  check "tarn-vrx-record.service runs tarn-vrx-top in plain mode into /data/flights" \
    has '^ExecStart=/usr/bin/tarn-vrx-top --plain .*--record-dir /data/flights' "$unit"
fi
check "the package enables no service" test -z "$(grep -E '/(wants|requires)/' "$t" || true)"

echo "packages $arch: $passes passed, $fails failed"
[ "$fails" = 0 ]
