// hook_table.cpp: the Windows backend's default hook table, one entry per facade call.
#include "platform/win32/internal.h"

namespace kx::plat {

const HookTable& BackendHooks() {
    static constexpr HookTable kTable = {
        .RegOpenKeyExA = win32::RegOpenKeyExA,
        .RegQueryValueExA = win32::RegQueryValueExA,
        .RegEnumValueA = win32::RegEnumValueA,
        .RegCloseKey = win32::RegCloseKey,
        .LoadLibraryExA = win32::LoadLibraryExA,
        .GetProcAddress = win32::GetProcAddress,
        .FreeLibrary = win32::FreeLibrary,
        .GetModuleFileNameA = win32::GetModuleFileNameA,
        .LoadStringA = win32::LoadStringA,
        .FormatSystemMessage = win32::FormatSystemMessage,
        .MessageBoxA = win32::MessageBoxA,
        .GetComputerNameA = win32::GetComputerNameA,
        .GetUserNameA = win32::GetUserNameA,
        .LookupAccountNameA = win32::LookupAccountNameA,
        .GetVersionExA = win32::GetVersionExA,
        .GetVersion = win32::GetVersion,
        .SystemName = win32::SystemName,
        .GetTickCount = win32::GetTickCount,
        .GetCalendarTime = win32::GetCalendarTime,
        .GetThreadLocale = win32::GetThreadLocale,
        .GetUserDefaultLCID = win32::GetUserDefaultLCID,
        .GetSystemDefaultLCID = win32::GetSystemDefaultLCID,
        .FindFirstFileAttributes = win32::FindFirstFileAttributes,
        .MoveFileA = win32::MoveFileA,
        .GetEnvironmentVariableA = win32::GetEnvironmentVariableA,
        .FileCreate = win32::FileCreate,
        .FileWrite = win32::FileWrite,
        .FileClose = win32::FileClose,
        .FileDelete = win32::FileDelete,
        .EnumProtocols = win32::EnumProtocols,
        .WSAStartup = win32::WSAStartup,
        .GetHostByName = win32::GetHostByName,
        .WSACleanup = win32::WSACleanup,
        .AddEventLogEntry = win32::AddEventLogEntry,
        .Allocate = win32::Allocate,
        .Release = win32::Release,
        .IsTrustedPath = win32::IsTrustedPath,
    };
    return kTable;
}

}  // namespace kx::plat
