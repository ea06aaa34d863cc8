// throw_module.cpp: a test module whose DllMain throws out of the attach, as a careless C++
// module might: the exception reaches the loader, and a C host must never see it.
#include <cstdint>
#include <stdexcept>

extern "C" __attribute__((visibility("default"))) int DllMain(void*, std::uint32_t reason, void*) {
    if (reason == 1) throw std::runtime_error("attach failed by throwing");
    return 1;
}
