// load_host.cpp: a host process that loads KXEvent.DLL the way a calling product does, through
// the platform loader, and reports what it saw on standard output:
//   "refused <error>"                         the load failed
//   "populate <result> <language> <product>"  after EVENT_PopulateEventStructures
//   "unloaded"                                after the library was freed
// Every FreeLibrary the process makes (the host's and the library's own) is noted as
// "free <file name>" in the file named by KX_STANDIN_TRACE, next to the stand-ins' lines.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kxevent/kxevent.h"
#include "platform/platform.h"

namespace {

using PopulateFn = int(KX_API*)(uint32_t, const char*, MessageRecord*, DetailRecord*,
                                ContextRecord*);

bool NoteFree(kx::plat::Module module) {
    char path[260] = {};
    kx::plat::GetModuleFileNameA(module, path, sizeof path);
    const char* name = std::strrchr(path, '/');
    if (const char* file = std::getenv("KX_STANDIN_TRACE")) {
        if (std::FILE* out = std::fopen(file, "a")) {
            std::fprintf(out, "free %s\n", name ? name + 1 : path);
            std::fclose(out);
        }
    }
    return kx::plat::DefaultHooks().FreeLibrary(module);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kx_load_host <KXEvent.DLL>\n");
        return 2;
    }
    kx::plat::Hooks().FreeLibrary = NoteFree;
    kx::plat::Module library = kx::plat::LoadLibraryA(argv[1]);
    if (library == nullptr) {
        std::printf("refused %u\n", static_cast<unsigned>(kx::plat::GetLastError()));
        return 3;
    }
    auto populate = reinterpret_cast<PopulateFn>(
        kx::plat::GetProcAddress(library, "EVENT_PopulateEventStructures"));
    if (populate != nullptr) {
        static MessageRecord message;
        static DetailRecord detail;
        static ContextRecord context;
        std::snprintf(message.szSourceIP, sizeof message.szSourceIP, "10.1.2.3");
        const int result = populate(0, "task", &message, &detail, &context);
        std::printf("populate %d %s %s\n", result, detail.szLanguageCode, message.szSoftwareName);
    }
    kx::plat::FreeLibrary(library);
    std::printf("unloaded\n");
    return 0;
}
