# Install layout beyond the targets' own rules (those sit next to each target
# and join the export set tarn-common-targets): the CMake package, the
# pkg-config file, man pages and bash completions. Components:
#   libs   the shared libraries (runtime)
#   dev    headers, link-time symlinks, pkg-config file, CMake package
#   tools  programs, man pages, completions
include(CMakePackageConfigHelpers)

set(TARN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarn-common)

# Same names inside this build as for a consumer of the installed package.
add_library(tarn::tarn-common ALIAS tarn-common)
add_library(tarn::brisk_pipe ALIAS brisk_pipe)
add_library(tarn::brisk_json ALIAS brisk_json)

# Every executable and shared library defined under dir, recursively.
function(tarn_collect_targets dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  set(found "")
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE" OR type STREQUAL "SHARED_LIBRARY")
      list(APPEND found ${t})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    tarn_collect_targets(${sub} sub_found)
    list(APPEND found ${sub_found})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# Under a system prefix the libraries sit in the loader's own search path:
# no RPATH (Debian policy, and nothing to go stale).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  tarn_collect_targets(${PROJECT_SOURCE_DIR} tarn_targets)
  set_target_properties(${tarn_targets} PROPERTIES INSTALL_RPATH "")
endif()

install(FILES ${PROJECT_SOURCE_DIR}/interfaces/brisk_pipe.h ${PROJECT_SOURCE_DIR}/interfaces/brisk_json.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(EXPORT tarn-common-targets NAMESPACE tarn:: FILE tarn-common-targets.cmake
        DESTINATION ${TARN_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tarn-common-config.cmake.in
  ${CMAKE_BINARY_DIR}/tarn-common-config.cmake INSTALL_DESTINATION ${TARN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tarn-common-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/tarn-common-config.cmake ${CMAKE_BINARY_DIR}/tarn-common-config-version.cmake
        DESTINATION ${TARN_CMAKE_DIR} COMPONENT dev)

# The pkg-config file is written at install time so that it names the prefix
# actually installed to (cmake --install --prefix, or /usr under CPack).
install(CODE "
  set(TARN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(TARN_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(TARN_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(TARN_PC_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/tarn-common.pc.in\" \"${CMAKE_BINARY_DIR}/tarn-common.pc\" @ONLY)
" COMPONENT dev)
install(FILES ${CMAKE_BINARY_DIR}/tarn-common.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Man pages get the project version (@PROJECT_VERSION@ in their title line)
# and are installed compressed, as man and Debian expect.
find_program(TARN_GZIP gzip REQUIRED)
set(TARN_MAN_PAGES tarn-inspect-vrx.1 tarn-vrx-sim.1 tarn-latency-report.1 tarn-vrx-top.1)
set(TARN_MAN_GZ "")
foreach(page IN LISTS TARN_MAN_PAGES)
  set(src ${CMAKE_BINARY_DIR}/man/${page})
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page} ${src} @ONLY)
  set(gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${TARN_GZIP} -9 -n -c ${src} > ${gz}
    DEPENDS ${src} VERBATIM)
  list(APPEND TARN_MAN_GZ ${gz})
endforeach()
add_custom_target(tarn-man ALL DEPENDS ${TARN_MAN_GZ})
install(FILES ${TARN_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

# The example scenarios of tarn-vrx-sim --scenario, beside the package's
# documentation (/usr/share/doc/tarn-inspect-vrx/scenarios).
file(GLOB TARN_SCENARIOS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/scenarios/*.scn)
install(FILES ${TARN_SCENARIOS} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME}/scenarios COMPONENT tools)

install(FILES ${PROJECT_SOURCE_DIR}/completions/tarn-inspect-vrx ${PROJECT_SOURCE_DIR}/completions/tarn-vrx-sim
              ${PROJECT_SOURCE_DIR}/completions/tarn-latency-report ${PROJECT_SOURCE_DIR}/completions/tarn-vrx-top
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tools)

# The service that records every flight (not enabled by the package). Its
# ExecStart names /usr/bin/tarn-vrx-top, where the package puts it.
install(FILES ${PROJECT_SOURCE_DIR}/systemd/tarn-vrx-record.service
        DESTINATION lib/systemd/system COMPONENT tools)
