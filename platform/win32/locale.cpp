// locale.cpp: the thread's, the user's and the system's locale ids.
#include "platform/win32/internal.h"
#include "platform/win32/system_headers.h"

namespace kx::plat::backend {

Dword GetThreadLocale() {
    return static_cast<Dword>(::GetThreadLocale());
}
Dword GetUserDefaultLCID() {
    return static_cast<Dword>(::GetUserDefaultLCID());
}
Dword GetSystemDefaultLCID() {
    return static_cast<Dword>(::GetSystemDefaultLCID());
}

}  // namespace kx::plat::backend
