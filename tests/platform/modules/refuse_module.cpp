// refuse_module.cpp: a test module whose DllMain refuses the attach; every notification is
// recorded in the file named by KX_TEST_MODULE_LOG.
#include <cstdint>

#include "module_log.h"

extern "C" __attribute__((visibility("default"))) int DllMain(void*, std::uint32_t reason, void*) {
    Record(reason == 1 ? "attach" : "detach");
    return reason == 1 ? 0 : 1;
}
