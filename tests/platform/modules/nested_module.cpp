// nested_module.cpp: a test module whose DllMain loads another module (named by
// KX_TEST_NESTED_TARGET) on attach and frees it on detach.
#include <cstdint>
#include <cstdlib>

#include "platform/platform.h"

namespace {
kx::plat::Module gInner = nullptr;
}

extern "C" __attribute__((visibility("default"))) int DllMain(void*, std::uint32_t reason, void*) {
    if (reason == 1) {
        const char* target = std::getenv("KX_TEST_NESTED_TARGET");
        gInner = target ? kx::plat::LoadLibraryA(target) : nullptr;
        return gInner ? 1 : 0;
    }
    if (gInner) kx::plat::FreeLibrary(gInner);
    gInner = nullptr;
    return 1;
}

extern "C" __attribute__((visibility("default"))) void* NestedInner() {
    return gInner;
}
