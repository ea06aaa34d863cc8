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

# Release hygiene of every module and executable the Windows build makes: a version resource
# (one template, cmake/KxVersion.rc.in) and, for modules with code, the debug information moved
# out of the module into <build>/debug/<path of the module>.debug, which the module names in
# its .gnu_debuglink section (a debugger finds it there or beside the module).
enable_language(RC)
set(KX_WINDOWS_VERSION_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/KxVersion.rc.in)
set(KX_WINDOWS_DEBUG_DIR ${CMAKE_BINARY_DIR}/debug)
option(KX_WINDOWS_SPLIT_DEBUG
       "Windows builds: move each module's debug information into a .debug file of its own" ON)

# kx_windows_module(<target> FILE <file name> DESCRIPTION <text> [LANGUAGE <PPSS>]
#                   [RESOURCE_ONLY] [DESTINATION <install directory>])
# LANGUAGE: the language of a localized module (primary and sub-language, hex, as in Res<PPSS>);
# English (United States) otherwise. RESOURCE_ONLY: no code, so no debug information to split.
# DESTINATION: where the module is installed; its .debug file then goes to debug/<DESTINATION>
# of the installation, in the component "debug" (cmake --install <build> --component debug).
function(kx_windows_module target)
    cmake_parse_arguments(ARG "RESOURCE_ONLY" "FILE;DESCRIPTION;LANGUAGE;DESTINATION" "" ${ARGN})
    if(NOT ARG_FILE OR NOT ARG_DESCRIPTION)
        message(FATAL_ERROR "kx_windows_module(${target}): FILE and DESCRIPTION are required")
    endif()
    if(NOT ARG_LANGUAGE)
        set(ARG_LANGUAGE 0901)
    endif()
    if(NOT ARG_LANGUAGE MATCHES "^[0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F]$")
        message(FATAL_ERROR "kx_windows_module(${target}): LANGUAGE ${ARG_LANGUAGE} is not PPSS")
    endif()
    string(SUBSTRING ${ARG_LANGUAGE} 0 2 primary)
    string(SUBSTRING ${ARG_LANGUAGE} 2 2 sub)
    # The language identifier: sub-language in the upper six bits, primary language below.
    math(EXPR langid "(0x${sub} << 10) | 0x${primary}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING ${langid} 2 -1 langid)
    string(LENGTH ${langid} digits)
    while(digits LESS 4)
        string(PREPEND langid 0)
        math(EXPR digits "${digits} + 1")
    endwhile()
    string(TOUPPER ${langid} KX_RC_LANGID)
    set(KX_RC_PRIMARY 0x${primary})
    set(KX_RC_SUB 0x${sub})

    set(parts)
    foreach(part MAJOR MINOR PATCH TWEAK)
        if("${PROJECT_VERSION_${part}}" STREQUAL "")
            list(APPEND parts 0)
        else()
            list(APPEND parts ${PROJECT_VERSION_${part}})
        endif()
    endforeach()
    list(JOIN parts "," KX_RC_VERSION_COMMAS)
    list(JOIN parts "." KX_RC_VERSION_DOTS)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
        set(KX_RC_FILE_TYPE VFT_APP)
    else()
        set(KX_RC_FILE_TYPE VFT_DLL)
    endif()
    set(KX_RC_FILE_NAME ${ARG_FILE})
    string(REGEX REPLACE "\\.[^.]*$" "" KX_RC_INTERNAL_NAME ${ARG_FILE})
    string(REPLACE "\"" "\"\"" KX_RC_DESCRIPTION "${ARG_DESCRIPTION}")
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.version.rc)
    configure_file(${KX_WINDOWS_VERSION_TEMPLATE} ${script} @ONLY)
    target_sources(${target} PRIVATE ${script})

    if(ARG_RESOURCE_ONLY OR NOT KX_WINDOWS_SPLIT_DEBUG)
        return()
    endif()
    if(NOT CMAKE_OBJCOPY OR NOT CMAKE_STRIP)
        message(FATAL_ERROR "kx_windows_module(${target}): objcopy and strip of the mingw-w64 "
                            "binutils are needed (CMAKE_OBJCOPY, CMAKE_STRIP)")
    endif()
    set(module "$<TARGET_FILE:${target}>")
    set(debug_file
        "${KX_WINDOWS_DEBUG_DIR}/$<PATH:RELATIVE_PATH,${module},${CMAKE_BINARY_DIR}>.debug")
    # --strip-debug: the debug sections go, the symbol table stays, so that a disassembly still
    # names each function (the export checks read the return instructions per function); the
    # installation strips it (kx_windows_install_stripped).
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E make_directory "$<PATH:GET_PARENT_PATH,${debug_file}>"
        COMMAND ${CMAKE_OBJCOPY} --only-keep-debug "${module}" "${debug_file}"
        COMMAND ${CMAKE_STRIP} --strip-debug "${module}"
        COMMAND ${CMAKE_OBJCOPY} "--add-gnu-debuglink=${debug_file}" "${module}"
        COMMENT "Moving the debug information of ${ARG_FILE} into debug/"
        VERBATIM)
    if(ARG_DESTINATION)
        install(FILES "${debug_file}" DESTINATION debug/${ARG_DESTINATION}
                COMPONENT debug EXCLUDE_FROM_ALL)
        set_property(GLOBAL APPEND PROPERTY KX_WINDOWS_STRIPPED_INSTALLS
                     ${ARG_DESTINATION}/${ARG_FILE})
    endif()
endfunction()

# kx_windows_install_stripped(): called after every install() of the modules. The installed
# copies lose their symbol table too (strip --strip-unneeded; the export table stays), which
# the build tree keeps for the disassembly checks; their debug link still names the .debug file.
function(kx_windows_install_stripped)
    get_property(files GLOBAL PROPERTY KX_WINDOWS_STRIPPED_INSTALLS)
    foreach(file IN LISTS files)
        install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\" COMMAND_ERROR_IS_FATAL ANY)")
    endforeach()
endfunction()
