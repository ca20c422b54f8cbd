# Cross build for 64-bit Arm Linux with Debian's cross compiler
# (crossbuild-essential-arm64) against the arm64 builds of the libraries
# (dpkg --add-architecture arm64; apt-get install libfmt-dev:arm64 ...):
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Programs built for the target run on the build machine through
# qemu-aarch64 (CMAKE_CROSSCOMPILING_EMULATOR): ctest, gtest discovery, and
# TARN_EMULATOR in the shell tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARN_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${TARN_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARN_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TARN_TRIPLET})

# Multiarch: the target's libraries live in /usr/lib/aarch64-linux-gnu and
# their headers in /usr/include, so the root is / and only the library
# architecture tells them apart. Programs come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TARN_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must see the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TARN_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The arm64 loader and libc normally come from libc6:arm64 (pulled in by the
# :arm64 library packages) at their multiarch paths, where qemu finds them as
# they are. Without those, -L points qemu at the cross toolchain's copy.
# (Mixing the two glibc builds in one process is what -L would risk here.)
find_program(TARN_QEMU_AARCH64 qemu-aarch64)
if(TARN_QEMU_AARCH64)
  if(EXISTS /lib/ld-linux-aarch64.so.1)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TARN_QEMU_AARCH64})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TARN_QEMU_AARCH64} -L /usr/${TARN_TRIPLET})
  endif()
endif()
