# Shared build settings: warnings as errors, sanitizers, module naming.

function(kx_warnings target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        # For the compilers only: a Windows module's resource script goes to windres.
        target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:C,CXX>:-Wall;-Wextra;-Werror>")
        # gcc 12 reports impossible overlaps inside libstdc++'s inlined string concatenation
        # at -O3 (sizes near 2^63); the diagnostic says nothing about our code.
        if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
           AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
            target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
        endif()
    endif()
endfunction()

if(KX_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    # The instrumentation defeats gcc's initialisation tracking: it then reports variables inside
    # libstdc++ (std::regex, std::function) as maybe uninitialised. The normal build keeps the
    # warning, so a real case in our code is still an error there.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        add_compile_options(-Wno-maybe-uninitialized)
    endif()
    add_link_options(-fsanitize=address,undefined)
endif()

if(KX_SANITIZE_THREAD)
    if(KX_SANITIZE)
        message(FATAL_ERROR "KX_SANITIZE_THREAD cannot be combined with KX_SANITIZE")
    endif()
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    # As under the other sanitizers, the instrumentation confuses gcc's initialisation tracking.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        add_compile_options(-Wno-maybe-uninitialized)
    endif()
    add_link_options(-fsanitize=thread)
endif()

# A module of the installation directory: exact file name (no "lib" prefix), placed in the
# build tree's installation directory, finding the platform library one level up.
function(kx_library_module target file_name)
    set_target_properties(${target} PROPERTIES
        PREFIX ""
        OUTPUT_NAME ${file_name}
        SUFFIX ".DLL"
        LIBRARY_OUTPUT_DIRECTORY ${KX_INSTALL_DIR_BUILD}
        RUNTIME_OUTPUT_DIRECTORY ${KX_INSTALL_DIR_BUILD}
        C_VISIBILITY_PRESET hidden
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        BUILD_RPATH "$ORIGIN/.."
        INSTALL_RPATH "$ORIGIN/..")
endfunction()
