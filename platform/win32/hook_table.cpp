// backend.cpp: the Windows backend's default hook table, one entry per facade call.
#include "platform/win32/backend.h"

namespace kx::plat {

const HookTable& BackendHooks() {
    static constexpr HookTable kTable{
        win32::RegOpenKeyExA,
        win32::RegQueryValueExA,
        win32::RegEnumValueA,
        win32::RegCloseKey,
        win32::LoadLibraryExA,
        win32::GetProcAddress,
        win32::FreeLibrary,
        win32::GetModuleFileNameA,
        win32::LoadStringA,
        win32::FormatSystemMessage,
        win32::MessageBoxA,
        win32::GetComputerNameA,
        win32::GetUserNameA,
        win32::LookupAccountNameA,
        win32::GetVersionExA,
        win32::GetVersion,
        win32::SystemName,
        win32::GetTickCount,
        win32::GetCalendarTime,
        win32::GetThreadLocale,
        win32::GetUserDefaultLCID,
        win32::GetSystemDefaultLCID,
        win32::FindFirstFileAttributes,
        win32::MoveFileA,
        win32::GetEnvironmentVariableA,
        win32::FileCreate,
        win32::FileWrite,
        win32::FileClose,
        win32::FileDelete,
        win32::EnumProtocols,
        win32::WSAStartup,
        win32::GetHostByName,
        win32::WSACleanup,
        win32::AddEventLogEntry,
        win32::Allocate,
        win32::Release,
    };
    return kTable;
}

}  // namespace kx::plat
