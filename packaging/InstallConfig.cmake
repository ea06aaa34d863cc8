# Run by "cmake --install" (Packaging.cmake sets the KX_* variables first). Writes the files
# whose content names installed paths at install time, so that they name the prefix actually
# installed to (--prefix may differ from the configured one):
#   <sysconfdir>/velmora/hklm.reg  the system registry: the default catalogue, the forwarding
#                                  list and real paths; an existing one is the administrator's
#                                  and is kept
#   <datadir>/kxevent/default.reg  the same text, left alone, to start over from
#   <libdir>/pkgconfig/kxevent.pc  absolute paths and no run path
# and creates the alerting directory <localstatedir>/spool/kxevent/alerts with mode 0755: the
# library refuses a place that others than its owner can write.

# The absolute form of an install directory, as GNUInstallDirs gives it: under the prefix, but
# /etc and /var themselves for the prefix /usr.
function(kx_absolute_dir out dir)
    if(IS_ABSOLUTE "${dir}")
        set(${out} "${dir}" PARENT_SCOPE)
    elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND dir MATCHES "^(etc|var)(/|$)")
        set(${out} "/${dir}" PARENT_SCOPE)
    else()
        set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
    endif()
endfunction()

# A path as the text of a .reg string value: backslash and double quote are escaped.
function(kx_reg_text out path)
    string(REPLACE "\\" "\\\\" path "${path}")
    string(REPLACE "\"" "\\\"" path "${path}")
    set(${out} "${path}" PARENT_SCOPE)
endfunction()

function(kx_install_text destination text)
    set(file "$ENV{DESTDIR}${destination}")
    get_filename_component(directory "${file}" DIRECTORY)
    file(MAKE_DIRECTORY "${directory}")
    file(WRITE "${file}" "${text}")
    file(CHMOD "${file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${file}")
    set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
    message(STATUS "Installing: ${file}")
endfunction()

kx_absolute_dir(kx_libdir "${KX_LIBDIR}")
kx_absolute_dir(kx_includedir "${KX_INCLUDEDIR}")
kx_absolute_dir(kx_datadir "${KX_DATADIR}")
kx_absolute_dir(kx_sysconfdir "${KX_SYSCONFDIR}")
kx_absolute_dir(kx_localstatedir "${KX_LOCALSTATEDIR}")
set(kx_module_dir "${kx_libdir}/velmora")
set(kx_spool_dir "${kx_localstatedir}/spool/kxevent")

# The registry: the template's placeholders get the installed paths; one left over would reach
# the library as a path that does not exist, so it stops the installation instead.
file(READ "${KX_REGISTRY_TEMPLATE}" kx_registry)
kx_reg_text(kx_module_text "${kx_module_dir}")
kx_reg_text(kx_spool_text "${kx_spool_dir}")
string(REPLACE "@KXEVENT_INSTALL_DIR@" "${kx_module_text}" kx_registry "${kx_registry}")
string(REPLACE "@KXEVENT_STATE_DIR@" "${kx_spool_text}" kx_registry "${kx_registry}")
string(REGEX MATCH "@[A-Za-z0-9_]+@" kx_left "${kx_registry}")
if(kx_left)
    message(FATAL_ERROR "${KX_REGISTRY_TEMPLATE}: placeholder ${kx_left} has no installed value")
endif()
kx_install_text("${kx_datadir}/kxevent/default.reg" "${kx_registry}")
if(EXISTS "$ENV{DESTDIR}${kx_sysconfdir}/velmora/hklm.reg")
    message(STATUS "Keeping: $ENV{DESTDIR}${kx_sysconfdir}/velmora/hklm.reg (the new default is "
                   "${kx_datadir}/kxevent/default.reg)")
else()
    kx_install_text("${kx_sysconfdir}/velmora/hklm.reg" "${kx_registry}")
endif()

foreach(kx_dir "${kx_spool_dir}" "${kx_spool_dir}/alerts")
    file(MAKE_DIRECTORY "$ENV{DESTDIR}${kx_dir}")
    file(CHMOD "$ENV{DESTDIR}${kx_dir}" DIRECTORY_PERMISSIONS
         OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(prefix "${CMAKE_INSTALL_PREFIX}")
set(libdir "${kx_libdir}")
set(includedir "${kx_includedir}")
set(moduledir "${kx_module_dir}")
file(READ "${KX_PC_TEMPLATE}" kx_pc)
string(CONFIGURE "${kx_pc}" kx_pc @ONLY)
kx_install_text("${kx_libdir}/pkgconfig/kxevent.pc" "${kx_pc}")
