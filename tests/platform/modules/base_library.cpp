// base_library.cpp: a library with a DllMain of its own, used only as a dependency of another
// test module; its DllMain must never be taken for that module's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) int DllMain(void*, std::uint32_t, void*) {
    if (const char* file = std::getenv("KX_TEST_MODULE_LOG")) {
        if (FILE* out = std::fopen(file, "a")) {
            std::fprintf(out, "base\n");
            std::fclose(out);
        }
    }
    return 1;
}

extern "C" __attribute__((visibility("default"))) int BaseValue() {
    return 7;
}
