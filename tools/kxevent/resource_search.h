// resource_search.h: the resource module kxUtlRes.dll as KXEvent.DLL finds it when it attaches,
// for the commands that report or follow the library's choice (doctor, events).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/regfile.h"

namespace kx::tool {

// One place the search looked at that held no copy the library would load.
struct ResourcePlace {
    std::filesystem::path file;  // the kxUtlRes.dll looked for, as an absolute path
    std::string problem;         // "not found", "not a resource module", "path too long"
};

struct ResourceSearch {
    // The directory the Res<pp><ss> folders hang off and why: the installation directory
    // (VEL_DEBUGCORE, else "szInstallDir"), or "..\zqpal" beside the current directory when
    // neither gives one.
    std::string base;
    std::string origin;
    bool defaultBase = false;  // "..\zqpal": no installation directory is set
    std::vector<ResourcePlace> tried;
    // The copy the library stops at: the one it loads, or one it refuses.
    std::optional<std::filesystem::path> module;
    std::string language;                // "0901": the language of module's Res directory
    std::optional<std::string> refusal;  // why the loader refuses module, naming the part at fault
};

// Walks the library's places in its order (ResourceDirectoryNames below the base) and applies
// the loader's rules to each: a missing file or one that is no resource module lets the search
// go on, and so does something that is no regular file; a copy that fails the trust check for
// configured modules ends it, as the library then refuses to load. Reads only; nothing is logged.
ResourceSearch FindResourceModule(const reg::Document& document);

// Why the platform's trust check refuses `path`; nothing when it is trusted.
std::optional<std::string> Untrusted(const std::filesystem::path& path);

// Why the loader's trust check refuses the module file at `file`, found already: the directory
// holding it when the name is a symbolic link (a link in a shared directory borrows no
// standing), and the file itself. Such a refusal ends a search. Reads only: no file is opened.
std::optional<std::string> TrustRefusal(const std::filesystem::path& file);

// Why the loader refuses to load the module file at `file`: its trust check, and a file that is
// no regular file (a directory, a FIFO, a device). Nothing when the loader takes it. Reads only:
// no file is opened.
std::optional<std::string> ModuleRefusal(const std::filesystem::path& file);

}  // namespace kx::tool
