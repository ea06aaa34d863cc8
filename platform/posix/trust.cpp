// trust.cpp: whether a file may decide which code runs in the process. The registry file names
// the forwarding modules and the installation directory; a module file is the code itself.
// Either is trusted only when no one but its owner and root can change it, and its owner is
// root or the process's own user.
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "platform/posix/internal.h"

namespace kx::plat::backend {
namespace {

constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

bool OwnerTrusted(const struct stat& info) {
    return info.st_uid == 0 || info.st_uid == ::geteuid();
}

// A directory above the one that holds the file may be shared (as /tmp is) when its sticky bit
// keeps others from renaming or removing what they do not own.
bool EntryTrusted(const struct stat& info, bool ancestor) {
    if (!OwnerTrusted(info)) return false;
    if ((info.st_mode & kWritableByOthers) == 0) return true;
    return ancestor && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
}

}  // namespace

std::optional<std::string> UntrustedPart(const char* path) {
    if (!path || !*path) return std::string();
    const std::optional<std::string> resolved = RealPath(NativePath(path));
    if (!resolved) return NativePath(path);
    std::string current = *resolved;
    // Level 0 is the path itself, level 1 the directory that holds it: neither may be shared.
    for (int level = 0;; ++level) {
        struct stat info;
        if (::stat(current.c_str(), &info) != 0 || !EntryTrusted(info, level >= 2)) {
            return current;
        }
        if (current == "/") return std::nullopt;
        current = DirectoryOf(current);
    }
}

bool IsTrustedPath(const char* path) {
    return !UntrustedPart(path).has_value();
}

std::optional<std::string> UntrustedReason(const char* path) {
    const std::optional<std::string> part = UntrustedPart(path);
    if (!part) return std::nullopt;
    struct stat info;
    if (part->empty() || ::stat(part->c_str(), &info) != 0) {
        return (part->empty() ? std::string("an empty path") : *part) + " cannot be resolved";
    }
    if (!OwnerTrusted(info)) {
        return *part + " is owned by user " + std::to_string(info.st_uid) +
               ", neither root nor the process's user";
    }
    return *part + " can be changed by users other than its owner and root";
}

}  // namespace kx::plat::backend
