# What a client gets from an install: libtarnex.so.1, its public headers with
# tarnexversion.h, tarnex.pc and the CMake package. The handset's own libraries
# (libselvra, libkavlo) are not part of it: clients link libtarnex and Qt only.
#
# The names a Qt major version changes are kept together: the Qt 5 build keeps
# the names of 1.0, the Qt 6 one carries "qt6" in each, so both install side
# by side into one prefix.
if(TARNEX_QT_MAJOR_VERSION STREQUAL "5")
    set(TARNEX_LIBRARY_NAME tarnex)
    set(TARNEX_CMAKE_PACKAGE Tarnex)
else()
    set(TARNEX_LIBRARY_NAME tarnex-qt${TARNEX_QT_MAJOR_VERSION})
    set(TARNEX_CMAKE_PACKAGE TarnexQt${TARNEX_QT_MAJOR_VERSION})
endif()
set(TARNEX_INCLUDE_SUBDIR ${TARNEX_LIBRARY_NAME})
set(TARNEX_PC_NAME ${TARNEX_LIBRARY_NAME})
set(TARNEX_SONAME lib${TARNEX_LIBRARY_NAME}.so.${PROJECT_VERSION_MAJOR})
set_target_properties(tarnex PROPERTIES OUTPUT_NAME ${TARNEX_LIBRARY_NAME})

configure_file(${CMAKE_CURRENT_LIST_DIR}/tarnexversion.h.in ${PROJECT_BINARY_DIR}/common/tarnexversion.h @ONLY)
tarnex_public_headers(${PROJECT_BINARY_DIR}/common/tarnexversion.h)

get_property(TARNEX_HEADERS GLOBAL PROPERTY TARNEX_PUBLIC_HEADERS)
install(TARGETS tarnex LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${TARNEX_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${TARNEX_INCLUDE_SUBDIR})

# The .pc file finds its prefix relative to itself, so an installed tree can be moved.
file(RELATIVE_PATH TARNEX_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" TARNEX_PC_TO_PREFIX "${TARNEX_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tarnex.pc.in ${PROJECT_BINARY_DIR}/${TARNEX_PC_NAME}.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/${TARNEX_PC_NAME}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

include(CMakePackageConfigHelpers)
set(_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${TARNEX_CMAKE_PACKAGE})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/${TARNEX_CMAKE_PACKAGE}ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TarnexConfig.cmake.in
    ${PROJECT_BINARY_DIR}/${TARNEX_CMAKE_PACKAGE}Config.cmake
    INSTALL_DESTINATION ${_config_dir}
    PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
install(FILES ${PROJECT_BINARY_DIR}/${TARNEX_CMAKE_PACKAGE}Config.cmake
              ${PROJECT_BINARY_DIR}/${TARNEX_CMAKE_PACKAGE}ConfigVersion.cmake
    DESTINATION ${_config_dir})

# Where the tools find each other and the sample message once installed.
set(TARNEX_TOOLS_DATADIR ${CMAKE_INSTALL_DATADIR}/tarnex-tools)
