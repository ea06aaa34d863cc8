// attach_module.cpp: a test module that records each DllMain notification it gets, one line
// ("attach" or "detach") per notification, in the file named by KX_TEST_MODULE_LOG.
#include <cstdint>
#include <cstdlib>

#include "module_log.h"

extern "C" __attribute__((visibility("default"))) int DllMain(void*, std::uint32_t reason, void*) {
    Record(reason == 1 ? "attach" : "detach");
    return 1;
}

extern "C" __attribute__((visibility("default"))) int ModuleAnswer() {
    return 42;
}
