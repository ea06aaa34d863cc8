// fd.h: a POSIX file descriptor that is closed however its scope ends (movable, so that a
// function can open one and hand it back; never copied), and the file operations every part
// repeats: writing everything, reading a regular file up to a limit, replacing a file
// atomically (on Windows too) and moving one without replacing another.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The system's own ReplaceFile is not used; its macro would rename this file's.
#undef ReplaceFile
#else
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#endif

namespace kx {

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up to the caller, who closes it.
    int release() { return std::exchange(fd_, -1); }

  private:
    void Close() {
        if (fd_ >= 0) ::close(fd_);
    }

    int fd_ = -1;
};

// Where ReplaceFile stopped.
enum class ReplaceStep { kNone, kCreate, kWrite, kPrepare, kMode, kFlush, kRename };

struct ReplaceResult {
    ReplaceStep failed = ReplaceStep::kNone;
    int error = 0;  // an errno value; on Windows, a Windows error code
    explicit operator bool() const { return failed == ReplaceStep::kNone; }
};

#if !defined(_WIN32)
// The few file operations every part repeats, each done once with the care it needs. Errors are
// errno values (0 for none), for the caller to put in its own words.

// Creates `name` in the directory `dir` (AT_FDCWD for a path) for writing: a new regular file
// only, never through a link, never blocking on whatever might be in its place. An invalid Fd
// with errno set when it cannot.
inline Fd CreateExclusive(int dir, const char* name, unsigned mode) {
    Fd file(::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                     static_cast<mode_t>(mode)));
    struct stat info {};
    if (file && (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))) {
        errno = EINVAL;
        return Fd();
    }
    return file;
}

// Writes all of `data`, again after an interrupted or partial write. A write that makes no
// progress counts as a full disk. 0, or the errno (errno is set to it too); `*written`, when
// given, is what got written either way.
inline int WriteAll(int fd, std::string_view data, std::size_t* written = nullptr) {
    std::size_t done = 0;
    int error = 0;
    while (done < data.size()) {
        const ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            if (wrote == 0) errno = ENOSPC;
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (written != nullptr) *written = done;
    return error;
}

// Reads from `fd` until its end or `limit` bytes, again after an interrupted read. 0, or the
// errno of a failed read (`bytes` then holds what was read before it).
inline int ReadUpTo(int fd, std::size_t limit, std::string& bytes) {
    bytes.clear();
    std::size_t done = 0;
    while (done < limit) {
        if (bytes.size() == done) bytes.resize(std::min(limit, done == 0 ? 4096 : done * 2));
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            bytes.resize(done);
            return got < 0 ? errno : 0;
        }
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return 0;
}

// One regular file read whole.
struct FileContent {
    int error = 0;          // errno of the open, fstat or read; 0 when it was opened
    bool regular = false;   // it was opened and is a regular file
    bool tooLarge = false;  // regular, but larger than the limit (nothing read)
    struct stat info {};    // of the open file, once opened
    std::string bytes;
    bool ok() const { return error == 0 && regular && !tooLarge; }
};

// Opens `name` (relative to `dir`, or a path with AT_FDCWD) without blocking on a FIFO or
// device and, unless `followLinks`, without following a symbolic link (ELOOP); reads it when it
// is a regular file of at most `limit` bytes. A file that grows past the limit while it is read
// counts as too large.
inline FileContent ReadRegularFile(int dir, const char* name, std::size_t limit,
                                   bool followLinks = false) {
    FileContent file;
    const Fd fd(::openat(
        dir, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW)));
    if (!fd || ::fstat(fd.get(), &file.info) != 0) {
        file.error = errno;
        return file;
    }
    file.regular = S_ISREG(file.info.st_mode);
    file.tooLarge = file.regular && static_cast<std::uint64_t>(file.info.st_size) > limit;
    if (!file.regular || file.tooLarge) return file;
    file.error = ReadUpTo(fd.get(), limit + 1, file.bytes);
    if (file.bytes.size() > limit) {
        file.tooLarge = true;
        file.bytes.clear();
    }
    return file;
}

