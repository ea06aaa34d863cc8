// kx_loader.cpp: C entry points onto the platform loader, for hosts written in C.
#include "kx_loader.h"

#include "platform/platform.h"

extern "C" void* kx_load_library(const char* path) {
    return kx::plat::LoadLibraryA(path);
}

extern "C" void* kx_get_proc(void* module, const char* name) {
    return kx::plat::GetProcAddress(static_cast<kx::plat::Module>(module), name);
}

extern "C" int kx_free_library(void* module) {
    return kx::plat::FreeLibrary(static_cast<kx::plat::Module>(module)) ? 1 : 0;
}
