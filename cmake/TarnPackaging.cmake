# Debian packages (cpack -G DEB in the build folder), one per install component:
#   tarn-inspect-vrx     the programs, their man pages and completions
#   libtarn-common1      libtarn-common, libbrisk_pipe, libbrisk_json
#   libtarn-common-dev   headers, link-time symlinks, pkg-config file, CMake package
# Configure with -DCMAKE_INSTALL_PREFIX=/usr so the libraries land in the
# multiarch folder (GNUInstallDirs) and carry no RPATH. scripts/ci.d/50-packages.sh
# and 60-arm64.sh build with Debian's compiler and linker flags (dpkg-buildflags).
#
# Reproducible: every date in the packages (the changelogs, the archives'
# file times) is the last commit's, or $SOURCE_DATE_EPOCH when set.
# The libraries' package is named after their SONAME version (Debian policy 8.1).
set(TARN_LIBS_PACKAGE libtarn-common${PROJECT_VERSION_MAJOR})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarn-inspect-vrx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The tarn-inspect-vrx developers")
set(TARN_DEB_MAINTAINER "Tarn VRX maintainers <maintainers@tarn-vrx.dev>")
set(CPACK_PACKAGE_CONTACT "${TARN_DEB_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools libs dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# Target architecture, not the build machine's (cross builds).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()

# Runtime dependencies come from dpkg-shlibdeps (libfmt9, libcjson1, libc6,
# ...). Our own libraries are found in the build's lib folder; the shlibs
# file of libtarn-common1 lets other packages depend on it the same way.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(TARN_DEB_VERSION "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarn-inspect-vrx)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION video)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${TARN_LIBS_PACKAGE} (= ${TARN_DEB_VERSION})")
# The man pages and the bash completions are read by man-db and
# bash-completion, which the programs do not need to run: a receiver's
# minimal system without them is usual, so Suggests (Debian policy 7.2), not
# Recommends, which apt would install by default.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "man-db, bash-completion")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "latency inspector for the tarn video link receiver
tarn-inspect-vrx subscribes to the receiver's vrx_latency pipe and prints a
live table of per-frame latencies (transmitter, receiver, assembly, FEC,
decoding, rendering), frame rate, signal strength and battery voltage,
optionally logging every row to CSV. tarn-vrx-top shows the link's health
live in any terminal: lost frames, frame rate, latency percentiles per frame
type and receiver stage over a sliding window, and a 60 s chart.
tarn-vrx-sim publishes simulated latency records on the same pipe.")

# Multi-Arch: same lets the libraries of several architectures be installed
# side by side (the arm64 ones for a cross build next to the native tools):
# everything outside /usr/lib/<triplet> is the same on every architecture.
# CPack has no variable for the field; it rides on the line of Section.
set(TARN_DEB_MULTIARCH_SAME "\nMulti-Arch: same")

set(CPACK_DEBIAN_LIBS_PACKAGE_NAME ${TARN_LIBS_PACKAGE})
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION "libs${TARN_DEB_MULTIARCH_SAME}")
set(CPACK_DEBIAN_LIBS_DESCRIPTION "shared library of the tarn video link
libtarn-common holds the link's stream helpers, Wi-Fi channel plan and radio
control, configuration writers and pipe record validators; libbrisk_pipe and
libbrisk_json are the pipe transport and JSON file libraries it uses.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarn-common-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION "libdevel${TARN_DEB_MULTIARCH_SAME}")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${TARN_LIBS_PACKAGE} (= ${TARN_DEB_VERSION}), libfmt-dev, libcjson-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files for the tarn video link library
Headers, the pkg-config file tarn-common and the CMake package tarn-common
(targets tarn::tarn-common, tarn::brisk_pipe and tarn::brisk_json).")

# The loader cache is refreshed through dpkg's ldconfig trigger.
file(WRITE ${CMAKE_BINARY_DIR}/deb/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/deb/triggers)

# The packages' date: $SOURCE_DATE_EPOCH, else the last commit's, else the
# time of CMakeLists.txt (a source tree without git).
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(TARN_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE TARN_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_status ERROR_QUIET)
  if(NOT git_status EQUAL 0 OR NOT TARN_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    file(TIMESTAMP ${PROJECT_SOURCE_DIR}/CMakeLists.txt TARN_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
endif()
if(NOT TARN_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: ${TARN_SOURCE_DATE_EPOCH}")
endif()
# string(TIMESTAMP) reads SOURCE_DATE_EPOCH; cpack reads it from its config.
set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${TARN_SOURCE_DATE_EPOCH})
string(TIMESTAMP TARN_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")
file(WRITE ${CMAKE_BINARY_DIR}/deb/cpack-project.cmake
  "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n  set(ENV{SOURCE_DATE_EPOCH} ${TARN_SOURCE_DATE_EPOCH})\nendif()\n")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/deb/cpack-project.cmake)

# Every package carries its copyright file and a changelog, as Debian requires.
set(TARN_DEB_CHANGELOGS "")
foreach(comp tools libs dev)
  string(TOUPPER ${comp} COMP)
  set(pkg ${CPACK_DEBIAN_${COMP}_PACKAGE_NAME})
  file(WRITE ${CMAKE_BINARY_DIR}/deb/${pkg}/changelog.Debian
    "${pkg} (${TARN_DEB_VERSION}) unstable; urgency=medium\n\n"
    "  * Built from tarn-inspect-vrx ${PROJECT_VERSION}.\n\n"
    " -- ${TARN_DEB_MAINTAINER}  ${TARN_DEB_DATE}\n")
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/deb/${pkg}/changelog.Debian.gz
    COMMAND ${TARN_GZIP} -9 -n -f -k ${CMAKE_BINARY_DIR}/deb/${pkg}/changelog.Debian
    DEPENDS ${CMAKE_BINARY_DIR}/deb/${pkg}/changelog.Debian VERBATIM)
  list(APPEND TARN_DEB_CHANGELOGS ${CMAKE_BINARY_DIR}/deb/${pkg}/changelog.Debian.gz)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/deb/${pkg}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${pkg} COMPONENT ${comp})
endforeach()
add_custom_target(tarn-deb-changelogs ALL DEPENDS ${TARN_DEB_CHANGELOGS})

include(CPack)