// Renames `from` (in `fromDir`) to `to` (in `toDir`) unless `to` exists (EEXIST), atomically
// where the file system allows it. 0, or -1 with errno set.
inline int MoveWithoutReplacing(int fromDir, const char* from, int toDir, const char* to) {
    if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
    // The file system cannot rename without replacing: a new link fails when `to` exists.
    if (::linkat(fromDir, from, toDir, to, 0) == 0) return ::unlinkat(fromDir, from, 0);
    if (errno != EPERM && errno != ENOTSUP) return -1;
    // Directories cannot be linked: check, then rename.
    struct stat info {};
    if (::fstatat(toDir, to, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::renameat(fromDir, from, toDir, to);
}

// Replaces `name` (in `dir`, or a path with AT_FDCWD) by a file holding `data` with `mode`,
// whatever the umask: written whole under `temporary` beside it (created exclusively, never
// through a link; whatever a process that died left under that name is removed first), handed
// to `prepare` (an errno, or 0), flushed, renamed over `name`, and the directory flushed. A
// reader sees the old file or the new one, never part of one. The temporary is removed on
// failure.
inline ReplaceResult ReplaceFile(int dir, const char* name, const char* temporary,
                                 std::string_view data, mode_t mode,
                                 const std::function<int(int)>& prepare = nullptr) {
    Fd file = CreateExclusive(dir, temporary, S_IRUSR | S_IWUSR);
    if (!file && errno == EEXIST && ::unlinkat(dir, temporary, 0) == 0)
        file = CreateExclusive(dir, temporary, S_IRUSR | S_IWUSR);
    if (!file) return {ReplaceStep::kCreate, errno};
    ReplaceResult result;
    if (const int error = WriteAll(file.get(), data)) {
        result = {ReplaceStep::kWrite, error};
    } else if (const int refused = prepare ? prepare(file.get()) : 0) {
        result = {ReplaceStep::kPrepare, refused};
    } else if (::fchmod(file.get(), mode) != 0) {
        result = {ReplaceStep::kMode, errno};
    } else if (::fsync(file.get()) != 0 || ::close(file.release()) != 0) {
        result = {ReplaceStep::kFlush, errno};
    } else if (::renameat(dir, temporary, dir, name) != 0) {
        result = {ReplaceStep::kRename, errno};
    }
    if (!result) {
        const int error = result.error;
        ::unlinkat(dir, temporary, 0);
        result.error = error;
        return result;
    }
    // The rename itself is made durable; the new file is complete either way, so a directory
    // that cannot be flushed is no failure.
    const std::string_view path = name;
    const std::size_t slash = path.rfind('/');
    const std::string parent =
        slash == std::string_view::npos ? "." : std::string(path.substr(0, slash + 1));
    const Fd directory(::openat(dir, parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory) ::fsync(directory.get());
    return result;
}

// The same by path, as the Windows half below takes it.
inline ReplaceResult ReplaceFile(const char* name, const char* temporary, std::string_view data,
                                 mode_t mode = 0644) {
    return ReplaceFile(AT_FDCWD, name, temporary, data, mode);
}
#else
// Replaces `name` by a file holding `data`: written whole under `temporary` beside it (created
// new, so that whatever is already under that name is never opened), flushed to the disk, and
// moved over `name` with write-through, so that the move is on the disk too when this returns. A
// reader sees the old file or the new one, never part of one. The temporary is removed on
// failure.
inline ReplaceResult ReplaceFile(const char* name, const char* temporary, std::string_view data) {
    const auto create = [&] {
        return ::CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE file = create();
    // Left by a process that died: removed, never opened.
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS &&
        ::DeleteFileA(temporary))
        file = create();
    if (file == INVALID_HANDLE_VALUE)
        return {ReplaceStep::kCreate, static_cast<int>(::GetLastError())};
    ReplaceResult result;
    for (std::size_t done = 0; done < data.size();) {
        // WriteFile takes a DWORD's worth at most; pieces of 1 MiB.
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 20));
        DWORD wrote = 0;
        if (!::WriteFile(file, data.data() + done, piece, &wrote, nullptr) || wrote == 0) {
            const DWORD error = ::GetLastError();
            result = {ReplaceStep::kWrite, static_cast<int>(error != 0 ? error : ERROR_DISK_FULL)};
            break;
        }
        done += wrote;
    }
    if (result && !::FlushFileBuffers(file))
        result = {ReplaceStep::kFlush, static_cast<int>(::GetLastError())};
    if (!::CloseHandle(file) && result)
        result = {ReplaceStep::kFlush, static_cast<int>(::GetLastError())};
    if (result &&
        !::MoveFileExA(temporary, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        result = {ReplaceStep::kRename, static_cast<int>(::GetLastError())};
    if (!result) ::DeleteFileA(temporary);
    return result;
}
#endif

// What a failed ReplaceFile was doing and why it failed, for a message about the file it was to
// replace: "creating a temporary file beside it: Permission denied". `prepare` says what the
// caller's prepare step does.
inline std::string ReplaceFailureText(const ReplaceResult& result,
                                      std::string_view prepare = "preparing it") {
    std::string step;
    switch (result.failed) {
        case ReplaceStep::kNone:
            return {};
        case ReplaceStep::kCreate:
            step = "creating a temporary file beside it";
            break;
        case ReplaceStep::kWrite:
            step = "writing";
            break;
        case ReplaceStep::kPrepare:
            step = prepare;
            break;
        case ReplaceStep::kMode:
            step = "setting its mode";
            break;
        case ReplaceStep::kFlush:
            step = "flushing";
            break;
        case ReplaceStep::kRename:
            step = "replacing it";
            break;
    }
#if defined(_WIN32)
    return step + ": " + std::system_category().message(result.error);
#else
    return step + ": " + std::generic_category().message(result.error);
#endif
}

}  // namespace kx
