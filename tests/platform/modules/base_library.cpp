// base_library.cpp: a library with a DllMain of its own, used only as a dependency of another
// test module; its DllMain must never be taken for that module's.
#include <cstdint>

#include "module_log.h"

extern "C" __attribute__((visibility("default"))) int DllMain(void*, std::uint32_t, void*) {
    Record("base");
    return 1;
}

extern "C" __attribute__((visibility("default"))) int BaseValue() {
    return 7;
}
