# Windows modules: export tables from a module definition file.
#
# On 32-bit Windows every export uses the Windows API calling convention, so the compiler
# decorates its name as Name@N (N: bytes of arguments the function removes). A .def file may list
# names decorated ("Name@N @k") or plain ("Name @k"); either way the module exports the plain
# names at the listed ordinals (--kill-at), and an import library made from a decorated list
# keeps the decorated names that callers' compilers look for. On 64-bit Windows there is no
# decoration: the list is used with the decorations removed.

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(KX_WINDOWS_STDCALL_DECORATION ON)
else()
    set(KX_WINDOWS_STDCALL_DECORATION OFF)
endif()

string(REGEX REPLACE "-g\\+\\+(-posix|-win32)?$" "-dlltool" KX_DLLTOOL_GUESS
       "${CMAKE_CXX_COMPILER}")
find_program(KX_DLLTOOL NAMES ${KX_DLLTOOL_GUESS} dlltool)

# kx_windows_exports(target def_file): exports exactly the names of `def_file`, at its ordinals,
# under the module name of its LIBRARY line.
function(kx_windows_exports target def_file)
    get_filename_component(def_name "${def_file}" NAME)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${def_file}")
    if(KX_WINDOWS_STDCALL_DECORATION)
        target_sources(${target} PRIVATE "${def_file}")
        target_link_options(${target} PRIVATE "LINKER:--kill-at" "LINKER:--enable-stdcall-fixup")
        # The linker's own import library loses the decorations with --kill-at; make it again
        # from the list. A module has no import library: its linker file is the module itself.
        get_target_property(target_type ${target} TYPE)
        if(KX_DLLTOOL AND target_type STREQUAL "SHARED_LIBRARY")
            add_custom_command(TARGET ${target} POST_BUILD
                COMMAND ${KX_DLLTOOL} --kill-at --input-def "${def_file}"
                        --output-lib "$<TARGET_LINKER_FILE:${target}>"
                VERBATIM)
        endif()
    else()
        file(READ "${def_file}" listed)
        string(REGEX REPLACE "([A-Za-z0-9_])@[0-9]+" "\\1" plain "${listed}")
        set(plain_def "${CMAKE_CURRENT_BINARY_DIR}/${target}-${def_name}")
        file(WRITE "${plain_def}.new" "${plain}")
        configure_file("${plain_def}.new" "${plain_def}" COPYONLY)
        target_sources(${target} PRIVATE "${plain_def}")
    endif()
endfunction()
