// platform.h: the one header through which the subsystems reach the operating system.
//
// Every call keeps the Windows semantics the library relies on (Windows error codes, raw
// registry bytes, "more data" reports, module handles). On Windows the backend in win32/ calls
// the real API; on Linux the backend in posix/ stands in for it. Subsystems never include a
// system header of their own.
//
// Every call below goes through the hook table at the end of this header, so that tests can
// replace any of them (one call, or all of them back to the defaults) and inject faults.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::plat {

using Dword = std::uint32_t;
using Status = long;  // Windows error code: 0 is success

// Windows error codes the subsystems see, whatever the backend.
inline constexpr Status kErrorSuccess = 0;
inline constexpr Status kErrorFileNotFound = 2;
inline constexpr Status kErrorPathNotFound = 3;
inline constexpr Status kErrorAccessDenied = 5;
inline constexpr Status kErrorInvalidHandle = 6;
inline constexpr Status kErrorNotEnoughMemory = 8;
inline constexpr Status kErrorBadFormat = 11;
inline constexpr Status kErrorWriteFault = 29;
inline constexpr Status kErrorGenFailure = 31;
inline constexpr Status kErrorFileExists = 80;
inline constexpr Status kErrorInvalidParameter = 87;
inline constexpr Status kErrorDiskFull = 112;
inline constexpr Status kErrorInsufficientBuffer = 122;
inline constexpr Status kErrorModNotFound = 126;
inline constexpr Status kErrorProcNotFound = 127;
inline constexpr Status kErrorAlreadyExists = 183;
inline constexpr Status kErrorMoreData = 234;
inline constexpr Status kErrorNoMoreItems = 259;
inline constexpr Status kErrorDllInitFailed = 1114;
inline constexpr Status kErrorResourceDataNotFound = 1812;
inline constexpr Status kErrorResourceTypeNotFound = 1813;
inline constexpr Status kErrorResourceNameNotFound = 1814;
inline constexpr Status kErrorResourceLangNotFound = 1815;
inline constexpr Status kErrorNoneMapped = 1332;

// ---------------------------------------------------------------------------------------------
// Registry: HKEY_LOCAL_MACHINE, read only (KEY_READ). Value names and key paths match without
// regard to case; values enumerate in stored order; data is returned as raw bytes.
struct RegistryKey;
using HKey = RegistryKey*;

inline constexpr Dword kRegNone = 0, kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4,
                       kRegMultiSz = 7;

// Opens `subkey` of HKEY_LOCAL_MACHINE for reading. kErrorFileNotFound when it does not exist.
Status RegOpenKeyExA(const char* subkey, HKey* key);
// Reads one value. `name` null or "" is the unnamed value. `type` may be null. With `data`
// null only the size is reported. A value larger than *size gives kErrorMoreData with *size set
// to the size needed and nothing copied.
Status RegQueryValueExA(HKey key, const char* name, Dword* type, void* data, Dword* size);
// Enumerates value `index`. *nameChars is the name buffer's size in characters on entry and the
// name's length (without terminator) on success; a name or data that does not fit gives
// kErrorMoreData. kErrorNoMoreItems past the last value.
Status RegEnumValueA(HKey key, Dword index, char* name, Dword* nameChars, Dword* type, void* data,
                     Dword* dataSize);
Status RegCloseKey(HKey key);

// ---------------------------------------------------------------------------------------------
// Modules. Backslashes in paths are directory separators; on Linux the last path component
// falls back to a case-insensitive match. A module's exported DllMain gets the attach
// notification on first load and the detach when its last reference goes.
struct ModuleObject;
using Module = ModuleObject*;

inline constexpr Dword kDontResolveDllReferences = 0x00000001;
inline constexpr Dword kLoadWithAlteredSearchPath = 0x00000008;
// The path was named by configuration (the registry, the installation directory) or is one of
// the places searched for the core components: the loader refuses it with kErrorAccessDenied
// and an event-log entry when it is a bare name (no directory), or unless IsTrustedPath holds
// for the directory it names and for the module's file. Never passed on to the system.
inline constexpr Dword kLoadNamedByConfiguration = 0x80000000;

