// command_environment.h: the environment the tools tests run the kxevent command in, so that
// nothing of the machine's or the caller's own installation reaches it.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "support.h"

namespace kx::test {

using Environment = std::map<std::string, std::optional<std::string>>;

// `registry` (or none: the command then chooses its own), the event log, state and home under
// `dir`, no system registry, no VEL_DEBUGCORE, and `libraryDir` (or the command's own).
inline Environment CommandEnvironment(const TempDir& dir,
                                      const std::optional<std::filesystem::path>& registry,
                                      const std::optional<std::string>& libraryDir = std::nullopt) {
    return {
        {"VEL_REGISTRY", registry ? std::optional(registry->string()) : std::nullopt},
        {"KXEVENT_SYSTEM_REGISTRY", (dir / "no-system.reg").string()},
        {"XDG_STATE_HOME", (dir / "state").string()},
        {"HOME", dir.str()},
        {"VEL_EVENTLOG", (dir / "eventlog.json").string()},
        {"VEL_DEBUGCORE", std::nullopt},
        {"KXEVENT_LIBRARY_DIR", libraryDir},
    };
}

}  // namespace kx::test
