# KorvalInstall.cmake - what `cmake --install` puts under the prefix: the
# tools korval, korval-codemap and korval-lookup, the fault reporter's static library and
# header <korval/mapdebug.h>, the manual pages, a pkg-config file (korval.pc)
# and the CMake package (find_package(korval), giving korval::mapdebug and
# korval_code_map()). Every file finds the others relative to itself, so the
# prefix may be chosen at install time.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KORVAL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/korval)

install(TARGETS korval codemap lookup EXPORT korvalTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS mapdebug EXPORT korvalTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_BINARY_DIR}/include/korval/mapdebug.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korval)
install(FILES docs/korval.1 docs/korval-codemap.1 docs/korval-lookup.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(EXPORT korvalTargets NAMESPACE korval:: DESTINATION ${KORVAL_CMAKE_DIR})
configure_package_config_file(cmake/korvalConfig.cmake.in korvalConfig.cmake
                              INSTALL_DESTINATION ${KORVAL_CMAKE_DIR})
write_basic_package_version_file(korvalConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/korvalConfig.cmake
              ${PROJECT_BINARY_DIR}/korvalConfigVersion.cmake
              cmake/KorvalCodeMap.cmake
        DESTINATION ${KORVAL_CMAKE_DIR})

# The pkg-config file names its prefix from its own place (${pcfiledir}).
file(RELATIVE_PATH KORVAL_PC_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(cmake/korval.pc.in korval.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/korval.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
