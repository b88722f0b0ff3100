# What `cmake --install` and cpack put on a machine: the installable build
# of the library and the sorvikctl linked with it. The test and
# demonstration builds stay in the build tree.
include(CMakePackageConfigHelpers)

set(SORVIK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Sorvik)

install(TARGETS sorvik EXPORT SorvikTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/sorvik.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET sorvikctl)
  install(TARGETS sorvikctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/tools/sorvikctl/sorvikctl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The metrics service and its timer, installed but not enabled: a machine
  # without node_exporter has no use for them.
  if(NOT WIN32)
    set(SORVIK_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
      "where the systemd units go, relative to the install prefix")
    install(FILES ${PROJECT_BINARY_DIR}/tools/sorvikctl/sorvik-metrics.service
                  ${PROJECT_SOURCE_DIR}/tools/sorvikctl/sorvik-metrics.timer
      DESTINATION ${SORVIK_SYSTEMD_UNIT_DIR})
  endif()
endif()

# The group and the run directory, in the forms systemd-sysusers and
# systemd-tmpfiles apply; in lib/ under the prefix, as Debian keeps them.
if(NOT WIN32)
  set(SORVIK_SYSUSERS_CONF ${CMAKE_INSTALL_PREFIX}/lib/sysusers.d/sorvik.conf)
  set(SORVIK_TMPFILES_CONF ${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d/sorvik.conf)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/sysusers.conf.in ${PROJECT_BINARY_DIR}/sysusers.d/sorvik.conf @ONLY)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/tmpfiles.conf.in ${PROJECT_BINARY_DIR}/tmpfiles.d/sorvik.conf @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/sysusers.d/sorvik.conf DESTINATION lib/sysusers.d)
  install(FILES ${PROJECT_BINARY_DIR}/tmpfiles.d/sorvik.conf DESTINATION lib/tmpfiles.d)
endif()

# find_package(Sorvik) gives Sorvik::sorvik.
install(EXPORT SorvikTargets NAMESPACE Sorvik:: DESTINATION ${SORVIK_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/SorvikConfig.cmake.in
  ${PROJECT_BINARY_DIR}/SorvikConfig.cmake INSTALL_DESTINATION ${SORVIK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/SorvikConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/SorvikConfig.cmake ${PROJECT_BINARY_DIR}/SorvikConfigVersion.cmake
  DESTINATION ${SORVIK_CMAKE_DIR})

# pkg-config finds the prefix from where the file lies, so that the same
# file serves an install under any prefix and the Debian package.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(SORVIK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(SORVIK_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(SORVIK_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH SORVIK_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" SORVIK_PC_UP "${SORVIK_PC_UP}")
  set(SORVIK_PC_PREFIX "\${pcfiledir}/${SORVIK_PC_UP}")
  set(SORVIK_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(SORVIK_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/sorvik.pc.in ${PROJECT_BINARY_DIR}/sorvik.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/sorvik.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
