// files.cpp: file and environment calls: attributes of a path, renames that never replace,
// exclusive creates, whole writes and durable closes.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/fd.h"
#include "platform/posix/internal.h"

namespace kx::plat::backend {
namespace {

// Makes a directory's entries durable (a rename or a new name in it).
bool SyncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return synced;
}

Dword AttributesOf(const struct stat& info) {
    return S_ISDIR(info.st_mode) ? kFileAttributeDirectory : 0x80;  // FILE_ATTRIBUTE_NORMAL
}

// The first entry of a directory matching a pattern of '*' and '?', without regard to case.
bool FindMatching(const std::string& native, Dword* attributes) {
    const std::string directory = DirectoryOf(native);
    const std::string pattern = native.substr(native.rfind('/') + 1);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
    if (!dir) {
        SetLastErrorFromErrno();
        return false;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        if (::fnmatch(pattern.c_str(), entry->d_name, FNM_CASEFOLD | FNM_PERIOD) != 0) continue;
        struct stat info;
        if (::stat((directory + "/" + entry->d_name).c_str(), &info) != 0) continue;
        *attributes = AttributesOf(info);
        return true;
    }
    return Fail(kErrorFileNotFound);
}

}  // namespace

bool FindFirstFileAttributes(const char* path, Dword* attributes) {
    if (!path || !attributes || !*path) return Fail(kErrorInvalidParameter);
    const std::string native = NativePath(path);
    // As FindFirstFile, a name ending in a separator names no entry.
    if (native.back() == '/') return Fail(kErrorFileNotFound);
    if (native.find_first_of("*?", native.rfind('/') + 1) != std::string::npos) {
        return FindMatching(native, attributes);
    }
    struct stat info;
    if (::stat(native.c_str(), &info) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    *attributes = AttributesOf(info);
    return true;
}

bool MoveFileA(const char* from, const char* to) {
    if (!from || !to || !*from || !*to) return Fail(kErrorInvalidParameter);
    const std::string source = NativePath(from);
    const std::string target = NativePath(to);
    if (MoveWithoutReplacing(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str()) != 0) {
        return Fail(errno == EEXIST ? kErrorAlreadyExists : FromErrno(errno));
    }
    const std::string targetDirectory = DirectoryOf(target);
    const std::string sourceDirectory = DirectoryOf(source);
    bool durable = SyncDirectory(targetDirectory);
    if (sourceDirectory != targetDirectory) durable = SyncDirectory(sourceDirectory) && durable;
    // The file has its new name; the failure to make that durable is still reported.
    if (!durable) return Fail(SetLastErrorFromErrno());
    return true;
}

Dword GetEnvironmentVariableA(const char* name, char* buffer, Dword size) {
    if (!name || !*name) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    // Through Env, which decides what a privileged process may not be told.
    const std::optional<std::string> value = Env(name);
    if (!value) {
        SetLastError(kErrorEnvVarNotFound);
        return 0;
    }
    const std::size_t length = value->size();
    if (!buffer || length + 1 > size) return static_cast<Dword>(length + 1);
    std::memcpy(buffer, value->c_str(), length + 1);
    return static_cast<Dword>(length);
}

namespace {

// `fd` when it is open on a regular file; closed otherwise, as access denied: a directory, FIFO
// or device at a path this layer opens is refused rather than used.
std::intptr_t RegularFileOrClose(int fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        SetLastError(kErrorAccessDenied);
        return kInvalidFile;
    }
    return fd;
}

}  // namespace

std::intptr_t FileCreate(const char* path) {
    if (!path || !*path) {
        SetLastError(kErrorInvalidParameter);
        return kInvalidFile;
    }
    const std::string native = NativePath(path);
    // A new regular file, never one reached through a symbolic link, readable by others at
    // most (the umask may narrow it further).
    int fd;
    do {
        fd = ::open(native.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetLastErrorFromErrno();  // EEXIST: kErrorFileExists
        return kInvalidFile;
    }
    return RegularFileOrClose(fd);
}

Dword FileWrite(std::intptr_t file, const void* data, Dword count) {
    if (file < 0 || file > INT32_MAX) {
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    if (!data && count) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    std::size_t done = 0;
    if (WriteAll(static_cast<int>(file), {static_cast<const char*>(data), count}, &done) != 0) {
        SetLastErrorFromErrno();
    }
    return static_cast<Dword>(done);
}

bool FileClose(std::intptr_t file) {
    if (file < 0 || file > INT32_MAX) return Fail(kErrorInvalidHandle);
    const int fd = static_cast<int>(file);
    // Files that cannot be synchronised (pipes, devices) only need closing.
    bool ok = ::fdatasync(fd) == 0 || errno == EINVAL || errno == EROFS;
    if (!ok) SetLastErrorFromErrno();
    if (::close(fd) != 0 && errno != EINTR) {
        if (ok) SetLastErrorFromErrno();
        ok = false;
    }
    return ok;
}

bool FileDelete(const char* path) {
    if (!path || !*path) return Fail(kErrorInvalidParameter);
    if (::unlink(NativePath(path).c_str()) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    return true;
}

bool SetGroupReadable(const char* path) {
    if (!path || !*path) return Fail(kErrorInvalidParameter);
    // Opened rather than named, so that the mode lands on the file that was checked.
    const Fd fd(::open(NativePath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        SetLastErrorFromErrno();
        return false;
    }
    struct stat info;
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return Fail(kErrorAccessDenied);
    if (::fchmod(fd.get(), S_IRUSR | S_IWUSR | S_IRGRP) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    return true;
}

std::intptr_t WatchFile(const char* path) {
    if (!path || !*path) {
        SetLastError(kErrorInvalidParameter);
        return kInvalidFile;
    }
    const int fd = ::open(NativePath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return kInvalidFile;
    }
    return RegularFileOrClose(fd);
}

bool FlushWatchedFile(std::intptr_t watch, const char*, std::uint64_t size) {
    if (watch < 0 || watch > INT32_MAX) return Fail(kErrorInvalidHandle);
    const int fd = static_cast<int>(watch);
    // The data first: a write error that the writer's own flush met is reported here too, as
    // this descriptor was open before it.
    if (::fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS) {
        SetLastErrorFromErrno();
        return false;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    if (static_cast<std::uint64_t>(info.st_size) != size) return Fail(kErrorWriteFault);
    return true;
}

void EndWatch(std::intptr_t watch) {
    if (watch >= 0 && watch <= INT32_MAX) ::close(static_cast<int>(watch));
}

}  // namespace kx::plat::backend
