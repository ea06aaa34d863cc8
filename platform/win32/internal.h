// internal.h: the Windows backend's own calls, one per hook table entry, and the one place where
// the system's failures become the facade's error reports. Only platform/win32 includes this.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace kx::plat {
// The backend's own hook table; DefaultHooks() returns it.
const HookTable& BackendHooks();
}  // namespace kx::plat

namespace kx::plat::win32 {

// errors.cpp: the system already speaks Windows error codes; these keep the last error the
// facade reports in step with what the failing call left behind.
Status LastErrorOr(Status fallback);
void Fail(Status error);

// registry.cpp
Status RegOpenKeyExA(const char* subkey, HKey* key);
Status RegQueryValueExA(HKey key, const char* name, Dword* type, void* data, Dword* size);
Status RegEnumValueA(HKey key, Dword index, char* name, Dword* nameChars, Dword* type, void* data,
                     Dword* dataSize);
Status RegCloseKey(HKey key);

// module.cpp
Module LoadLibraryExA(const char* path, Dword flags);
void* GetProcAddress(Module module, const char* name);
bool FreeLibrary(Module module);
Dword GetModuleFileNameA(Module module, char* buffer, Dword size);
int LoadStringA(Module module, unsigned id, char* buffer, int size);

// errors.cpp
Dword FormatSystemMessage(Dword error, char* buffer, Dword size);
void MessageBoxA(const char* text, const char* caption);

// system.cpp
bool GetComputerNameA(char* buffer, Dword* size);
bool GetUserNameA(char* buffer, Dword* size);
bool LookupAccountNameA(const char* system, const char* account, void* sid, Dword* sidSize,
                        char* domain, Dword* domainChars, Dword* use);
bool GetVersionExA(OsVersionInfo* info);
Dword GetVersion();
const char* SystemName();
Dword GetTickCount();
CalendarTime GetCalendarTime(bool local);

// locale.cpp
Dword GetThreadLocale();
Dword GetUserDefaultLCID();
Dword GetSystemDefaultLCID();

// files.cpp
bool FindFirstFileAttributes(const char* path, Dword* attributes);
bool MoveFileA(const char* from, const char* to);
Dword GetEnvironmentVariableA(const char* name, char* buffer, Dword size);
std::intptr_t FileCreate(const char* path);
Dword FileWrite(std::intptr_t file, const void* data, Dword count);
bool FileClose(std::intptr_t file);
bool FileDelete(const char* path);

// net.cpp
int EnumProtocols(const int* protocols, ProtocolInfo* entries, int maxEntries);
int WSAStartup(std::uint16_t version);
bool GetHostByName(const char* name, std::uint8_t* address);
int WSACleanup();

// eventlog.cpp
void AddEventLogEntry(const char* source, const char* label, Dword kind, Dword number,
                      const char* text);

// memory.cpp
void* Allocate(std::size_t size);
void Release(void* block);

// trust.cpp: the system's access control guards the registry and the installation directory.
bool IsTrustedPath(const char* path);

}  // namespace kx::plat::win32
