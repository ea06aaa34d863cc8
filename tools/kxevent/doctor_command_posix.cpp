// doctor_command_posix.cpp: the facts doctor reports on POSIX systems: owners, modes, the
// collector's group and the trust walk above a directory.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <system_error>

#include "tools/kxevent/doctor_command.h"

namespace kx::tool::doctor {

namespace fs = std::filesystem;

std::string OwnerAndMode(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return "owner and mode unknown";
    std::array<char, 8> mode{};
    std::snprintf(mode.data(), mode.size(), "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "owner " + std::to_string(info.st_uid) + ", mode " + mode.data();
}

bool WritableByUs(const std::string& path, bool directory) {
    return ::access(path.c_str(), directory ? W_OK | X_OK : W_OK) == 0;
}

std::string ThisUser() {
    return "user " + std::to_string(::geteuid());
}

bool SharedWithCollector(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) return false;
    if ((info.st_mode & S_IWOTH) != 0 || (info.st_mode & S_IWGRP) == 0) return false;
    const group* collector = ::getgrnam(kCollectorGroup);
    return collector != nullptr && collector->gr_gid == info.st_gid;
}

UnreadableAlerts UnreadableByCollector(const std::vector<fs::path>& files) {
    UnreadableAlerts unreadable;
    const group* collector = ::getgrnam(kCollectorGroup);
    for (const fs::path& file : files) {
        struct stat info {};
        if (::lstat(file.c_str(), &info) != 0) continue;  // taken away meanwhile
        const bool byGroup = collector != nullptr && info.st_gid == collector->gr_gid &&
                             (info.st_mode & S_IRGRP) != 0;
        if (byGroup || (info.st_mode & S_IROTH) != 0) continue;
        if (unreadable.count++ == 0) {
            std::array<char, 8> mode{};
            std::snprintf(mode.data(), mode.size(), "%04o",
                          static_cast<unsigned>(info.st_mode & 07777));
            unreadable.first = file.string() + " (owner " + std::to_string(info.st_uid) +
                               ", group " + std::to_string(info.st_gid) + ", mode " + mode.data() +
                               ")";
        }
    }
    return unreadable;
}

std::optional<std::string> UntrustedAbove(const std::string& path) {
    std::error_code error;
    fs::path current = fs::canonical(path, error).parent_path();
    if (error) return path + " cannot be resolved";
    for (int level = 1;; ++level) {
        struct stat info {};
        if (::stat(current.c_str(), &info) != 0) return current.string() + " cannot be resolved";
        if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
            return current.string() + " is owned by user " + std::to_string(info.st_uid) +
                   ", neither root nor the process's user";
        }
        if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
            !(level >= 2 && (info.st_mode & S_ISVTX) != 0)) {
            return current.string() + " can be changed by users other than its owner and root";
        }
        if (current == current.root_path()) return std::nullopt;
        current = current.parent_path();
    }
}

}  // namespace kx::tool::doctor
