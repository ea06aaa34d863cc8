# Cross-compiles for 32-bit Windows (the library's real target) with mingw-w64:
#   cmake -S . -B build-mingw32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake
set(KX_MINGW_TRIPLE i686-w64-mingw32)
set(KX_MINGW_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Export lists may name __stdcall functions without their @N decoration; the linker then binds
# each name to its decorated symbol, which is intended, so it need not warn about it.
string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,--enable-stdcall-fixup")
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " -Wl,--enable-stdcall-fixup")
