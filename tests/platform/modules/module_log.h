// module_log.h: how the test modules tell what their DllMain was given: one line `what` added
// to the file named by KX_TEST_MODULE_LOG, when it is set.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace {

inline void Record(const char* what) {
    const char* file = std::getenv("KX_TEST_MODULE_LOG");
    if (!file) return;
    if (FILE* out = std::fopen(file, "a")) {
        std::fprintf(out, "%s\n", what);
        std::fclose(out);
    }
}

}  // namespace
