// registry.cpp: the registry of the local machine, read only, through the Windows API.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/win32/internal.h"
#include "platform/win32/system_headers.h"

namespace kx::plat::backend {
namespace {

HKEY Native(HKey key) {
    return reinterpret_cast<HKEY>(key);
}

}  // namespace

Status RegOpenKeyExA(const char* subkey, HKey* key) {
    if (key == nullptr) return kErrorInvalidParameter;
    HKEY opened = nullptr;
    const LONG status = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &opened);
    *key = status == ERROR_SUCCESS ? reinterpret_cast<HKey>(opened) : nullptr;
    return status;
}

// The system may leave part of an over-long value in the caller's buffer; the facade promises
// that nothing is copied then, so the size is asked for first.
Status RegQueryValueExA(HKey key, const char* name, Dword* type, void* data, Dword* size) {
    if (size == nullptr && data != nullptr) return kErrorInvalidParameter;
    DWORD needed = 0;
    DWORD valueType = REG_NONE;
    LONG status = ::RegQueryValueExA(Native(key), name, nullptr, &valueType, nullptr, &needed);
    if (status != ERROR_SUCCESS) return status;
    if (type != nullptr) *type = valueType;
    if (data == nullptr) {
        if (size != nullptr) *size = needed;
        return kErrorSuccess;
    }
    if (needed > *size) {
        *size = needed;
        return kErrorMoreData;
    }
    DWORD got = *size;
    status =
        ::RegQueryValueExA(Native(key), name, nullptr, &valueType, static_cast<BYTE*>(data), &got);
    *size = got;
    if (type != nullptr) *type = valueType;
    return status;
}

Status RegEnumValueA(HKey key, Dword index, char* name, Dword* nameChars, Dword* type, void* data,
                     Dword* dataSize) {
    if (nameChars == nullptr) return kErrorInvalidParameter;
    DWORD chars = *nameChars;
    DWORD valueType = REG_NONE;
    DWORD bytes = dataSize != nullptr ? *dataSize : 0;
    const LONG status =
        ::RegEnumValueA(Native(key), index, name, &chars, nullptr, &valueType,
                        static_cast<BYTE*>(data), dataSize != nullptr ? &bytes : nullptr);
    if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
        *nameChars = chars;
        if (type != nullptr) *type = valueType;
        if (dataSize != nullptr) *dataSize = bytes;
    }
    return status;
}

Status RegCloseKey(HKey key) {
    return ::RegCloseKey(Native(key));
}

}  // namespace kx::plat::backend

namespace kx::plat {

// The system's access control decides; the refusal can only name the path.
Dword UntrustedReason(const char* path, char* buffer, Dword size) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    if (IsTrustedPath(path)) return 0;
    const std::string reason = std::string(path ? path : "") + " is not trusted";
    const std::size_t length = std::min<std::size_t>(reason.size(), size - 1);
    std::memcpy(buffer, reason.data(), length);
    buffer[length] = '\0';
    return static_cast<Dword>(length);
}

// The system's access control decides for the directories above a path as for the path.
Dword UntrustedReasonAbove(const char* /*path*/, char* buffer, Dword size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return 0;
}

Dword ModuleTrustRefusal(const char* path, char* buffer, Dword size) {
    return UntrustedReason(path, buffer, size);
}

// The system's own file names ignore case: the path is found as it is written, or not at all.
Dword FindFileIgnoringCase(const char* path, char* buffer, Dword size) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    const std::size_t length = path != nullptr ? std::strlen(path) : 0;
    if (length == 0 || length >= size || !FindFirstFileAttributes(path, nullptr)) return 0;
    std::memcpy(buffer, path, length + 1);
    return static_cast<Dword>(length);
}

// The system's access control keeps the registry from other users: it is always believed.
Dword RegistryRefusal(char* buffer, Dword size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return 0;
}

}  // namespace kx::plat
