# Sourced by the stages that make Debian packages (50-packages.sh,
# 60-arm64.sh):  . scripts/deb-env.sh ARCH
# Exports SOURCE_DATE_EPOCH (the last commit's time, unless set) and sets
# deb_cmake_args: the compiler and linker flags dpkg-buildflags gives a
# package of ARCH with every hardening feature (fortify, stack protector,
# relro, bindnow, ...), as CMake cache settings.
deb_arch=$1
# Without git history (a copy of the sources), the time of CMakeLists.txt,
# as the CMake build takes it then.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || SOURCE_DATE_EPOCH=
  if ! [[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]]; then
    SOURCE_DATE_EPOCH=$(stat -c %Y CMakeLists.txt)
    echo "deb-env: no git history here; package dates from CMakeLists.txt ($(date -u -d "@$SOURCE_DATE_EPOCH"))"
  fi
fi
export SOURCE_DATE_EPOCH
deb_flag() {
  DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-architecture -a"$deb_arch" -c dpkg-buildflags --get "$1" 2>/dev/null
}
deb_cppflags=$(deb_flag CPPFLAGS)
deb_ldflags=$(deb_flag LDFLAGS)
deb_cmake_args=(
  -DCMAKE_C_FLAGS="$(deb_flag CFLAGS) $deb_cppflags"
  -DCMAKE_CXX_FLAGS="$(deb_flag CXXFLAGS) $deb_cppflags"
  -DCMAKE_EXE_LINKER_FLAGS="$deb_ldflags"
  -DCMAKE_SHARED_LINKER_FLAGS="$deb_ldflags"
)
for f in -D_FORTIFY_SOURCE= -fstack-protector-strong -Wl,-z,relro -Wl,-z,now; do
  [[ " ${deb_cmake_args[*]} " == *"$f"* ]] ||
    { echo "deb-env: dpkg-buildflags for $deb_arch gave no $f" >&2; return 1; }
done

. scripts/progress.sh
# deb_build DIR [CMAKE_ARG]...: configures DIR for the /usr prefix with the
# flags above, builds it and makes the packages there with cpack.
deb_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "${deb_cmake_args[@]}" "$@" >/dev/null
  with_progress "packages: build of $dir" "$dir/build.log" cmake --build "$dir" -j"${TARN_JOBS:-2}" || return 1
  rm -f "$dir"/*.deb
  # dpkg-shlibdeps reads the target's libraries and symbols files.
  (cd "$dir" && DEB_HOST_ARCH=$deb_arch cpack -G DEB >cpack.log) || { cat "$dir/cpack.log"; return 1; }
  deb_source_stamp >"$dir/deb-source"
}

# The sources the packages come from: the commit and any local change.
deb_source_stamp() {
  echo "$(git rev-parse HEAD 2>/dev/null) $SOURCE_DATE_EPOCH $(git status --porcelain 2>/dev/null | sha1sum | cut -c1-12)"
}