Module LoadLibraryA(const char* path);
// With kDontResolveDllReferences the module is loaded for its resources only: nothing of it
// runs. On Linux such a module is a string table file ("KXRS", version, count, then id, length
// and text per string, little endian). Null on failure, with the reason in GetLastError():
// kErrorModNotFound (no such file), kErrorBadFormat (not a loadable module), kErrorDllInitFailed
// (its DllMain refused the attach).
Module LoadLibraryExA(const char* path, Dword flags);
void* GetProcAddress(Module module, const char* name);
bool FreeLibrary(Module module);
// LoadLibraryExA with kLoadNamedByConfiguration: the load for modules whose path comes from the
// forwarding list or the installation directory. Null with kErrorAccessDenied when refused.
Module LoadConfiguredLibraryA(const char* path);
// True when no user but the owner and root can change the file or directory `path`, nor any
// directory above it (a shared directory with the sticky bit excepted above the last level),
// and its owner is root or the process's user. On Windows the system's access control decides.
bool IsTrustedPath(const char* path);
// The module's full path; `module` null names the process's executable. Returns the length
// copied (without terminator), 0 on failure; the text is cut to size - 1 and terminated. On
// Linux the path uses '/' separators.
Dword GetModuleFileNameA(Module module, char* buffer, Dword size);
// String `id` of a module's string table into `buffer` (at most size - 1 characters and the
// terminator). Returns the number of characters copied, 0 when the string does not exist
// (kErrorResourceNameNotFound) or the module has no strings.
int LoadStringA(Module module, unsigned id, char* buffer, int size);

// ---------------------------------------------------------------------------------------------
// Errors and messages.
Dword GetLastError();
void SetLastError(Dword error);
// The system's message text for `error` (FORMAT_MESSAGE_FROM_SYSTEM, language 0) into `buffer`,
// at most size - 1 characters and the terminator. Returns its length, 0 when the system has no
// text. Texts end with CR LF, as the system's own do.
Dword FormatSystemMessage(Dword error, char* buffer, Dword size);
// A modal warning box with an OK button; on Linux caption and text go to standard error.
void MessageBoxA(const char* text, const char* caption);

// ---------------------------------------------------------------------------------------------
// System facts.
// `*size` is the buffer's size in characters on entry. False when the name does not fit (with
// *size set to the size needed, terminator included) or cannot be had. On success *size is the
// name's length for GetComputerNameA, and the length plus the terminator for GetUserNameA, as
// the Windows calls report them. A name of exactly `*size` characters does not fit.
bool GetComputerNameA(char* buffer, Dword* size);
bool GetUserNameA(char* buffer, Dword* size);
// As LookupAccountNameA: the SID into `sid` (*sidSize bytes), the referenced domain into
// `domain` (*domainChars characters). False when either does not fit or the account is unknown.
bool LookupAccountNameA(const char* system, const char* account, void* sid, Dword* sidSize,
                        char* domain, Dword* domainChars, Dword* use);

inline constexpr Dword kPlatformWin32s = 0, kPlatformWindows = 1, kPlatformNt = 2;
// A Unix host that the Windows version calls cannot describe: szCSDVersion then carries the
// distribution's name and SystemName() the kernel's.
inline constexpr Dword kPlatformPosix = 0x50;

// OSVERSIONINFOA: 148 bytes.
struct OsVersionInfo {
    Dword dwOSVersionInfoSize;
    Dword dwMajorVersion;
    Dword dwMinorVersion;
    Dword dwBuildNumber;
    Dword dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OsVersionInfo) == 148);

// False when dwOSVersionInfoSize is not 148 or the version cannot be had.
bool GetVersionExA(OsVersionInfo* info);
// Low byte: major version, next byte: minor version, as GetVersion.
Dword GetVersion();
// The system's own name for a kPlatformPosix host ("Linux"); empty elsewhere.
const char* SystemName();
// Milliseconds since start-up, wrapping at 2^32.
Dword GetTickCount();

struct CalendarTime {
    int year;    // four digits
    int month;   // 1 to 12
    int day;     // 1 to 31
    int hour;    // 0 to 23
    int minute;  // 0 to 59
    int second;  // 0 to 59 (60 on a leap second)
};
// The current calendar time, with the local time-zone rules or in UTC.
CalendarTime GetCalendarTime(bool local);

