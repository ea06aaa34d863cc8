// errors.cpp: the single translation point between the system's failures and the facade.
//
// The Windows API already reports Windows error codes, so the translation is an identity; what
// matters is that the facade's GetLastError is the system's own, and that a failure detected by
// this backend (not by the system) is recorded in the same place. The system's message texts and
// the warning box live here too.
#include <cstring>

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

namespace kx::plat::backend {

Status LastErrorOr(Status fallback) {
    const DWORD error = ::GetLastError();
    return error != 0 ? static_cast<Status>(error) : fallback;
}

void Fail(Status error) {
    ::SetLastError(static_cast<DWORD>(error));
}

// The system refuses outright when its text does not fit; the facade cuts it instead, so the
// text is fetched whole into a block the system allocates and copied from there.
Dword FormatSystemMessage(Dword error, char* buffer, Dword size) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) return 0;
    const Dword copied = length < size ? length : size - 1;
    std::memcpy(buffer, text, copied);
    buffer[copied] = '\0';
    ::LocalFree(text);
    return copied;
}

void MessageBoxA(const char* text, const char* caption) {
    ::MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONWARNING);
}

}  // namespace kx::plat::backend
