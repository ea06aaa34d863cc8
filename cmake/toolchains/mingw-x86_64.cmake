# Cross-compiles for 64-bit Windows with mingw-w64:
#   cmake -S . -B build-mingw64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x86_64.cmake
set(KX_MINGW_TRIPLE x86_64-w64-mingw32)
set(KX_MINGW_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