// ---------------------------------------------------------------------------------------------
// Locale ids: only the low 16 bits, the language id, matter to the library.
Dword GetThreadLocale();
Dword GetUserDefaultLCID();
Dword GetSystemDefaultLCID();

// ---------------------------------------------------------------------------------------------
// Files and environment.
inline constexpr Dword kFileAttributeDirectory = 0x10;
// FindFirstFileA followed by FindClose: true with the first entry's attributes when an entry
// was found.
bool FindFirstFileAttributes(const char* path, Dword* attributes);
// Renames without ever replacing an existing file; the rename is durable when this returns.
bool MoveFileA(const char* from, const char* to);
// As GetEnvironmentVariableA: the length copied (without terminator) when the value fits, the
// size needed (with terminator) when it does not, 0 when the variable is not set.
Dword GetEnvironmentVariableA(const char* name, char* buffer, Dword size);

// ---------------------------------------------------------------------------------------------
// Files of the kernel sibling library: exclusive create, whole writes, durable close.
inline constexpr std::intptr_t kInvalidFile = -1;
// Creates a new file; fails with kErrorFileExists when the name is taken (never truncates).
std::intptr_t FileCreate(const char* path);
// Bytes written; a short count means the write failed part-way.
Dword FileWrite(std::intptr_t file, const void* data, Dword count);
// Flushes the file's data to disk, then closes it. False when either step failed.
bool FileClose(std::intptr_t file);
bool FileDelete(const char* path);
// Gives the regular file at `path`, reached without a symbolic link, the mode owner read-write
// and group read (0640) whatever the process's umask, so that the group of its directory may
// read it and no one else. On Windows the access rules the file inherited from its directory
// decide; the file need only be there.
bool SetGroupReadable(const char* path);
// Checking, by the platform's own means, what another module (the kernel library) wrote to a
// file: WatchFile before the writes, FlushWatchedFile once they are done and the writer has
// closed the file, EndWatch in every case. On Linux the watch is a read-only descriptor of the
// regular file, opened without following links, so that a flush through it also reports write
// errors that the writer's own close met; on Windows, where the writer holds the file alone,
// nothing is opened before the flush. kInvalidFile when the file is not there.
std::intptr_t WatchFile(const char* path);
// Flushes the watched file's data to disk and checks that it holds exactly `size` bytes (else
// kErrorWriteFault). False when either fails.
bool FlushWatchedFile(std::intptr_t watch, const char* path, std::uint64_t size);
void EndWatch(std::intptr_t watch);

// ---------------------------------------------------------------------------------------------
// Sockets (Winsock of WSOCK32.dll on Windows, the system resolver on Linux).
inline constexpr int kIpProtoTcp = 6, kIpProtoUdp = 17, kAfInet = 2;
struct ProtocolInfo {
    int addressFamily;
    int protocol;
};
// EnumProtocolsA for the zero-terminated `protocols`: the number of entries written, -1 on
// failure.
int EnumProtocols(const int* protocols, ProtocolInfo* entries, int maxEntries);
int WSAStartup(std::uint16_t version);  // 0 on success
// gethostbyname: true with the first four bytes of the host entry's first address.
bool GetHostByName(const char* name, std::uint8_t address[4]);
int WSACleanup();

// ---------------------------------------------------------------------------------------------
// The system event log. On Linux: syslog, and one JSON object per line appended to the file
// named by VEL_EVENTLOG when that is set.
void AddEventLogEntry(const char* source, const char* label, Dword kind, Dword number,
                      const char* text);

// ---------------------------------------------------------------------------------------------
// Memory for the library's per-send blocks. Tests make it fail on the Nth call.
void* Allocate(std::size_t size);
void Release(void* block);

