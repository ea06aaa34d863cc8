// errors.cpp: the single translation point between the system's failures and the facade.
//
// The Windows API already reports Windows error codes, so the translation is an identity; what
// matters is that the facade's GetLastError is the system's own, and that a failure detected by
// this backend (not by the system) is recorded in the same place.
#include "platform/win32/internal.h"
#include "platform/win32/system_headers.h"

namespace kx::plat {

Dword GetLastError() {
    return static_cast<Dword>(::GetLastError());
}

void SetLastError(Dword error) {
    ::SetLastError(static_cast<DWORD>(error));
}

}  // namespace kx::plat

namespace kx::plat::win32 {

Status LastErrorOr(Status fallback) {
    const DWORD error = ::GetLastError();
    return error != 0 ? static_cast<Status>(error) : fallback;
}

void Fail(Status error) {
    ::SetLastError(static_cast<DWORD>(error));
}

}  // namespace kx::plat::win32
