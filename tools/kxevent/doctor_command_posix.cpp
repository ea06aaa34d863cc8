// doctor_command_posix.cpp: the facts doctor reports on POSIX systems: owners, modes, the
// collector's group and the system logger the library writes to.
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "common/fd.h"
#include "tools/kxevent/accounts.h"
#include "tools/kxevent/doctor_command.h"

namespace kx::tool::doctor {

namespace fs = std::filesystem;

namespace {

// "owner root, group kxevent, mode 2770" of what `info` describes.
std::string OwnerGroupAndMode(const struct stat& info) {
    std::array<char, 8> mode{};
    std::snprintf(mode.data(), mode.size(), "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "owner " + UserName(info.st_uid) + ", group " + GroupName(info.st_gid) + ", mode " +
           mode.data();
}

}  // namespace

std::string OwnerAndMode(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return "owner and mode unknown";
    return OwnerGroupAndMode(info);
}

bool WritableByUs(const std::string& path, bool directory) {
    return ::access(path.c_str(), directory ? W_OK | X_OK : W_OK) == 0;
}

std::string ThisUser() {
    return "user " + ThisUserName();
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
            unreadable.first = file.string() + " (" + OwnerGroupAndMode(info) + ")";
        }
    }
    return unreadable;
}

std::optional<std::string> AccessListProblem(const std::string&) {
    return std::nullopt;
}

std::string ExpandedText(const std::string& text) {
    return text;
}

// The library sends each syslog line without waiting to the datagram socket _PATH_LOG and drops
// it when that fails. Connecting tells the same: no socket, something else at the name, no one
// bound to it, or no permission.
SystemLog TheSystemLog() {
    SystemLog log{.name = "syslog (" _PATH_LOG ")",
                  .problem = std::nullopt,
                  .todo =
                      "start the system logger (rsyslog or systemd-journald), which listens "
                      "at " _PATH_LOG};
    const std::string socketPath = _PATH_LOG;
    struct stat info {};
    if (::stat(socketPath.c_str(), &info) != 0) {
        log.problem = "there is no socket " + socketPath;
        return log;
    }
    if (!S_ISSOCK(info.st_mode)) {
        log.problem = socketPath + " is not a socket";
        return log;
    }
    const Fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        log.problem = "no socket could be made (" + std::string(std::strerror(errno)) + ")";
        return log;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return log;
    const int error = errno;
    if (error == ECONNREFUSED) {
        log.problem = "no system logger listens at " + socketPath;
    } else if (error == EACCES) {
        log.problem = socketPath + " cannot be written by " + ThisUser();
    } else {
        log.problem = socketPath + " cannot be reached (" + std::strerror(error) + ")";
    }
    return log;
}

CollectService TheCollectService() {
    return {};
}

}  // namespace kx::tool::doctor
