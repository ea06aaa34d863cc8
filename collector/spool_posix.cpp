// spool_posix.cpp: the spool's file operations on POSIX, every one relative to the directory's
// descriptor, never through a path that a link could redirect.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "collector/spool_directory.h"

namespace kx::collect {

namespace {

int OpenDirectoryAt(int at, const char* path, Fd& fd) {
    fd = Fd(::openat(at, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return fd ? 0 : errno;
}

SpoolEntry::Type TypeOf(mode_t mode) {
    if (S_ISREG(mode)) return SpoolEntry::Type::Regular;
    if (S_ISDIR(mode)) return SpoolEntry::Type::Directory;
    if (S_ISLNK(mode)) return SpoolEntry::Type::Link;
    return SpoolEntry::Type::Other;
}

std::string Octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

}  // namespace

SpoolDirectory::~SpoolDirectory() = default;
SpoolDirectory::SpoolDirectory(SpoolDirectory&& other) noexcept = default;
SpoolDirectory& SpoolDirectory::operator=(SpoolDirectory&& other) noexcept = default;

SpoolDirectory::operator bool() const {
    return static_cast<bool>(fd_);
}

int SpoolDirectory::Open(const std::filesystem::path& path, SpoolDirectory& out) {
    return OpenDirectoryAt(AT_FDCWD, path.c_str(), out.fd_);
}

int SpoolDirectory::OpenSubdirectory(const std::string& name, SpoolDirectory& out) const {
    return OpenDirectoryAt(fd_.get(), name.c_str(), out.fd_);
}

int SpoolDirectory::MakeSubdirectory(const std::string& name) const {
    return ::mkdirat(fd_.get(), name.c_str(), 0750) == 0 ? 0 : errno;
}

std::string SpoolDirectory::Untrusted(const std::string& what) const {
    struct stat info {};
    if (::fstat(fd_.get(), &info) != 0)
        return "cannot examine " + what + ": " + std::generic_category().message(errno);
    if (info.st_uid != ::geteuid())
        return what + " belongs to uid " + std::to_string(info.st_uid) +
               ", not to the collector's user (uid " + std::to_string(::geteuid()) +
               "); it is not used: remove it and the collector makes its own";
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return what + " may be written by others than the collector's user (mode " +
               Octal(info.st_mode) + "); it is not used: chmod go-w it";
    return {};
}

bool SpoolDirectory::SameVolume(const SpoolDirectory& other) const {
    struct stat mine {
    }, theirs{};
    return ::fstat(fd_.get(), &mine) == 0 && ::fstat(other.fd_.get(), &theirs) == 0 &&
           mine.st_dev == theirs.st_dev;
}

int SpoolDirectory::List(const std::function<void(std::string_view)>& each) const {
    const int listing = ::dup(fd_.get());
    if (listing < 0) return errno;
    DIR* stream = ::fdopendir(listing);
    if (stream == nullptr) {
        const int error = errno;
        ::close(listing);
        return error;
    }
    ::rewinddir(stream);
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") each(name);
    }
    ::closedir(stream);
    return 0;
}

SpoolEntry SpoolDirectory::Examine(const std::string& name) const {
    SpoolEntry entry;
    struct stat info {};
    if (::fstatat(fd_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        entry.error = errno;
        return entry;
    }
    entry.type = TypeOf(info.st_mode);
    entry.id = info.st_ino;
    entry.mtimeSeconds = static_cast<std::int64_t>(info.st_mtim.tv_sec);
    entry.mtimeNanoseconds = static_cast<std::int64_t>(info.st_mtim.tv_nsec);
    return entry;
}

SpoolRead SpoolDirectory::ReadRegular(const std::string& name, std::size_t limit) const {
    FileContent file = ReadRegularFile(fd_.get(), name.c_str(), limit);
    SpoolRead read;
    read.error = file.error;
    read.regular = file.regular;
    read.tooLarge = file.tooLarge;
    read.size = static_cast<std::int64_t>(file.info.st_size);
    read.mtimeSeconds = static_cast<std::int64_t>(file.info.st_mtim.tv_sec);
    read.mtimeNanoseconds = static_cast<std::int64_t>(file.info.st_mtim.tv_nsec);
    read.bytes = std::move(file.bytes);
    return read;
}

int SpoolDirectory::Remove(const std::string& name) const {
    return ::unlinkat(fd_.get(), name.c_str(), 0) == 0 ? 0 : errno;
}

int SpoolDirectory::MoveWithoutReplacing(const std::string& name, const SpoolDirectory& to,
                                         const std::string& target) const {
    return kx::MoveWithoutReplacing(fd_.get(), name.c_str(), to.fd_.get(), target.c_str()) == 0
               ? 0
               : errno;
}

int SpoolDirectory::WriteNew(const std::string& name, std::string_view data) const {
    const Fd file = CreateExclusive(fd_.get(), name.c_str(), 0640);
    if (!file) return errno;
    if (const int error = WriteAll(file.get(), data)) return error;
    return ::fsync(file.get()) == 0 ? 0 : errno;
}

int SpoolDirectory::Sync() const {
    return ::fsync(fd_.get()) == 0 ? 0 : errno;
}

}  // namespace kx::collect
