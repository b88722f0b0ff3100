# `cpack -G DEB` makes a Debian package of what install.cmake installs.
set(CPACK_PACKAGE_NAME sorvik)
set(CPACK_PACKAGE_VENDOR "Sorvik")
set(CPACK_PACKAGE_CONTACT "Sorvik developers <sorvik@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "table of controlled programs shared by the processes of one machine")
set(CPACK_PACKAGE_DESCRIPTION "libsorvik.so keeps, in shared memory, a table of controlled programs through
which cooperating programs decide together how many copies of each may run;
sorvikctl administers it from the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# The library's own SONAME for dependent packages, in a shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
find_program(SORVIK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(SORVIK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
# The package makes the group and the run directory when it is installed.
if(NOT WIN32)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/postinst.in ${PROJECT_BINARY_DIR}/debian/postinst @ONLY)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/postinst)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
