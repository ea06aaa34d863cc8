# Packaging for product developers and administrators: a CMake package config
# (find_package(KXEvent)), a pkg-config file (kxevent.pc) and a Debian package from CPack.
include(CMakePackageConfigHelpers)

set(KX_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KXEvent)
if(NOT WIN32)
    configure_package_config_file(
        ${CMAKE_CURRENT_LIST_DIR}/KXEventConfig.cmake.in
        ${CMAKE_BINARY_DIR}/packaging/KXEventConfig.cmake
        INSTALL_DESTINATION ${KX_CMAKE_PACKAGE_DIR}
        PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR KX_INSTALL_SUBDIR)
    write_basic_package_version_file(
        ${CMAKE_BINARY_DIR}/packaging/KXEventConfigVersion.cmake
        COMPATIBILITY SameMajorVersion)
    install(FILES
        ${CMAKE_BINARY_DIR}/packaging/KXEventConfig.cmake
        ${CMAKE_BINARY_DIR}/packaging/KXEventConfigVersion.cmake
        DESTINATION ${KX_CMAKE_PACKAGE_DIR})

    # The .pc file finds its prefix relative to itself, so the installation can be moved.
    file(RELATIVE_PATH KX_PC_TO_PREFIX
        /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
    string(REGEX REPLACE "/$" "" KX_PC_TO_PREFIX "${KX_PC_TO_PREFIX}")
    configure_file(${CMAKE_CURRENT_LIST_DIR}/kxevent.pc.in
        ${CMAKE_BINARY_DIR}/packaging/kxevent.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/kxevent.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

set(CPACK_PACKAGE_NAME kxevent)
set(CPACK_PACKAGE_VENDOR "kxevent project")
set(CPACK_PACKAGE_CONTACT "kxevent maintainers <maintainers@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Event reporting library KXEvent.DLL, the kxevent command and the syslog forwarder")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
