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

std::string ReadWholeFile(const fs::path& file) {
    // Opened without blocking, so that a FIFO or device is refused by the check, never waited on.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw RuntimeError("cannot read " + file.string() + ": " + std::strerror(errno));
    const std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* owned) {
        ::close(*owned);
        delete owned;
    });
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        throw RuntimeError("cannot read " + file.string() + ": " + std::strerror(errno));
    }
    CheckReadableFile(file, S_ISREG(info.st_mode), static_cast<std::uintmax_t>(info.st_size));
    // A file that grows while it is read is still cut at the bound.
    std::string content(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t got = ::read(fd, content.data() + done, content.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            throw RuntimeError("cannot read " + file.string() + ": " + std::strerror(errno));
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
        if (done == content.size() && content.size() <= kMaxInputFileSize) {
            content.resize(std::min<std::size_t>(content.size() * 2, kMaxInputFileSize + 1));
        }
    }
    CheckReadableFile(file, true, done);
    content.resize(done);
    return content;
}

namespace {

// The one place the saving code turns an errno into text.
[[noreturn]] void FailSave(const fs::path& file, const std::string& step, int error) {
    throw RuntimeError("cannot write " + file.string() + ": " + step + ": " +
                       std::generic_category().message(error) + "; the file is unchanged");
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

// A temporary file beside the target, removed unless committed.
class TemporaryFile {
  public:
    explicit TemporaryFile(const fs::path& target) {
        for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
            path_ = TemporaryNameFor(target);
            do {
                fd_ = ::open(path_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC,
                             S_IRUSR | S_IWUSR);
            } while (fd_ < 0 && errno == EINTR);
            if (fd_ < 0 && errno != EEXIST) break;
        }
        if (fd_ < 0) FailSave(target, "creating a temporary file beside it", errno);
    }
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Closes the file; the error number, or 0.
    int Close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }
    void Commit() { committed_ = true; }

  private:
    std::string path_;
    int fd_ = -1;
    bool committed_ = false;
};

int WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t done = ::write(fd, text.data(), text.size());
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) return errno;
        text.remove_prefix(static_cast<std::size_t>(done));
    }
    return 0;
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
    TemporaryFile temporary(target);
    if (const int error = WriteAll(temporary.fd(), text)) FailSave(target, "writing", error);
    // The owner first: changing it may clear set-ID bits that the mode then restores.
    struct stat created;
    if (::fstat(temporary.fd(), &created) != 0) FailSave(target, "writing", errno);
    if (exists && (created.st_uid != original.st_uid || created.st_gid != original.st_gid) &&
        ::fchown(temporary.fd(), original.st_uid, original.st_gid) != 0) {
        FailSave(target, "keeping its owner and group", errno);
    }
    const mode_t mode = exists ? original.st_mode & 07777 : NewFileMode();
    if (::fchmod(temporary.fd(), mode) != 0) FailSave(target, "keeping its mode", errno);
    if (::fsync(temporary.fd()) != 0) FailSave(target, "flushing", errno);
    if (const int error = temporary.Close()) FailSave(target, "writing", error);
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
        FailSave(target, "replacing it", errno);
    }
    temporary.Commit();
    // The rename itself is made durable; the new file is complete either way, so a directory
    // that cannot be flushed is no failure.
    const fs::path parent = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    const int directory = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return;
    const std::unique_ptr<const int, void (*)(const int*)> closer(
        &directory, [](const int* fd) { ::close(*fd); });
    ::fsync(directory);
}

}  // namespace kx::tool
