# Packaging for product developers and administrators: a CMake package config
# (find_package(KXEvent)), a pkg-config file (kxevent.pc) and, on Linux, the system registry
# and the alerting directory. The Debian packages are built from debian/ (scripts/deb.sh).
include(CMakePackageConfigHelpers)

# The licence's text goes with every installation made by hand; Debian's packages carry it in
# their copyright file instead (debian/not-installed).
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

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

    # The system registry, its pristine copy, the alerting directory and the .pc file name
    # installed paths, so they are written when the installation's prefix is known.
    install(CODE "
        set(KX_REGISTRY_TEMPLATE \"${PROJECT_SOURCE_DIR}/config/default.reg\")
        set(KX_PC_TEMPLATE \"${CMAKE_CURRENT_LIST_DIR}/kxevent.pc.in\")
        set(KX_VERSION \"${PROJECT_VERSION}\")
        set(KX_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
        set(KX_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
        set(KX_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
        set(KX_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
        set(KX_LOCALSTATEDIR \"${CMAKE_INSTALL_LOCALSTATEDIR}\")
        include(\"${CMAKE_CURRENT_LIST_DIR}/InstallConfig.cmake\")")
endif()
