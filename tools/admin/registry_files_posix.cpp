// registry_files_posix.cpp: the POSIX half of registry_files: the environment, the system
// registry's owner, reading a whole file and replacing one atomically.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

#include "common/fd.h"
#include "tools/admin/errors.h"
#include "tools/admin/registry_files.h"
#include "tools/admin/registry_files_internal.h"

namespace kx::tool {

namespace fs = std::filesystem;

void SetEnvironment(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}

bool UsesSystemRegistry() {
    // The system alerting directory and registry file are root's alone (the library refuses
    // them otherwise); anyone else trying the command works on a default of their own.
    return ::geteuid() == 0;
}

bool SystemRegistryIsLive() {
    return false;  // the library keeps HKEY_LOCAL_MACHINE in a registry file
}

std::string LiveRegistryName() {
    return SystemRegistryPath().string();
}

std::string LiveRegistryViewOption() {
    return "";
}

std::optional<std::string> OtherViewHolding(const char*) {
    return std::nullopt;
}

reg::Document ReadLiveRegistry(std::span<const std::string_view>) {
    throw RuntimeError("this system has no registry of its own; the library reads registry files");
}

std::string ReadWholeFile(const fs::path& file) {
    // Opened without blocking, so that a FIFO or device is refused by the check, never waited on.
    FileContent read = ReadRegularFile(AT_FDCWD, file.c_str(), kMaxInputFileSize, true);
    if (read.error != 0) {
        throw RuntimeError("cannot read " + file.string() + ": " + std::strerror(read.error));
    }
    CheckReadableFile(file, read.regular, read.tooLarge ? kMaxInputFileSize + 1 : 0);
    return std::move(read.bytes);
}

namespace {

// Why a save failed, `why` being what it was doing and the system's reason.
[[noreturn]] void FailSave(const fs::path& file, const std::string& why) {
    throw RuntimeError("cannot write " + file.string() + ": " + why + "; the file is unchanged");
}

// The saving code's own errno in words (ReplaceFailureText words those of the replace).
[[noreturn]] void FailSave(const fs::path& file, const std::string& step, int error) {
    FailSave(file, step + ": " + std::generic_category().message(error));
}

// The file a save replaces: a symbolic link's target, link after link as the kernel would
// follow them, so that the link stays in place and its target gets the text.
fs::path FollowLinks(fs::path file) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(file, error))) return file;
        const fs::path target = fs::read_symlink(file, error);
        if (error) FailSave(file, "reading the link", error.value());
        file = target.is_absolute() ? target : file.parent_path() / target;
    }
    FailSave(file, "following the link", ELOOP);
}

// The mode a new file gets: readable by all, writable by its owner, narrowed by the umask.
mode_t NewFileMode() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return (S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH) & ~mask;
}

}  // namespace

void SaveTextAtomically(const fs::path& file, std::string_view text) {
    const fs::path target = FollowLinks(file);
    struct stat original;
    const bool exists = ::lstat(target.c_str(), &original) == 0;
    if (!exists && errno != ENOENT) FailSave(target, "examining it", errno);
    if (exists && !S_ISREG(original.st_mode)) {
        throw RuntimeError("cannot write " + target.string() +
                           ": not a regular file; it is unchanged");
    }
    const std::string temporary = TemporaryNameFor(target);
    // The owner first: changing it may clear set-ID bits that the mode then restores.
    const auto keepOwner = [&](int fd) {
        struct stat created;
        if (::fstat(fd, &created) != 0) return errno;
        if (exists && (created.st_uid != original.st_uid || created.st_gid != original.st_gid) &&
            ::fchown(fd, original.st_uid, original.st_gid) != 0)
            return errno;
        return 0;
    };
    const mode_t mode = exists ? original.st_mode & 07777 : NewFileMode();
    const ReplaceResult replaced =
        ReplaceFile(AT_FDCWD, target.c_str(), temporary.c_str(), text, mode, keepOwner);
    if (!replaced) FailSave(target, ReplaceFailureText(replaced, "keeping its owner and group"));
}

}  // namespace kx::tool
