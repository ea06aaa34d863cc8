// system.cpp: facts about the machine: its name, the user, the account's domain, the system's
// version, the tick count and the calendar clock.
#include "platform/win32/internal.h"
#include "platform/win32/system_headers.h"

namespace kx::plat::backend {

bool GetComputerNameA(char* buffer, Dword* size) {
    if (size == nullptr) return false;
    DWORD chars = *size;
    const bool ok = ::GetComputerNameA(buffer, &chars) != FALSE;
    *size = chars;
    return ok;
}

bool GetUserNameA(char* buffer, Dword* size) {
    if (size == nullptr) return false;
    DWORD chars = *size;
    const bool ok = ::GetUserNameA(buffer, &chars) != FALSE;
    *size = chars;
    return ok;
}

bool LookupAccountNameA(const char* system, const char* account, void* sid, Dword* sidSize,
                        char* domain, Dword* domainChars, Dword* use) {
    if (sidSize == nullptr || domainChars == nullptr) {
        Fail(kErrorInvalidParameter);
        return false;
    }
    DWORD sidBytes = *sidSize;
    DWORD chars = *domainChars;
    SID_NAME_USE kind = SidTypeUnknown;
    const bool ok = ::LookupAccountNameA(system, account, static_cast<PSID>(sid), &sidBytes, domain,
                                         &chars, &kind) != FALSE;
    *sidSize = sidBytes;
    *domainChars = chars;
    if (use != nullptr) *use = static_cast<Dword>(kind);
    return ok;
}

bool GetVersionExA(OsVersionInfo* info) {
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OsVersionInfo)) {
        Fail(kErrorInvalidParameter);
        return false;
    }
    static_assert(sizeof(OSVERSIONINFOA) == sizeof(OsVersionInfo));
    OSVERSIONINFOA native{};
    native.dwOSVersionInfoSize = sizeof native;
    if (!::GetVersionExA(&native)) return false;
    info->dwMajorVersion = native.dwMajorVersion;
    info->dwMinorVersion = native.dwMinorVersion;
    info->dwBuildNumber = native.dwBuildNumber;
    info->dwPlatformId = native.dwPlatformId;
    static_assert(sizeof info->szCSDVersion == sizeof native.szCSDVersion);
    for (std::size_t i = 0; i < sizeof info->szCSDVersion; ++i) {
        info->szCSDVersion[i] = native.szCSDVersion[i];
    }
    info->szCSDVersion[sizeof info->szCSDVersion - 1] = '\0';
    return true;
}

Dword GetVersion() {
    return static_cast<Dword>(::GetVersion());
}

// Only a Unix host has a system name of its own beside the version record.
const char* SystemName() {
    return "";
}

Dword GetTickCount() {
    return static_cast<Dword>(::GetTickCount());
}

CalendarTime GetCalendarTime(bool local) {
    SYSTEMTIME now{};
    if (local) {
        ::GetLocalTime(&now);
    } else {
        ::GetSystemTime(&now);
    }
    return CalendarTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace kx::plat::backend
