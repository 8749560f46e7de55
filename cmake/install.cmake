# What `cmake --install` puts in place besides the program (app/window.cmake):
#   component "dev": orv-lib for other programs - the static archive, the public headers under
#   include/orv, a CMake package (find_package(orv-lib CONFIG) gives orv::orv-lib) and a
#   pkg-config file (orv-lib.pc);
# and the Debian package of the program (`make deb`: component "vexil" only).
include(CMakePackageConfigHelpers)

set(orv_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/orv-lib)
install(TARGETS orv-lib EXPORT orv-lib-targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(EXPORT orv-lib-targets NAMESPACE orv:: DESTINATION ${orv_cmake_dir} COMPONENT dev)

# The package finds the libraries orv-lib is built on again, by the same names.
get_property(ORV_PKG_MODULES GLOBAL PROPERTY ORV_PKG_MODULES)
set(orv_pc_requires "libssl libcrypto zlib")
foreach(entry IN LISTS ORV_PKG_MODULES)
  string(REGEX REPLACE "^[^=]*=" "" module "${entry}")
  string(APPEND orv_pc_requires " ${module}")
endforeach()
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/orv-lib-config.cmake.in
  ${CMAKE_BINARY_DIR}/orv-lib-config.cmake INSTALL_DESTINATION ${orv_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/orv-lib-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/orv-lib-config.cmake
              ${CMAKE_BINARY_DIR}/orv-lib-config-version.cmake
        DESTINATION ${orv_cmake_dir} COMPONENT dev)
configure_file(${CMAKE_SOURCE_DIR}/cmake/orv-lib.pc.in ${CMAKE_BINARY_DIR}/orv-lib.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/orv-lib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

# The Debian package of the program: vexil_<version>_<arch>.deb, its Depends computed from the
# shared libraries the binary links (dpkg-shlibdeps) and the ones it loads on first use.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT vexil)
set(orv_changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${orv_changelog}
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${orv_changelog}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog)
add_custom_target(vexil-changelog ALL DEPENDS ${orv_changelog})
install(FILES ${orv_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT vexil)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexil)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vexil developers <vexil-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "run a command and watch its output in a window")
set(CPACK_PACKAGE_DESCRIPTION
    "vexil opens one window: type a command line, press Run, and everything the
command writes appears as it is written in a scrolling, read-only,
fixed-pitch pane. The pane can be searched, cleared and saved; colours that
programs write are shown.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libcurl (the platform HTTP engine, CURLOPT_PROTOCOLS_STR needs 7.85), libproxy (the system's
# proxy settings) and libpsl (public suffixes) are loaded on first use, so dpkg-shlibdeps cannot
# see them in the binary.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4 (>= 7.85.0), libproxy1v5, libpsl5")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL vexil)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
include(CPack)
