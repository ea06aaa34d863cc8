# Shared part of the mingw-w64 toolchain files: the caller sets KX_MINGW_TRIPLE first.
#
# The posix threading flavour of the compilers is used so that the C++ standard library's
# threads and mutexes are available; its winpthread runtime, libgcc and libstdc++ are linked
# statically, so the built DLLs need no runtime DLL of the compiler next to them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KX_MINGW_PROCESSOR})

foreach(flavour -posix "")
    find_program(KX_MINGW_CXX NAMES ${KX_MINGW_TRIPLE}-g++${flavour})
    find_program(KX_MINGW_CC NAMES ${KX_MINGW_TRIPLE}-gcc${flavour})
endforeach()
set(CMAKE_C_COMPILER ${KX_MINGW_CC})
set(CMAKE_CXX_COMPILER ${KX_MINGW_CXX})
set(CMAKE_RC_COMPILER ${KX_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${KX_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KX_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${KX_MINGW_TRIPLE}-objdump CACHE FILEPATH "")
set(CMAKE_OBJCOPY ${KX_MINGW_TRIPLE}-objcopy CACHE FILEPATH "")
set(CMAKE_STRIP ${KX_MINGW_TRIPLE}-strip CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${KX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(KX_MINGW_STATIC_RUNTIME "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${KX_MINGW_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${KX_MINGW_STATIC_RUNTIME}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${KX_MINGW_STATIC_RUNTIME}")
