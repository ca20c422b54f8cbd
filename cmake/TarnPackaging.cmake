# Debian packages (cpack -G DEB in the build folder), one per install component:
#   tarn-inspect-vrx     the programs, their man pages and completions
#   libtarn-common1      libtarn-common, libbrisk_pipe, libbrisk_json
#   libtarn-common-dev   headers, link-time symlinks, pkg-config file, CMake package
# Configure with -DCMAKE_INSTALL_PREFIX=/usr so the libraries land in the
# multiarch folder (GNUInstallDirs) and carry no RPATH.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarn-inspect-vrx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tarn")
set(TARN_DEB_MAINTAINER "tarn developers <tarn-dev@example.org>" CACHE STRING "Maintainer of the Debian packages")
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
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libtarn-common1 (= ${TARN_DEB_VERSION})")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "latency inspector for the tarn video link receiver
tarn-inspect-vrx subscribes to the receiver's vrx_latency pipe and prints a
live table of per-frame latencies (transmitter, receiver, assembly, FEC,
decoding, rendering), frame rate, signal strength and battery voltage,
optionally logging every row to CSV. tarn-vrx-top shows the link's health
live in any terminal: lost frames, frame rate, latency percentiles per frame
type and receiver stage over a sliding window, and a 60 s chart.
tarn-vrx-sim publishes simulated latency records on the same pipe.")

set(CPACK_DEBIAN_LIBS_PACKAGE_NAME libtarn-common1)
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBS_DESCRIPTION "shared library of the tarn video link
libtarn-common holds the link's stream helpers, Wi-Fi channel plan and radio
control, configuration writers and pipe record validators; libbrisk_pipe and
libbrisk_json are the pipe transport and JSON file libraries it uses.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarn-common-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtarn-common1 (= ${TARN_DEB_VERSION}), libfmt-dev, libcjson-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files for the tarn video link library
Headers, the pkg-config file tarn-common and the CMake package tarn-common
(targets tarn::tarn-common, tarn::brisk_pipe and tarn::brisk_json).")

# The loader cache is refreshed through dpkg's ldconfig trigger.
file(WRITE ${CMAKE_BINARY_DIR}/deb/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/deb/triggers)

# Every package carries its copyright file and a changelog, as Debian requires.
string(TIMESTAMP TARN_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
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
