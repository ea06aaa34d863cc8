// hooks.cpp: the facade functions of platform.h, each calling through the live hook table,
// and the table itself (a copy of the backend's defaults that tests may change).
#include <cstddef>

#include "platform/platform.h"

namespace kx::plat {

// The backend provides its defaults (posix/ or win32/).
const HookTable& BackendHooks();

namespace detail {
// Allocation faults, kept with the test helpers (testing.cpp): true when this Allocate must
// fail. Counted here so that a replaced Allocate hook sees the same faults.
bool AllocationFaultDue();
}  // namespace detail

HookTable& Hooks() {
    static HookTable live = BackendHooks();
    return live;
}

const HookTable& DefaultHooks() {
    return BackendHooks();
}

Status RegOpenKeyExA(const char* subkey, HKey* key) {
    return Hooks().RegOpenKeyExA(subkey, key);
}

Status RegQueryValueExA(HKey key, const char* name, Dword* type, void* data, Dword* size) {
    return Hooks().RegQueryValueExA(key, name, type, data, size);
}

Status RegEnumValueA(HKey key, Dword index, char* name, Dword* nameChars, Dword* type, void* data,
                     Dword* dataSize) {
    return Hooks().RegEnumValueA(key, index, name, nameChars, type, data, dataSize);
}

Status RegCloseKey(HKey key) {
    return Hooks().RegCloseKey(key);
}

Module LoadLibraryA(const char* path) {
    return Hooks().LoadLibraryExA(path, 0);
}

Module LoadLibraryExA(const char* path, Dword flags) {
    return Hooks().LoadLibraryExA(path, flags);
}

void* GetProcAddress(Module module, const char* name) {
    return Hooks().GetProcAddress(module, name);
}

bool FreeLibrary(Module module) {
    return Hooks().FreeLibrary(module);
}

Module LoadConfiguredLibraryA(const char* path) {
    return Hooks().LoadLibraryExA(path, kLoadNamedByConfiguration);
}

bool IsTrustedPath(const char* path) {
    return Hooks().IsTrustedPath(path);
}

Dword GetModuleFileNameA(Module module, char* buffer, Dword size) {
    return Hooks().GetModuleFileNameA(module, buffer, size);
}

int LoadStringA(Module module, unsigned id, char* buffer, int size) {
    return Hooks().LoadStringA(module, id, buffer, size);
}

Dword FormatSystemMessage(Dword error, char* buffer, Dword size) {
    return Hooks().FormatSystemMessage(error, buffer, size);
}

void MessageBoxA(const char* text, const char* caption) {
    Hooks().MessageBoxA(text, caption);
}

bool GetComputerNameA(char* buffer, Dword* size) {
    return Hooks().GetComputerNameA(buffer, size);
}

bool GetUserNameA(char* buffer, Dword* size) {
    return Hooks().GetUserNameA(buffer, size);
}

bool LookupAccountNameA(const char* system, const char* account, void* sid, Dword* sidSize,
                        char* domain, Dword* domainChars, Dword* use) {
    return Hooks().LookupAccountNameA(system, account, sid, sidSize, domain, domainChars, use);
}

bool GetVersionExA(OsVersionInfo* info) {
    return Hooks().GetVersionExA(info);
}

Dword GetVersion() {
    return Hooks().GetVersion();
}

const char* SystemName() {
    return Hooks().SystemName();
}

Dword GetTickCount() {
    return Hooks().GetTickCount();
}

CalendarTime GetCalendarTime(bool local) {
    return Hooks().GetCalendarTime(local);
}

Dword GetThreadLocale() {
    return Hooks().GetThreadLocale();
}

Dword GetUserDefaultLCID() {
    return Hooks().GetUserDefaultLCID();
}

Dword GetSystemDefaultLCID() {
    return Hooks().GetSystemDefaultLCID();
}

bool FindFirstFileAttributes(const char* path, Dword* attributes) {
    return Hooks().FindFirstFileAttributes(path, attributes);
}

bool MoveFileA(const char* from, const char* to) {
    return Hooks().MoveFileA(from, to);
}

Dword GetEnvironmentVariableA(const char* name, char* buffer, Dword size) {
    return Hooks().GetEnvironmentVariableA(name, buffer, size);
}

std::intptr_t FileCreate(const char* path) {
    return Hooks().FileCreate(path);
}

Dword FileWrite(std::intptr_t file, const void* data, Dword count) {
    return Hooks().FileWrite(file, data, count);
}

bool FileClose(std::intptr_t file) {
    return Hooks().FileClose(file);
}

bool FileDelete(const char* path) {
    return Hooks().FileDelete(path);
}

int EnumProtocols(const int* protocols, ProtocolInfo* entries, int maxEntries) {
    return Hooks().EnumProtocols(protocols, entries, maxEntries);
}

int WSAStartup(std::uint16_t version) {
    return Hooks().WSAStartup(version);
}

bool GetHostByName(const char* name, std::uint8_t address[4]) {
    return Hooks().GetHostByName(name, address);
}

int WSACleanup() {
    return Hooks().WSACleanup();
}

void AddEventLogEntry(const char* source, const char* label, Dword kind, Dword number,
                      const char* text) {
    Hooks().AddEventLogEntry(source, label, kind, number, text);
}

void* Allocate(std::size_t size) {
    if (detail::AllocationFaultDue()) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    return Hooks().Allocate(size);
}

void Release(void* block) {
    Hooks().Release(block);
}

}  // namespace kx::plat
