// internal.h: what the Linux backend's files share beyond the calls of platform/backend.h: error
// translation, path handling, numbers from the environment, and the views tests take of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/backend.h"
#include "platform/eventlog_ids.h"

namespace kx::plat::backend {

// Error codes the backend reports beyond those the subsystems know.
inline constexpr Status kErrorTooManyOpenFiles = 4;
inline constexpr Status kErrorNotSameDevice = 17;
inline constexpr Status kErrorBufferOverflow = 111;
inline constexpr Status kErrorBadExeFormat = 193;
inline constexpr Status kErrorEnvVarNotFound = 203;
inline constexpr Status kErrorFilenameTooLong = 206;
inline constexpr Status kErrorMrMidNotFound = 317;
inline constexpr Status kWsaHostNotFound = 11001;

// errno to a Windows error code: the one place where the system's errors are translated.
Status FromErrno(int error);
// Sets the thread's last error from errno and returns it.
Status SetLastErrorFromErrno();
// Sets the thread's last error to `error` and returns false, for calls that report failure so.
bool Fail(Status error);

// A path with backslashes turned into directory separators.
std::string NativePath(std::string_view path);
// The file named by `path` (native separators) when it exists as given, or else the entry of
// its directory whose name matches the last component without regard to case.
std::optional<std::string> FindPathIgnoringCase(const std::string& path);
// The absolute path with every symbolic link, "." and ".." resolved; nothing when the path
// does not name an existing file.
std::optional<std::string> RealPath(const std::string& path);
// The directory part of a path: "." for a bare name, "/" for a name in the root directory.
std::string DirectoryOf(const std::string& path);
// Directory of the running executable, without the trailing separator; empty when unknown.
std::string ExecutableDirectory();
std::string ExecutablePath();

// A 32-bit number written in decimal or with a 0x prefix in hexadecimal; nothing when the text
// is anything else.
std::optional<Dword> ParseNumber(std::string_view text);
// An environment variable's value; nothing when unset. Every read of the environment in this
// backend comes here: in a secure-execution process (set-user-ID, set-group-ID, capabilities)
// the variables that steer the library (VEL_*, KXEVENT_*, KX_*, USER) read as unset.
std::optional<std::string> Env(const char* name);

// Registry: the number of times the registry file was parsed by this process (the cache's misses).
std::uint64_t RegistryParseCount();
// Why the registry file in use is read as absent (naming the file and the part at fault);
// empty when it is trusted or there is none.
std::string RegistryRefusal();

// Trust. The deepest part of `path` (the file itself or a directory above it) that users other
// than its owner and root can change, or that another user owns; nothing when the whole path is
// safe. A path that does not resolve is its own untrusted part.
// The walk begins at `firstLevel`: 0 the path itself, 1 the directory holding it.
std::optional<std::string> UntrustedPart(const char* path, int firstLevel = 0);
// Why `path` is not trusted, naming the part at fault; nothing when it is trusted.
std::optional<std::string> UntrustedReason(const char* path, int firstLevel = 0);
// The part the loader's check refuses of a configured module named `native` that resolves to
// `file`: the directory holding the name when it is a symbolic link, then the file (each judged
// by IsTrustedPath); nothing when both pass.
std::optional<std::string> ModuleTrustRefusedPart(const std::string& native,
                                                  const std::string& file);
// Why `part` fails the trust check, in the words of the refusal's log entry.
std::string RefusalReason(const std::string& part);
// `text` into `buffer`, cut to size - 1 characters and terminated; its length there.
Dword CopyOut(std::string_view text, char* buffer, Dword size);
// The registry file in use (VEL_REGISTRY, or the system's default).
std::string RegistryFilePath();
// Source and label of the event-log entry that reports a module refused for trust.
inline constexpr char kRefusalSource[] = KX_EVENT_SOURCE_PLATFORM;
inline constexpr char kRefusalLabel[] = "Untrusted module refused";
inline constexpr char kRegistryRefusalLabel[] = "Untrusted registry refused";

// Modules: the reference count of a loaded module; 0 when the handle is not a loaded module.
int ModuleReferenceCount(Module module);

// Locale: the locale id of a POSIX locale name ("de_DE.UTF-8", "fr_CA", "C"); 0x0409 when unknown.
Dword LcidFromLocaleName(std::string_view name);
// The LANG= setting of a system locale file (/etc/default/locale form); nothing when absent.
std::optional<std::string> LangFromLocaleFile(const std::string& path);

}  // namespace kx::plat::backend
