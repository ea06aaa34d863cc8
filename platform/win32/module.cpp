// module.cpp: loading, resolving and releasing modules through the system's loader, which also
// runs each module's DllMain, and the modules' string resources.
#include <cstring>
#include <string>

#include "platform/eventlog_ids.h"
#include "platform/win32/internal.h"
#include "platform/win32/system_headers.h"

namespace kx::plat::backend {
namespace {

HMODULE Native(Module module) {
    return reinterpret_cast<HMODULE>(module);
}

}  // namespace

// kDontResolveDllReferences and kLoadWithAlteredSearchPath carry the system's own values, so the
// flags pass through unchanged.
Module LoadLibraryExA(const char* path, Dword flags) {
    if (path == nullptr) {
        Fail(kErrorInvalidParameter);
        return nullptr;
    }
    // kLoadNamedByConfiguration is the facade's own: the system's access control lists already
    // keep the registry and the installation directory from other users. A configured bare name
    // would be found through the search path, which no configuration decides.
    if ((flags & kLoadNamedByConfiguration) != 0 && std::strpbrk(path, "\\/:") == nullptr) {
        const std::string text = std::string("Module ") + path +
                                 " was not loaded: a configured module must be named with its "
                                 "directory, not found through the library search path";
        plat::AddEventLogEntry(KX_EVENT_SOURCE_PLATFORM, "Untrusted module refused", 0,
                               static_cast<Dword>(kErrorAccessDenied), text.c_str());
        plat::NoteTrustRefusal();
        Fail(kErrorAccessDenied);
        return nullptr;
    }
    return reinterpret_cast<Module>(
        ::LoadLibraryExA(path, nullptr, flags & ~kLoadNamedByConfiguration));
}

void* GetProcAddress(Module module, const char* name) {
    if (module == nullptr || name == nullptr) {
        Fail(kErrorInvalidHandle);
        return nullptr;
    }
    return reinterpret_cast<void*>(::GetProcAddress(Native(module), name));
}

bool FreeLibrary(Module module) {
    return module != nullptr && ::FreeLibrary(Native(module));
}

// Older systems leave a cut path unterminated; the facade always terminates it.
Dword GetModuleFileNameA(Module module, char* buffer, Dword size) {
    if (buffer == nullptr || size == 0) {
        Fail(kErrorInsufficientBuffer);
        return 0;
    }
    const DWORD length = ::GetModuleFileNameA(Native(module), buffer, size);
    if (length == 0) {
        buffer[0] = '\0';
        return 0;
    }
    if (length >= size) {
        buffer[size - 1] = '\0';
        return size - 1;
    }
    return length;
}

// A buffer size of 0 would make the system hand back a pointer into the resource instead of a
// copy; the facade only ever copies.
int LoadStringA(Module module, unsigned id, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) {
        Fail(kErrorInsufficientBuffer);
        return 0;
    }
    buffer[0] = '\0';
    return ::LoadStringA(reinterpret_cast<HINSTANCE>(module), id, buffer, size);
}

}  // namespace kx::plat::backend
