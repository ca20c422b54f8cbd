#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a small program
# against it twice, through the CMake package and through pkg-config, then
# runs both (under $TARN_EMULATOR in a cross build).
set -euo pipefail
build=$(dirname "$TARN_BIN")
cache=$build/CMakeCache.txt
[ -f "$cache" ] || { echo "no CMakeCache.txt in $build" >&2; exit 1; }
cache_get() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }
libdir=$(cache_get CMAKE_INSTALL_LIBDIR)
# A toolchain file's compiler is not cached; CMake records it here.
cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -n1)
toolchain=$(cache_get CMAKE_TOOLCHAIN_FILE)
# A toolchain file given relative to the source tree on a reconfigure.
[ -z "$toolchain" ] || [ "${toolchain#/}" != "$toolchain" ] || toolchain=$(cache_get CMAKE_HOME_DIRECTORY)/$toolchain

tmp=$(mktemp -d /tmp/tarn-consumer.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"

fail=0
expect() { # description, command...
  local what=$1; shift
  "$@" || { echo "FAIL: $what" >&2; fail=1; }
}
for lib in tarn-common brisk_pipe brisk_json; do
  d=$prefix/$libdir
  v=$TARN_VERSION major=${TARN_VERSION%%.*}
  expect "lib$lib.so.$v installed" test -f "$d/lib$lib.so.$v"
  expect "lib$lib.so.$major -> lib$lib.so.$v" test "$(readlink "$d/lib$lib.so.$major")" = "lib$lib.so.$v"
  expect "lib$lib.so -> lib$lib.so.$major" test "$(readlink "$d/lib$lib.so")" = "lib$lib.so.$major"
done
for f in include/tarn_common.h include/brisk_pipe.h include/brisk_json.h \
         "$libdir/pkgconfig/tarn-common.pc" "$libdir/cmake/tarn-common/tarn-common-config.cmake" \
         bin/tarn-inspect-vrx bin/tarn-vrx-sim share/man/man1/tarn-inspect-vrx.1.gz \
         share/man/man1/tarn-vrx-sim.1.gz share/bash-completion/completions/tarn-inspect-vrx \
         share/bash-completion/completions/tarn-vrx-sim; do
  expect "$f installed" test -e "$prefix/$f"
done
expect "pkg-config file names the install prefix" grep -qx "prefix=$prefix" "$prefix/$libdir/pkgconfig/tarn-common.pc"

expected="records=2 frame=H264 (I) avg=15.000 encoding=h265"
# Libraries from a sanitizer build need the sanitizer runtime loaded first in
# a consumer that was built without it.
preload=""
if [ -z "${TARN_EMULATOR:-}" ]; then
  preload=$(ldd "$prefix/$libdir/libtarn-common.so.1" 2>/dev/null | awk '/libasan|libtsan/ {print $3; exit}')
fi
run_consumer() { # program, how it was built
  local out
  # A build for the /usr prefix leaves no RPATH in the libraries, so their
  # own dependencies are found through the loader's path here.
  if ! out=$(LD_PRELOAD="$preload" ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
             LD_LIBRARY_PATH="$prefix/$libdir" ${TARN_EMULATOR:-} "$1"); then
    echo "FAIL: $2 consumer failed" >&2; fail=1
  elif [ "$out" != "$expected" ]; then
    echo "FAIL: $2 consumer printed '$out', expected '$expected'" >&2; fail=1
  fi
}

# CMake package: find_package(tarn-common) and the tarn:: targets.
args=(-S "$TARN_SRC/tests/consumer" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release)
[ -n "$toolchain" ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
if cmake "${args[@]}" >"$tmp/cmake.log" 2>&1 && cmake --build "$tmp/cmake-build" >>"$tmp/cmake.log" 2>&1; then
  run_consumer "$tmp/cmake-build/consumer" "CMake"
else
  cat "$tmp/cmake.log" >&2; echo "FAIL: consumer does not build with find_package(tarn-common)" >&2; fail=1
fi

# pkg-config: a cross build looks only at the target's .pc files and ours.
if [ -n "$toolchain" ]; then
  triplet=$("$cxx" -print-multiarch)
  export PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig:/usr/lib/$triplet/pkgconfig:/usr/share/pkgconfig"
else
  export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
fi
if flags=$(pkg-config --cflags --libs tarn-common 2>"$tmp/pc.log") &&
   "$cxx" -std=c++17 -o "$tmp/consumer-pc" "$TARN_SRC/tests/consumer/main.cpp" $flags \
     -Wl,-rpath,"$prefix/$libdir" 2>>"$tmp/pc.log"; then
  run_consumer "$tmp/consumer-pc" "pkg-config"
else
  cat "$tmp/pc.log" >&2; echo "FAIL: consumer does not build with pkg-config tarn-common" >&2; fail=1
fi

# The recording service as systemd reads it, its program the installed one
# (no systemd needs to run; the packages stage verifies the packaged unit).
unit=$prefix/lib/systemd/system/tarn-vrx-record.service
expect "lib/systemd/system/tarn-vrx-record.service installed" test -f "$unit"
if command -v systemd-analyze >/dev/null && [ -f "$unit" ]; then
  mkdir -p "$tmp/unit"
  sed "s|/usr/bin/|$prefix/bin/|g" "$unit" >"$tmp/unit/tarn-vrx-record.service"
  expect "systemd-analyze verify tarn-vrx-record.service" \
    bash -c 'MANPATH=$1/share/man systemd-analyze verify "$2" >"$3" 2>&1 && ! [ -s "$3" ] || { cat "$3" >&2; false; }' \
    _ "$prefix" "$tmp/unit/tarn-vrx-record.service" "$tmp/verify.log"
else
  echo "install consumer: systemd-analyze is not installed, the unit is verified in the packages stage"
fi
[ $fail = 0 ] && echo "install consumer: ok"
exit $fail
