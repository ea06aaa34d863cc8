// registry_files.h: the registry file the command and the library use: which one it is, the
// built-in default installed at first use, strict loading and atomic saving.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/regfile.h"

namespace kx::tool {

// Where the registry in use came from.
enum class RegistrySource { Environment, System, UserDefault };

// Where the system keeps its event-log sources, one key per source.
inline constexpr char kEventLogSourcesKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

struct RegistryChoice {
    std::filesystem::path file;  // for the live registry, its name for messages
    RegistrySource source;
    bool live = false;  // the machine's own registry (Windows), read live and never a file
};

// The system registry file: KXEVENT_SYSTEM_REGISTRY when set (packagers, tests), else
// /etc/velmora/hklm.reg.
std::filesystem::path SystemRegistryPath();

// The per-user state directory: $XDG_STATE_HOME/kxevent, else ~/.local/state/kxevent; nullopt
// for a user with neither (a service's user). StateDirectory throws RuntimeError instead.
std::optional<std::filesystem::path> FindStateDirectory();
std::filesystem::path StateDirectory();

// Whether the command may work on the system registry: only root can (not on Windows).
bool UsesSystemRegistry();

// Whether the system registry is the machine's own, read live as KXEvent.DLL reads it (Windows),
// rather than a registry file: then the choices below are always that registry, VEL_REGISTRY and
// the state directory play no part, and nothing is installed.
bool SystemRegistryIsLive();
// "HKEY_LOCAL_MACHINE (32-bit view)": the live registry and the view of it the library reads.
std::string LiveRegistryName();
// reg.exe's option for that view ("/reg:32"); empty where there is no live registry.
std::string LiveRegistryViewOption();
// The other view's name ("32-bit view") when it, not the library's, holds `key`: settings
// imported into the view the library does not read. Nothing where there is no live registry.
std::optional<std::string> OtherViewHolding(const char* key);
// The live registry as a document: every key and value below kSharedComponentsKey, and the
// event-log sources' keys (kEventLogSourcesKey\NAME) of `sources`, read in the library's view.
// Throws RuntimeError naming the key that cannot be read; a missing key is simply absent.
reg::Document ReadLiveRegistry(std::span<const std::string_view> sources = {});

// VEL_REGISTRY when set; else, for root, the system file when it exists; else the built-in
// default, installed into the state directory at first use with its placeholders filled from
// `libraryDirectory`. Sets VEL_REGISTRY to the choice, so that the library reads the same file.
RegistryChoice SelectRegistry(const std::filesystem::path& libraryDirectory);

// The registry in use (SelectRegistry), refused as the library refuses it: a file that does not
// exist, or one that users other than its owner and root could change. Throws RuntimeError.
RegistryChoice SelectTrustedRegistry(const std::filesystem::path& libraryDirectory);

// The same choice for a command that only reads: nothing is installed and nothing set, so the
// per-user default's path is given whether or not it exists yet.
RegistryChoice FindRegistry();

// The registry a service reads its settings from, one that exists: VEL_REGISTRY when set; for
// root, the system file; the user's installed default; else the system file. nullopt when there
// is none; nothing is installed, and no state directory is needed.
std::optional<RegistryChoice> FindInstalledRegistry();

// `registry` made the library's (VEL_REGISTRY) and refused as SelectTrustedRegistry refuses.
RegistryChoice TrustRegistry(const RegistryChoice& registry);

// The document of a choice for reading: the file's when it exists; for a per-user default not
// yet installed, the built-in default as it would be installed; otherwise empty.
reg::Document ReadRegistryChoice(const RegistryChoice& choice,
                                 const std::filesystem::path& libraryDirectory);

// Installs the built-in default registry into `stateDirectory` unless a hklm.reg is already
// there: alerting directory `stateDirectory`/alerts, modules from `libraryDirectory`.
std::filesystem::path InstallDefaultRegistry(const std::filesystem::path& stateDirectory,
                                             const std::filesystem::path& libraryDirectory);

// The template's text with its placeholders replaced, as a registry document.
reg::Document FillDefaultTemplate(std::string_view templateText,
                                  const std::filesystem::path& stateDirectory,
                                  const std::filesystem::path& libraryDirectory);

// Parses a registry file and refuses anything that is not clean: an unreadable file, a missing
// header or any malformed line throws RuntimeError naming the file and the line. `deletions`,
// when given, receives the file's deletion lines in their order.
reg::Document LoadRegistryFile(const std::filesystem::path& file,
                               std::vector<reg::Deletion>* deletions = nullptr);
reg::Document ParseRegistryText(std::string_view text, std::string_view origin,
                                std::vector<reg::Deletion>* deletions = nullptr);

// Where alerts go according to `registryFile` (loaded as LoadRegistryFile loads it), read as
// the library reads its alerting settings.
struct AlertSettings {
    bool enabled = false;
    std::optional<std::filesystem::path> directory;
};
AlertSettings ReadAlertSettings(const std::filesystem::path& registryFile);
AlertSettings ReadAlertSettings(const reg::Document& document);
// The document of a choice as the library reads it: the live registry, or the file, loaded
// strictly (LoadRegistryFile).
reg::Document LoadRegistryChoice(const RegistryChoice& choice);

// Writes `document` to `file` through a temporary file in the same directory that is renamed
// over it only once complete and flushed: the old file stays whole when anything fails. A
// symbolic link is written through to its target, and a file that exists keeps its owner,
// group and mode.
void SaveRegistryFile(const std::filesystem::path& file, const reg::Document& document);
void SaveTextAtomically(const std::filesystem::path& file, std::string_view text);

// Whether a value's type holds text (REG_SZ, REG_EXPAND_SZ).
bool IsTextType(std::uint32_t type);
// A value's bytes up to its first zero byte (all of them when it has none), whatever its type.
std::string ValueText(const reg::Value& value);

// The largest file the command reads, as the library reads no larger registry file.
inline constexpr std::uintmax_t kMaxInputFileSize = 64u << 20;

// Reads a whole file; throws RuntimeError naming the file when it cannot, and, before reading
// anything, when it is not a regular file or is larger than kMaxInputFileSize.
std::string ReadWholeFile(const std::filesystem::path& file);

// Sets an environment variable for this process and the library it loads.
void SetEnvironment(const char* name, const std::string& value);

}  // namespace kx::tool
