// throw_module.cpp: a test module whose DllMain throws out of the attach, as a careless C++
// module might: the exception reaches the loader, and a C host must never see it. With
// KX_TEST_THROW_MODULE_ACCEPTS set it attaches normally instead, so that a test can load it again
// after a throw; with KX_TEST_THROW_MODULE_DETACH_THROWS set as well it throws out of its detach.
// Each notification that returns is recorded in the file named by KX_TEST_MODULE_LOG, a throw out
// of the attach as "throw" and one out of the detach as "throw detach".
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "module_log.h"

extern "C" __attribute__((visibility("default"))) int DllMain(void*, std::uint32_t reason, void*) {
    if (reason == 1 && std::getenv("KX_TEST_THROW_MODULE_ACCEPTS") == nullptr) {
        Record("throw");
        throw std::runtime_error("attach failed by throwing");
    }
    if (reason == 0 && std::getenv("KX_TEST_THROW_MODULE_DETACH_THROWS") != nullptr) {
        Record("throw detach");
        throw std::runtime_error("detach failed by throwing");
    }
    Record(reason == 1 ? "attach" : "detach");
    return 1;
}
