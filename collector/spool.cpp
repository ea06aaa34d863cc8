// spool.cpp: scanning, reading and retiring alert files. Every entry is handled relative to the
// directory's descriptor, never through a path that a link could redirect.
#include "collector/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <queue>
#include <stdexcept>
#include <system_error>

namespace kx::collect {

namespace {

std::system_error SystemError(const std::string& what) {
    return std::system_error(errno, std::generic_category(), what);
}

std::string Reason(int error) {
    return std::generic_category().message(error);
}

Fd OpenDirectory(int at, const char* path) {
    return Fd(::openat(at, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// renameat2 with RENAME_NOREPLACE: an earlier file of the same name in the target is never
// overwritten; the newcomer takes NAME.1, NAME.2, ...
bool MoveWithoutReplacing(int fromDir, const std::string& name, int toDir, std::string& target) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        target = attempt == 0 ? name : name + "." + std::to_string(attempt);
        if (::renameat2(fromDir, name.c_str(), toDir, target.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

std::optional<std::int64_t> ReadyNumber(std::string_view name) {
    if (!name.ends_with(".ALR")) return std::nullopt;
    std::string_view digits = name.substr(0, name.size() - 4);
    bool negative = false;
    if (digits.starts_with('-')) {
        negative = true;
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.size() > 12) return std::nullopt;
    std::int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

Spool::Spool(std::filesystem::path directory, const std::optional<std::filesystem::path>& keep,
             LogFn log)
    : directory_(std::move(directory)), log_(std::move(log)) {
    dir_ = OpenDirectory(AT_FDCWD, directory_.c_str());
    if (!dir_) throw SystemError("cannot open the alerting directory " + directory_.string());
    if (keep) {
        keep_ = OpenDirectory(AT_FDCWD, keep->c_str());
        if (!keep_) throw SystemError("cannot open the keep directory " + keep->string());
        // Files reach it by rename: on another file system every acknowledged file would stay
        // and be sent again forever.
        struct stat spool {
        }, kept{};
        if (::fstat(dir_.get(), &spool) != 0 || ::fstat(keep_.get(), &kept) != 0 ||
            spool.st_dev != kept.st_dev)
            throw std::runtime_error("the keep directory " + keep->string() +
                                     " is not on the file system of " + directory_.string());
    }
}

SpoolScan Spool::Scan(std::size_t limit) {
    SpoolScan scan;
    const int listing = ::dup(dir_.get());
    if (listing < 0) throw SystemError("cannot list " + directory_.string());
    DIR* stream = ::fdopendir(listing);
    if (stream == nullptr) {
        ::close(listing);
        throw SystemError("cannot list " + directory_.string());
    }
    ::rewinddir(stream);
    // The `limit` lowest numbers, kept in a max-heap so that memory does not grow with the
    // backlog.
    using Entry = std::pair<std::int64_t, std::string>;
    std::priority_queue<Entry> lowest;
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (const auto number = ReadyNumber(name)) {
            ++scan.backlog;
            if (lowest.size() < limit) {
                lowest.emplace(*number, name);
            } else if (limit > 0 && Entry(*number, name) < lowest.top()) {
                lowest.pop();
                lowest.emplace(*number, name);
            }
        } else if (name.ends_with(".TMP")) {
            struct stat info {};
            if (::fstatat(dir_.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                now - static_cast<std::int64_t>(info.st_mtime) > kStaleTempSeconds) {
                if (::unlinkat(dir_.get(), entry->d_name, 0) == 0) {
                    ++scan.staleRemoved;
                    log_("removed " + (directory_ / entry->d_name).string() +
                         ": an unfinished alert file older than 36 hours");
                }
            }
        }
    }
    ::closedir(stream);
    scan.names.resize(lowest.size());
    for (std::size_t i = lowest.size(); i > 0; --i) {
        scan.names[i - 1] = lowest.top().second;
        lowest.pop();
    }
    return scan;
}

LoadedAlert Spool::Load(const std::string& name) {
    LoadedAlert loaded;
    const Fd file(
        ::openat(dir_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) {
        if (errno == ENOENT) return loaded;  // taken by someone else meanwhile
        if (errno == ELOOP) {
            loaded.kind = LoadedAlert::Kind::Bad;
            loaded.failure = {0, "a symbolic link, not an alert file"};
            return loaded;
        }
        loaded.kind = LoadedAlert::Kind::Unreadable;
        loaded.errorNumber = errno;
        loaded.error = Reason(errno);
        return loaded;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        loaded.kind = LoadedAlert::Kind::Unreadable;
        loaded.errorNumber = errno;
        loaded.error = Reason(errno);
        return loaded;
    }
    if (!S_ISREG(info.st_mode)) {
        loaded.kind = LoadedAlert::Kind::Bad;
        loaded.failure = {0, "not a regular file"};
        return loaded;
    }
    if (static_cast<std::uint64_t>(info.st_size) > kMaxAlertFileSize) {
        loaded.kind = LoadedAlert::Kind::Bad;
        loaded.failure = {
            0, "the file is larger than 64 KiB (" + std::to_string(info.st_size) + " bytes)"};
        return loaded;
    }
    // One byte beyond the size shows a file that grew after the fstat; the bound holds either way.
    std::string content(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t size = 0;
    while (size < content.size()) {
        const ssize_t got = ::read(file.get(), content.data() + size, content.size() - size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            loaded.kind = LoadedAlert::Kind::Unreadable;
            loaded.errorNumber = errno;
            loaded.error = Reason(errno);
            return loaded;
        }
        if (got == 0) break;
        size += static_cast<std::size_t>(got);
    }
    content.resize(size);
    loaded.origin = {name, static_cast<std::int64_t>(info.st_mtim.tv_sec),
                     static_cast<std::int64_t>(info.st_mtim.tv_nsec)};
    if (auto alert = ParseAlert(content, loaded.failure)) {
        loaded.kind = LoadedAlert::Kind::Alert;
        loaded.alert = std::move(*alert);
    } else {
        loaded.kind = LoadedAlert::Kind::Bad;
    }
    return loaded;
}

bool Spool::Quarantine(const std::string& name, const ParseFailure& failure) {
    if (::mkdirat(dir_.get(), "bad", 0750) != 0 && errno != EEXIST) {
        log_("cannot create " + (directory_ / "bad").string() + ": " + Reason(errno));
        return false;
    }
    const Fd bad = OpenDirectory(dir_.get(), "bad");
    std::string target;
    if (!bad || !MoveWithoutReplacing(dir_.get(), name, bad.get(), target)) {
        log_("cannot move " + (directory_ / name).string() + " to bad/: " + Reason(errno));
        return false;
    }
    // Line 0 stands for the entry as a whole (its kind or size), not one of its lines.
    const std::string why = "file: " + name + "\nline: " + std::to_string(failure.line) +
                            (failure.line == 0 ? " (the entry as a whole)" : "") +
                            "\nreason: " + failure.reason + "\n";
    const Fd note(::openat(bad.get(), (target + ".why").c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0640));
    if (!note || !WriteAll(note.get(), why) || ::fsync(note.get()) != 0) {
        log_("cannot write " + (directory_ / "bad" / (target + ".why")).string() + ": " +
             Reason(errno));
    }
    ::fsync(bad.get());
    log_("moved " + (directory_ / name).string() + " to bad/" + target + ": line " +
         std::to_string(failure.line) + ": " + failure.reason);
    return true;
}

bool Spool::Finish(const std::string& name) {
    if (keep_) {
        std::string target;
        if (MoveWithoutReplacing(dir_.get(), name, keep_.get(), target)) return true;
        log_("cannot move " + (directory_ / name).string() +
             " to the keep directory: " + Reason(errno));
        return false;
    }
    if (::unlinkat(dir_.get(), name.c_str(), 0) == 0 || errno == ENOENT) return true;
    log_("cannot remove " + (directory_ / name).string() + ": " + Reason(errno));
    return false;
}

void Spool::Sync() {
    if (keep_) ::fsync(keep_.get());
    if (::fsync(dir_.get()) != 0) log_("cannot sync " + directory_.string() + ": " + Reason(errno));
}

std::int64_t Spool::AgeOf(const std::string& name) const {
    struct stat info {};
    if (::fstatat(dir_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    const std::int64_t age = static_cast<std::int64_t>(std::time(nullptr)) - info.st_mtime;
    return age > 0 ? age : 0;
}

}  // namespace kx::collect
