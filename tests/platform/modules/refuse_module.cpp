// refuse_module.cpp: a test module whose DllMain refuses the attach; every notification is
// recorded in the file named by KX_TEST_MODULE_LOG.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) int DllMain(void*, std::uint32_t reason, void*) {
    if (const char* file = std::getenv("KX_TEST_MODULE_LOG")) {
        if (FILE* out = std::fopen(file, "a")) {
            std::fprintf(out, "%s\n", reason == 1 ? "attach" : "detach");
            std::fclose(out);
        }
    }
    return reason == 1 ? 0 : 1;
}
