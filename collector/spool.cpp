// spool.cpp: scanning, reading and retiring alert files. Every entry is handled relative to the
// directory's descriptor, never through a path that a link could redirect.
#include "collector/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "common/utf8.h"

namespace kx::collect {

namespace {

std::system_error SystemError(int error, const std::string& what) {
    return std::system_error(error, std::generic_category(), what);
}

std::string Reason(int error) {
    return std::generic_category().message(error);
}

Fd OpenDirectory(int at, const char* path) {
    return Fd(::openat(at, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::int64_t SteadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

// Moves without replacing: an earlier file of the same name in the target is never
// overwritten; the newcomer takes NAME.1, NAME.2, ... With `note`, a name whose NAME.why is
// already there is passed over too, so that the note is always a file of its own.
bool MoveUnderFreeName(int fromDir, const std::string& name, int toDir, std::string& target,
                       bool note = false) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        target = attempt == 0 ? name : name + "." + std::to_string(attempt);
        struct stat existing {};
        if (note &&
            ::fstatat(toDir, (target + ".why").c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
            continue;
        if (MoveWithoutReplacing(fromDir, name.c_str(), toDir, target.c_str()) == 0) return true;
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

}  // namespace

std::string LogText(std::string_view text) {
    return EscapeControls(ToUtf8(text));
}

Spool::Spool(std::filesystem::path directory, const std::optional<std::filesystem::path>& keep,
             LogFn log)
    : directory_(std::move(directory)), log_(std::move(log)) {
    dir_ = OpenDirectory(AT_FDCWD, directory_.c_str());
    if (!dir_) {
        const int error = errno;
        throw SystemError(error,
                          "cannot open the alerting directory " + LogText(directory_.string()));
    }
    if (keep) {
        keep_ = OpenDirectory(AT_FDCWD, keep->c_str());
        if (!keep_) {
            const int error = errno;
            throw SystemError(error, "cannot open the keep directory " + LogText(keep->string()));
        }
        // Files reach it by rename: on another file system every acknowledged file would stay
        // and be sent again forever.
        struct stat spool {
        }, kept{};
        if (::fstat(dir_.get(), &spool) != 0 || ::fstat(keep_.get(), &kept) != 0 ||
            spool.st_dev != kept.st_dev)
            throw std::runtime_error("the keep directory " + LogText(keep->string()) +
                                     " is not on the file system of " +
                                     LogText(directory_.string()));
    }
}

SpoolScan Spool::Scan(std::size_t limit) {
    SpoolScan scan;
    const int listing = ::dup(dir_.get());
    if (listing < 0) {
        const int error = errno;
        throw SystemError(error, "cannot list " + LogText(directory_.string()));
    }
    DIR* stream = ::fdopendir(listing);
    if (stream == nullptr) {
        const int error = errno;
        ::close(listing);
        throw SystemError(error, "cannot list " + LogText(directory_.string()));
    }
    ::rewinddir(stream);
    // The `limit` lowest numbers: memory does not grow with the backlog.
    ReadyAlertSelection lowest(limit);
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    const std::int64_t steady = SteadySeconds();
    std::unique_lock heldLock(heldMutex_);
    std::unordered_map<std::string, HeldEntry> stillHeld;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (ReadyNumber(name)) {
            ++scan.backlog;
            // Held entries take no place in the scan until their delay passed; an acknowledged
            // one is never listed again.
            if (!held_.empty()) {
                const auto held = held_.find(std::string(name));
                const bool replaced = held != held_.end() &&
                                      held->second.reason == HoldReason::Retire &&
                                      entry->d_ino != held->second.inode;
                if (held != held_.end() && !replaced) {
                    const bool waiting =
                        held->second.reason == HoldReason::Retire || steady < held->second.retryAt;
                    stillHeld.insert(*held);
                    if (waiting) continue;
                }
            }
            lowest.Offer(name);
        } else if (name.ends_with(".TMP")) {
            struct stat info {};
            if (::fstatat(dir_.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                now - static_cast<std::int64_t>(info.st_mtime) > kStaleTempSeconds) {
                if (::unlinkat(dir_.get(), entry->d_name, 0) == 0) {
                    ++scan.staleRemoved;
                    log_("removed " + LogText((directory_ / entry->d_name).string()) +
                         ": an unfinished alert file older than 36 hours");
                }
            }
        }
    }
    ::closedir(stream);
    // What is no longer there is forgotten.
    held_.swap(stillHeld);
    unremembered_ = 0;
    heldLock.unlock();
    scan.names = lowest.Take();
    return scan;
}

LoadedAlert Spool::Load(const std::string& name) {
    LoadedAlert loaded;
    FileContent file = ReadRegularFile(dir_.get(), name.c_str(), kMaxAlertFileSize);
    const auto unreadable = [&](int error) {
        loaded.kind = LoadedAlert::Kind::Unreadable;
        loaded.errorNumber = error;
        loaded.error = Reason(error);
        return loaded;
    };
    if (file.error != 0 && !file.regular) {
        if (file.error == ENOENT) return loaded;  // taken by someone else meanwhile
        if (file.error == ELOOP) {
            loaded.kind = LoadedAlert::Kind::Bad;
            loaded.failure = {0, "a symbolic link, not an alert file"};
            return loaded;
        }
        // A directory or socket the collector may not open is still no alert file; a regular
        // file it may not read is an alert all the same, waiting for the collector's setup.
        struct stat entry {};
        if (file.error != ENXIO &&
            (::fstatat(dir_.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
             S_ISREG(entry.st_mode)))
            return unreadable(file.error);
        file.error = 0;
    }
    if (file.error != 0) return unreadable(file.error);
    if (!file.regular) {
        loaded.kind = LoadedAlert::Kind::Bad;
        loaded.failure = {0, "not a regular file"};
        return loaded;
    }
    if (file.tooLarge) {
        loaded.kind = LoadedAlert::Kind::Bad;
        loaded.failure = {
            0, "the file is larger than 64 KiB (" + std::to_string(file.info.st_size) + " bytes)"};
        return loaded;
    }
    loaded.origin = {name, static_cast<std::int64_t>(file.info.st_mtim.tv_sec),
                     static_cast<std::int64_t>(file.info.st_mtim.tv_nsec)};
    if (auto alert = ParseAlertFile(file.bytes, loaded.failure)) {
        loaded.kind = LoadedAlert::Kind::Alert;
        loaded.alert = std::move(*alert);
    } else {
        loaded.kind = LoadedAlert::Kind::Bad;
    }
    return loaded;
}

Fd Spool::OpenBad(std::string& why) {
    if (::mkdirat(dir_.get(), "bad", 0750) != 0 && errno != EEXIST) {
        why = "cannot create bad/: " + Reason(errno);
        return Fd();
    }
    Fd bad = OpenDirectory(dir_.get(), "bad");
    if (!bad) {
        why = errno == ENOTDIR || errno == ELOOP
                  ? std::string(
                        "bad/ is not a directory (a file or a link is in its place); "
                        "remove it and the collector makes its own")
                  : "cannot open bad/: " + Reason(errno);
        return Fd();
    }
    struct stat info {};
    if (::fstat(bad.get(), &info) != 0) {
        why = "cannot examine bad/: " + Reason(errno);
        return Fd();
    }
    if (info.st_uid != ::geteuid()) {
        why = "bad/ belongs to uid " + std::to_string(info.st_uid) +
              ", not to the collector's user (uid " + std::to_string(::geteuid()) +
              "); it is not used: remove it and the collector makes its own";
        return Fd();
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "bad/ may be written by others than the collector's user (mode " +
              Octal(info.st_mode) + "); it is not used: chmod go-w it";
        return Fd();
    }
    return bad;
}

bool Spool::Quarantine(const std::string& name, const ParseFailure& failure) {
    const std::string path = LogText((directory_ / name).string());
    std::string why;
    const Fd bad = OpenBad(why);
    std::string target;
    if (bad && !MoveUnderFreeName(dir_.get(), name, bad.get(), target, true))
        why = "cannot move it to bad/: " + Reason(errno);
    if (!why.empty()) {
        Hold(name, HoldReason::SetAside,
             "left " + path + " in place: " + why + " (not an alert file: line " +
                 std::to_string(failure.line) + ": " + LogText(failure.reason) + ")");
        return false;
    }
    Release(name);
    // Line 0 stands for the entry as a whole (its kind or size), not one of its lines.
    const std::string note = "file: " + name + "\nline: " + std::to_string(failure.line) +
                             (failure.line == 0 ? " (the entry as a whole)" : "") +
                             "\nreason: " + failure.reason + "\n";
    const std::string noteName = target + ".why";
    const Fd file = CreateExclusive(bad.get(), noteName.c_str(), 0640);
    int error = file ? WriteAll(file.get(), note) : errno;
    if (error == 0 && ::fsync(file.get()) != 0) error = errno;
    if (error != 0) {
        log_("cannot write " + LogText((directory_ / "bad" / noteName).string()) + ": " +
             Reason(error));
    }
    ::fsync(bad.get());
    log_("moved " + path + " to bad/" + target + ": line " + std::to_string(failure.line) + ": " +
         LogText(failure.reason));
    return true;
}

bool Spool::Finish(const std::string& name) {
    const std::string path = LogText((directory_ / name).string());
    std::string why;
    if (keep_) {
        std::string target;
        if (MoveUnderFreeName(dir_.get(), name, keep_.get(), target) || errno == ENOENT) {
            Release(name);
            return true;
        }
        why = "cannot move " + path + " to the keep directory: " + Reason(errno);
    } else {
        if (::unlinkat(dir_.get(), name.c_str(), 0) == 0 || errno == ENOENT) {
            Release(name);
            return true;
        }
        why = "cannot remove " + path + ": " + Reason(errno);
    }
    Hold(name, HoldReason::Retire,
         why + "; it was acknowledged and is not sent again by this collector");
    return false;
}

void Spool::Hold(const std::string& name, HoldReason reason, const std::string& why) {
    const std::lock_guard lock(heldMutex_);
    if (held_.size() >= kMaxHeldEntries && held_.find(name) == held_.end()) {
        ++unremembered_;
        log_(why);
        if (!fullLogged_)
            log_("more than " + std::to_string(kMaxHeldEntries) + " entries of " +
                 LogText(directory_.string()) +
                 " are held; further ones are tried again at every scan");
        fullLogged_ = true;
        return;
    }
    const auto [entry, first] = held_.try_emplace(
        name, HeldEntry{reason, SteadySeconds() + kFirstHoldSeconds, kFirstHoldSeconds});
    HeldEntry& held = entry->second;
    struct stat info {};
    if (::fstatat(dir_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        held.inode = info.st_ino;
        held.mtimeNs =
            static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    }
    if (first) {
        log_(why + "; trying again in " + std::to_string(kFirstHoldSeconds) + " s");
        return;
    }
    // An entry once acknowledged stays one: it is never to be sent again.
    if (held.reason != HoldReason::Retire) held.reason = reason;
    held.delay = std::min(held.delay * 2, kMaxHoldSeconds);
    held.retryAt = SteadySeconds() + held.delay;
}

bool Spool::Release(const std::string& name) {
    const std::lock_guard lock(heldMutex_);
    return held_.erase(name) != 0;
}

std::size_t Spool::RetryRetirements() {
    std::vector<std::string> due;
    {
        const std::lock_guard lock(heldMutex_);
        const std::int64_t now = SteadySeconds();
        for (auto held = held_.begin(); held != held_.end();) {
            if (held->second.reason != HoldReason::Retire || now < held->second.retryAt) {
                ++held;
            } else if (!SameFile(held->first, held->second)) {
                held = held_.erase(held);  // a new file under that name: listed and sent
            } else {
                due.push_back(held->first);
                ++held;
            }
        }
    }
    std::size_t retired = 0;
    for (const std::string& name : due) retired += Finish(name) ? 1 : 0;
    if (retired != 0) Sync();
    return retired;
}

bool Spool::SameFile(const std::string& name, const HeldEntry& held) const {
    struct stat info {};
    return ::fstatat(dir_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           info.st_ino == held.inode &&
           static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec ==
               held.mtimeNs;
}

std::size_t Spool::HeldSize() const {
    const std::lock_guard lock(heldMutex_);
    return held_.size();
}

HeldCounts Spool::Held() const {
    HeldCounts counts;
    const std::lock_guard lock(heldMutex_);
    counts.held = unremembered_;
    for (const auto& [name, held] : held_) {
        ++counts.held;
        if (held.reason == HoldReason::Unreadable) ++counts.unreadable;
        counts.oldestAgeSeconds = std::max(counts.oldestAgeSeconds, AgeOf(name));
    }
    return counts;
}

void Spool::Sync() {
    if (keep_) ::fsync(keep_.get());
    if (::fsync(dir_.get()) != 0)
        log_("cannot sync " + LogText(directory_.string()) + ": " + Reason(errno));
}

std::int64_t Spool::AgeOf(const std::string& name) const {
    struct stat info {};
    if (::fstatat(dir_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    const std::int64_t age = static_cast<std::int64_t>(std::time(nullptr)) - info.st_mtime;
    return age > 0 ? age : 0;
}

}  // namespace kx::collect
