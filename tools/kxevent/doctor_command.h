// doctor_command.h: the checks of "kxevent doctor", run on the installation the environment
// names, and the facts of the system they rest on: owners, modes and groups on POSIX systems
// (doctor_command_posix.cpp), the system's access control on Windows (doctor_command_win32.cpp).
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kx::tool {

// Runs every check, writing one line per check to `out` ("ok    WHAT: DETAIL" or
// "FAIL  WHAT: PROBLEM; WHAT TO DO"); true when all of them passed. Reads only.
// With `json`, each check is one JSON object per line instead.
bool RunDoctorChecks(std::ostream& out, bool json = false);

namespace doctor {

// "owner root, group kxevent, mode 2770": what the trust check and the writers depend on.
std::string OwnerAndMode(const std::string& path);
// Whether this process may write to the file, or create files in the directory, at `path`.
bool WritableByUs(const std::string& path, bool directory);
// This process's user, as the report names it ("user alice").
std::string ThisUser();
// Whether `path` is a directory the trust check would accept but for its group's write
// permission, given to the collector's group: owned by root or us, not writable by others.
bool SharedWithCollector(const std::string& path);

// How many of `files` the collector's group cannot read (neither by group nor by others), and
// the first of them.
struct UnreadableAlerts {
    std::size_t count = 0;
    std::string first;  // "FILE (owner root, group root, mode 0600)"
};
UnreadableAlerts UnreadableByCollector(const std::vector<std::filesystem::path>& files);

// Why others than the system's administrators (and the alerting service) could change the
// directory at `path`, by its access list; nothing when none can, or where owners and modes
// decide (POSIX systems: the trust check's line says it).
std::optional<std::string> AccessListProblem(const std::string& path);
// A registry text with its %VARIABLE%s expanded, as the system expands REG_EXPAND_SZ paths.
std::string ExpandedText(const std::string& text);

// The system log the library writes every entry to: its name for the report, and why entries
// would not reach it, with what to do.
struct SystemLog {
    std::string name;
    std::optional<std::string> problem;
    std::string todo;
};
SystemLog TheSystemLog();

// The alerting service as the system's service manager has it (Windows): whether it is
// registered, the command line it runs (its ImagePath), or why that could not be read. Never
// registered where there is no service manager of this kind (POSIX systems).
struct CollectService {
    bool registered = false;
    std::string command;
    std::optional<std::string> problem;
};
CollectService TheCollectService();

}  // namespace doctor
}  // namespace kx::tool