// ---------------------------------------------------------------------------------------------
// The hook table: every call above goes through one entry. `Hooks()` is the live table,
// `DefaultHooks()` the backend's own. Tests replace entries and restore them (see
// platform/testing.h for scoped helpers and the fault injector).
//
// KX_PLATFORM_HOOKS is the one list of the entries: result type, name, parameters and the
// arguments that pass them on. It makes the members of HookTable here, the backends'
// declarations (platform/backend.h), the default table and the facade functions that call
// through the live one (hooks.cpp). A line given to OWN instead of CALL keeps a facade function
// written by hand in hooks.cpp. A new call is its declaration above, one line here and its
// definition in each backend.
// clang-format off
#define KX_PLATFORM_HOOKS(CALL, OWN)                                                               \
    CALL(Status, RegOpenKeyExA, (const char* subkey, HKey* key), (subkey, key))                    \
    CALL(Status, RegQueryValueExA, (HKey key, const char* name, Dword* type, void* data,           \
                                    Dword* size), (key, name, type, data, size))                  \
    CALL(Status, RegEnumValueA, (HKey key, Dword index, char* name, Dword* nameChars, Dword* type, \
                                 void* data, Dword* dataSize),                                     \
         (key, index, name, nameChars, type, data, dataSize))                                      \
    CALL(Status, RegCloseKey, (HKey key), (key))                                                   \
    OWN(Module, LoadLibraryExA, (const char* path, Dword flags), (path, flags))                    \
    CALL(void*, GetProcAddress, (Module module, const char* name), (module, name))                 \
    CALL(bool, FreeLibrary, (Module module), (module))                                             \
    CALL(Dword, GetModuleFileNameA, (Module module, char* buffer, Dword size),                     \
         (module, buffer, size))                                                                   \
    CALL(int, LoadStringA, (Module module, unsigned id, char* buffer, int size),                   \
         (module, id, buffer, size))                                                               \
    CALL(Dword, FormatSystemMessage, (Dword error, char* buffer, Dword size),                      \
         (error, buffer, size))                                                                    \
    CALL(void, MessageBoxA, (const char* text, const char* caption), (text, caption))              \
    CALL(bool, GetComputerNameA, (char* buffer, Dword* size), (buffer, size))                      \
    CALL(bool, GetUserNameA, (char* buffer, Dword* size), (buffer, size))                          \
    CALL(bool, LookupAccountNameA, (const char* system, const char* account, void* sid,            \
                                    Dword* sidSize, char* domain, Dword* domainChars, Dword* use), \
         (system, account, sid, sidSize, domain, domainChars, use))                                \
    CALL(bool, GetVersionExA, (OsVersionInfo* info), (info))                                       \
    CALL(Dword, GetVersion, (), ())                                                                \
    CALL(const char*, SystemName, (), ())                                                          \
    CALL(Dword, GetTickCount, (), ())                                                              \
    CALL(CalendarTime, GetCalendarTime, (bool local), (local))                                     \
    CALL(Dword, GetThreadLocale, (), ())                                                           \
    CALL(Dword, GetUserDefaultLCID, (), ())                                                        \
    CALL(Dword, GetSystemDefaultLCID, (), ())                                                      \
    CALL(bool, FindFirstFileAttributes, (const char* path, Dword* attributes), (path, attributes)) \
    CALL(bool, MoveFileA, (const char* from, const char* to), (from, to))                          \
    CALL(Dword, GetEnvironmentVariableA, (const char* name, char* buffer, Dword size),             \
         (name, buffer, size))                                                                     \
    CALL(std::intptr_t, FileCreate, (const char* path), (path))                                    \
    CALL(Dword, FileWrite, (std::intptr_t file, const void* data, Dword count),                    \
         (file, data, count))                                                                      \
    CALL(bool, FileClose, (std::intptr_t file), (file))                                            \
    CALL(bool, FileDelete, (const char* path), (path))                                             \
    CALL(bool, SetGroupReadable, (const char* path), (path))                                       \
    CALL(std::intptr_t, WatchFile, (const char* path), (path))                                     \
    CALL(bool, FlushWatchedFile, (std::intptr_t watch, const char* path, std::uint64_t size),      \
         (watch, path, size))                                                                      \
    CALL(void, EndWatch, (std::intptr_t watch), (watch))                                           \
    CALL(int, EnumProtocols, (const int* protocols, ProtocolInfo* entries, int maxEntries),        \
         (protocols, entries, maxEntries))                                                         \
    CALL(int, WSAStartup, (std::uint16_t version), (version))                                      \
    CALL(bool, GetHostByName, (const char* name, std::uint8_t* address), (name, address))          \
    CALL(int, WSACleanup, (), ())                                                                  \
    CALL(void, AddEventLogEntry, (const char* source, const char* label, Dword kind, Dword number, \
                                  const char* text), (source, label, kind, number, text))          \
    OWN(void*, Allocate, (std::size_t size), (size))                                               \
    CALL(void, Release, (void* block), (block))                                                    \
    CALL(bool, IsTrustedPath, (const char* path), (path))
