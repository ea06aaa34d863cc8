// hook_table.cpp: the posix backend's hook table, the defaults that Hooks() starts from.
#include "platform/posix/internal.h"

namespace kx::plat {

const HookTable& BackendHooks() {
    static constexpr HookTable table = {
        .RegOpenKeyExA = posix::RegOpenKeyExA,
        .RegQueryValueExA = posix::RegQueryValueExA,
        .RegEnumValueA = posix::RegEnumValueA,
        .RegCloseKey = posix::RegCloseKey,
        .LoadLibraryExA = posix::LoadLibraryExA,
        .GetProcAddress = posix::GetProcAddress,
        .FreeLibrary = posix::FreeLibrary,
        .GetModuleFileNameA = posix::GetModuleFileNameA,
        .LoadStringA = posix::LoadStringA,
        .FormatSystemMessage = posix::FormatSystemMessage,
        .MessageBoxA = posix::MessageBoxA,
        .GetComputerNameA = posix::GetComputerNameA,
        .GetUserNameA = posix::GetUserNameA,
        .LookupAccountNameA = posix::LookupAccountNameA,
        .GetVersionExA = posix::GetVersionExA,
        .GetVersion = posix::GetVersion,
        .SystemName = posix::SystemName,
        .GetTickCount = posix::GetTickCount,
        .GetCalendarTime = posix::GetCalendarTime,
        .GetThreadLocale = posix::GetThreadLocale,
        .GetUserDefaultLCID = posix::GetUserDefaultLCID,
        .GetSystemDefaultLCID = posix::GetSystemDefaultLCID,
        .FindFirstFileAttributes = posix::FindFirstFileAttributes,
        .MoveFileA = posix::MoveFileA,
        .GetEnvironmentVariableA = posix::GetEnvironmentVariableA,
        .FileCreate = posix::FileCreate,
        .FileWrite = posix::FileWrite,
        .FileClose = posix::FileClose,
        .FileDelete = posix::FileDelete,
        .EnumProtocols = posix::EnumProtocols,
        .WSAStartup = posix::WSAStartup,
        .GetHostByName = posix::GetHostByName,
        .WSACleanup = posix::WSACleanup,
        .AddEventLogEntry = posix::AddEventLogEntry,
        .Allocate = posix::Allocate,
        .Release = posix::Release,
        .IsTrustedPath = posix::IsTrustedPath,
    };
    return table;
}

}  // namespace kx::plat
