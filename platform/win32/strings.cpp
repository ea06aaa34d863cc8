// strings.cpp: string resources, the system's message texts and the warning box.
#include <cstring>

#include "platform/win32/internal.h"
#include "platform/win32/system_headers.h"

namespace kx::plat::win32 {

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

}  // namespace kx::plat::win32
