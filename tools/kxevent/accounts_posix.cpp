// accounts_posix.cpp: names of users and groups, and the alerting directory's setup with the
// package's group kxevent.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/kxevent/accounts.h"

namespace kx::tool {

std::string UserName(std::uint32_t uid) {
    const passwd* entry = ::getpwuid(static_cast<uid_t>(uid));
    return entry != nullptr && entry->pw_name != nullptr ? std::string(entry->pw_name)
                                                         : std::to_string(uid);
}

std::string GroupName(std::uint32_t gid) {
    const group* entry = ::getgrgid(static_cast<gid_t>(gid));
    return entry != nullptr && entry->gr_name != nullptr ? std::string(entry->gr_name)
                                                         : std::to_string(gid);
}

std::string ThisUserName() {
    return UserName(::geteuid());
}

bool CollectorGroupExists() {
    return ::getgrnam(kCollectorGroup) != nullptr;
}

std::string AlertDirectoryWriteAdvice(const std::filesystem::path& directory) {
    const std::string user = ThisUserName();
    const std::string groupName = kCollectorGroup;
    const std::string path = directory.string();
    if (!CollectorGroupExists()) {
        return "give it to the user running the product (chown " + user + " " + path + ")";
    }
    struct stat info {};
    const group* collector = ::getgrnam(kCollectorGroup);
    const bool groupSetUp = ::stat(path.c_str(), &info) == 0 && collector != nullptr &&
                            info.st_gid == collector->gr_gid && (info.st_mode & S_IWGRP) != 0;
    const std::string join = "add " + user + " to the group " + groupName + " (usermod -a -G " +
                             groupName + " " + user + ") and start the product again";
    if (groupSetUp) return join;
    return "give it to the group " + groupName + " as the package does (chgrp " + groupName + " " +
           path + "; chmod 2770 " + path + "), then " + join;
}

std::string AlertDirectoryCreateAdvice(const std::filesystem::path& directory) {
    const std::string path = directory.string();
    if (CollectorGroupExists()) {
        return "create it as the package does (install -d -o root -g " +
               std::string(kCollectorGroup) + " -m 2770 " + path +
               "); a product not running as root writes there as a member of the group " +
               kCollectorGroup;
    }
    return "create it (mkdir -m 0755 " + path + ") owned by the user running the product";
}

bool CanCreateFilesIn(const std::filesystem::path& directory) {
    return ::access(directory.c_str(), W_OK | X_OK) == 0;
}

}  // namespace kx::tool
