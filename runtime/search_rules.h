// search_rules.h: where the library looks for its parts: the installation directory, the places
// of the core components and the resource module's locale chain. Pure rules over a registry
// reader and the platform, kept apart from the runtime's state, so that the binder and the
// resource loader follow them and the kxevent command can follow them without loading anything.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/registry.h"
#include "platform/platform.h"

namespace kx {

// Every path is built in a buffer of this size; a text of the installation directory too.
inline constexpr std::size_t kSearchPathSize = 260;
inline constexpr char kDebugCoreVariable[] = "VEL_DEBUGCORE";
inline constexpr char kInstallDirValue[] = "szInstallDir";
// Beside the current directory: where the core components and the resource module are looked
// for when the installation directory has not got them, or there is none.
inline constexpr char kDefaultComponentDirectory[] = "..\\zqpal";
// The localized resource module, one copy per Res<pp><ss> directory.
inline constexpr char kResourceModuleName[] = "kxUtlRes.dll";

// Codes of the installation directory's discovery, as the binder returns them.
inline constexpr int kNoInstallDirValue = 2;
inline constexpr int kInstallKeyNotOpened = 3;
inline constexpr int kInstallDirMissing = 4;

enum class InstallOrigin { None, DebugCore, Registry };

struct InstallDirectory {
    // VEL_DEBUGCORE when set (empty when too long for the text), else "szInstallDir" of
    // kCurrentVersionKey; one trailing backslash dropped.
    std::string text;
    InstallOrigin origin = InstallOrigin::None;
    int code = 0;  // 0, or one of the codes above
};

// The installation directory by the binder's rule; the existence test is the platform's.
InstallDirectory FindInstallDirectory(const RegistryReader& registry);

// Drops one trailing backslash of a directory text.
void DropTrailingBackslash(std::string& text);

// The places of the library search for a core component, in order: the installation directory,
// "..\zqpal", the current directory. None when the installation directory and the file name
// leave no room for the separator and terminator.
std::vector<std::string> CoreComponentPlaces(std::string_view installDirectory,
                                             std::string_view file);

// The directory the resource module's Res<pp><ss> folders hang off, as the library's start-up
// chooses it: the installation directory, or "..\zqpal" when there is none.
std::string ResourceSearchBase(std::string_view installDirectory);

// One place of the resource module's search.
struct ResourceAttempt {
    std::string path;      // base\Res<pp><ss>\file
    std::string language;  // "0901": the language of its Res directory
    std::size_t slot = 0;  // 0 to 9: two per locale tried
    bool tooLong = false;  // the path does not fit its buffer and is not tried
};

enum class AttemptOutcome {
    Loaded,   // the search ends with this copy
    Failed,   // not there or not usable: the search goes on
    Refused,  // a copy the trust check refused: the search ends without one
};

using ResourceAttemptFn = std::function<AttemptOutcome(const ResourceAttempt&)>;

struct ResourceSearchEnd {
    AttemptOutcome outcome = AttemptOutcome::Failed;  // Failed: every place failed
    ResourceAttempt last;                             // the attempt that ended it
};

// One locale's attempt: its own sub-language, then sub-language 1, into the two slots given.
// `base` null or empty stands for the executable's directory.
ResourceSearchEnd TryResourceLocale(const char* base, std::string_view file, plat::Dword lcid,
                                    std::size_t firstSlot, std::size_t secondSlot,
                                    const ResourceAttemptFn& attempt);

// The whole locale chain: the thread's locale, the user's (when other than the thread's), the
// system's (when other than the user's), neutral, then 0x409; each by TryResourceLocale.
ResourceSearchEnd SearchResourceModule(const char* base, std::string_view file,
                                       const ResourceAttemptFn& attempt);

// The file `path` names as the loader finds it (the last component without regard to case on
// Linux), with native separators; nothing when there is none.
std::optional<std::string> LocateFile(const std::string& path);

// Why the loader refuses a module file named by configuration, found at `file`, judged without
// loading it or logging anything: its trust check, which ends a search, or no regular file at
// the name (a directory, a FIFO, a device), which lets a search go on.
enum class ModuleRefusalKind { None, Trust, NotAFile };
struct ModuleRefusal {
    ModuleRefusalKind kind = ModuleRefusalKind::None;
    std::string reason;  // naming the part at fault
};
ModuleRefusal JudgeModuleFile(const std::string& file);

// The resource module's search followed as the library's attach makes it, for those that report
// on it (the kxevent command): every place is judged as the loader would judge it, and loaded at
// most for its resources, so nothing runs and no refusal is logged.
struct ResourcePlace {
    std::string path;  // as the library writes it
    std::string
        problem;  // "not found", "not a regular file", "not a resource module", "path too long"
};
struct ResourceSearchReport {
    InstallDirectory install;
    std::string base;                    // the installation directory, or "..\zqpal"
    std::vector<ResourcePlace> tried;    // each place once, in the order first tried
    std::optional<std::string> module;   // the copy the search stops at, as found
    std::string language;                // of module's Res directory
    std::string firstLanguage;           // of the first place tried
    std::optional<std::string> refusal;  // why the loader refuses module
};
ResourceSearchReport FollowResourceSearch(const RegistryReader& registry, std::string_view file);

}  // namespace kx
