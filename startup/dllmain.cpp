// dllmain.cpp: the library's entry notification. The platform's loader calls it when it maps
// the library into a process and when it unmaps it; nothing runs at load time otherwise.
#include "kxevent/kxevent.h"
#include "startup/startup.h"

// Windows finds the entry point through the image header, so it stays out of the export table
// there; the Linux platform loader looks it up by name.
#if defined(_WIN32)
#define KX_ENTRY_EXPORT
#else
#define KX_ENTRY_EXPORT KX_EXPORT
#endif

extern "C" KX_ENTRY_EXPORT int KX_API DllMain(void* module, uint32_t reason, void*) {
    try {
        switch (reason) {
            case KX_DLL_PROCESS_ATTACH:
                return kx::ProcessAttach(static_cast<kx::plat::Module>(module)) ? 1 : 0;
            case KX_DLL_PROCESS_DETACH:
                kx::ProcessDetach();
                return 1;
            default:
                return 1;
        }
    } catch (...) {
        return 0;
    }
}