// clang-format on

struct HookTable {
#define KX_PLATFORM_HOOK_MEMBER(result, name, params, args) result(*name) params;
    KX_PLATFORM_HOOKS(KX_PLATFORM_HOOK_MEMBER, KX_PLATFORM_HOOK_MEMBER)
#undef KX_PLATFORM_HOOK_MEMBER
};

HookTable& Hooks();
const HookTable& DefaultHooks();

// ---------------------------------------------------------------------------------------------
// Why the registry is read as absent: a registry file that users other than its owner and root
// could change is not believed at all. The reason (naming the file and the part at fault) is
// copied into `buffer` (at most size - 1 characters and the terminator); returns its length, 0
// when the registry is believed. Not a system call, so not in the hook table; on Windows the
// system's access control keeps the registry and this is always 0.
Dword RegistryRefusal(char* buffer, Dword size);

// Why IsTrustedPath refuses `path`, naming the file or directory at fault and the mode or owner
// that fails, copied into `buffer` as RegistryRefusal copies; returns its length, 0 when the
// path is trusted. Not a system call, so not in the hook table.
Dword UntrustedReason(const char* path, char* buffer, Dword size);
// The same walk begun one level up: why the directories holding `path` (the one right above it
// may not be shared, those further up may when sticky) fail, whatever `path` itself is. For a
// directory whose own sharing is judged by other rules. 0 when they are trusted.
Dword UntrustedReasonAbove(const char* path, char* buffer, Dword size);
// Why the loader's trust check refuses the module file `path` names when configuration named it:
// the directory holding the name when it is a symbolic link (a link in a shared directory borrows
// no standing), then the file itself. Copied as UntrustedReason copies; 0 when the check passes or
// no file is found. Not a system call, so not in the hook table.
Dword ModuleTrustRefusal(const char* path, char* buffer, Dword size);
// The file `path` names as the loader finds it: the path itself when it exists, else (Linux) the
// entry of its directory whose name differs from the last component only in case. Copied as
// UntrustedReason copies; 0 when there is none or it does not fit.
Dword FindFileIgnoringCase(const char* path, char* buffer, Dword size);

// Why the last attach refused to load, for a host that sees only kErrorDllInitFailed: the
// library's parts note each cause (a component that could not be bound, the resource module
// paths tried, a module refused for trust) in the order they happen. A host clears the notes
// before a load and reads them after a failed one. One record per process on Linux, where the
// platform is shared; per module on Windows, where each module links its own.
void ClearLoadRefusal();
void NoteLoadRefusal(const char* reason);
// True when the last LoadLibraryExA of this thread returned null because the loader's trust
// check refused the module (the refusals kLoadNamedByConfiguration describes); false after any
// other result, an access-denied failure of the system (a directory or an unreadable file at
// the path) included. The backends call NoteTrustRefusal where their check refuses.
bool LoadRefusedByTrustCheck();
void NoteTrustRefusal();
// The notes joined with "; " into `buffer` as RegistryRefusal copies; returns the length, which
// is never above kMaxLoadRefusal (later notes are cut or dropped).
inline constexpr Dword kMaxLoadRefusal = 4096;
Dword LoadRefusal(char* buffer, Dword size);

// ---------------------------------------------------------------------------------------------
// One call's view of the machine (not a system call, so not in the hook table). While a
// FactsView lives on a thread, each file that the Linux backend reads facts from (the registry
// file, the account database, the distribution's description, the resolver's configuration) is
// checked for a change once, at its first use, and the registry keeps the version that check
// found: a send reads one whole version of the registry and pays one stat per file. Views
// nest; the outermost one decides. On Windows the system answers every call and a view changes
// nothing.
void BeginFactsView();
void EndFactsView();

class FactsView {
  public:
    FactsView() { BeginFactsView(); }
    ~FactsView() { EndFactsView(); }
    FactsView(const FactsView&) = delete;
    FactsView& operator=(const FactsView&) = delete;
};

}  // namespace kx::plat
