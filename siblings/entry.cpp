// entry.cpp: the stand-ins' entry notification. When KX_STANDIN_TRACE names a file, each
// process attach and detach appends one line "<module> attach" or "<module> detach" to it, so
// that the order in which a host loads and unloads the siblings can be observed.
#include <cstdio>
#include <cstdlib>

#include "siblings/standin.h"

namespace {

void NoteEvent(const char* what) {
    const char* file = std::getenv("KX_STANDIN_TRACE");
    if (file == nullptr || file[0] == '\0') return;
    if (std::FILE* out = std::fopen(file, "a")) {
        std::fprintf(out, "%s %s\n", KX_STANDIN_MODULE, what);
        std::fclose(out);
    }
}

}  // namespace

KX_STANDIN_EXPORT int KX_STANDIN_API DllMain(void* /*module*/, std::uint32_t reason,
                                             void* /*reserved*/) {
    if (reason == kStandinProcessAttach) NoteEvent("attach");
    if (reason == kStandinProcessDetach) NoteEvent("detach");
    return 1;
}
