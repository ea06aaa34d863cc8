// spool.cpp: scanning, reading and retiring alert files: the rules and the messages, once for
// every system; the file operations themselves are spool_directory.h's.
#include "collector/spool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
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

// A path for a log line; on Windows its wide characters as UTF-8.
std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return LogText(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
}

std::int64_t SteadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Moves without replacing: an earlier file of the same name in the target is never
// overwritten; the newcomer takes NAME.1, NAME.2, ... With `note`, a name whose NAME.why is
// already there is passed over too, so that the note is always a file of its own.
// 0, or the error.
int MoveUnderFreeName(const SpoolDirectory& from, const std::string& name, const SpoolDirectory& to,
                      std::string& target, bool note = false) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        target = attempt == 0 ? name : name + "." + std::to_string(attempt);
        if (note && to.Examine(target + ".why").error == 0) continue;
        const int error = from.MoveWithoutReplacing(name, to, target);
        if (error != EEXIST) return error;
    }
    return EEXIST;
}

// A UTF-8 name as a path.
std::filesystem::path NamePath(const std::string& name) {
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
}

}  // namespace

std::string LogText(std::string_view text) {
    return EscapeControls(ToUtf8(text));
}

std::string Spool::EntryText(const std::string& name) const {
    return PathText(directory_ / NamePath(name));
}

Spool::Spool(std::filesystem::path directory, const std::optional<std::filesystem::path>& keep,
             LogFn log)
    : directory_(std::move(directory)), log_(std::move(log)) {
    if (const int error = SpoolDirectory::Open(directory_, dir_))
        throw SystemError(error, "cannot open the alerting directory " + PathText(directory_));
    if (keep) {
        if (const int error = SpoolDirectory::Open(*keep, keep_))
            throw SystemError(error, "cannot open the keep directory " + PathText(*keep));
        // Files reach it by rename: on another file system (on Windows, another volume) every
        // acknowledged file would stay and be sent again forever.
        if (!dir_.SameVolume(keep_))
            throw std::runtime_error("the keep directory " + PathText(*keep) +
                                     " is not on the file system of " + PathText(directory_));
    }
}

SpoolScan Spool::Scan(std::size_t limit) {
    SpoolScan scan;
    // The `limit` lowest numbers: memory does not grow with the backlog.
    ReadyAlertSelection lowest(limit);
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    const std::int64_t steady = SteadySeconds();
    std::unique_lock heldLock(heldMutex_);
    std::unordered_map<std::string, HeldEntry> stillHeld;
    const int listed = dir_.List([&](std::string_view name) {
        if (ReadyNumber(name)) {
            ++scan.backlog;
            // Held entries take no place in the scan until their delay passed; an acknowledged
            // one is never listed again.
            if (!held_.empty()) {
                const auto held = held_.find(std::string(name));
                bool replaced = false;
                if (held != held_.end() && held->second.reason == HoldReason::Retire) {
                    const SpoolEntry current = dir_.Examine(held->first);
                    replaced = current.error == 0 && current.id != held->second.inode;
                }
                if (held != held_.end() && !replaced) {
                    const bool waiting =
                        held->second.reason == HoldReason::Retire || steady < held->second.retryAt;
                    stillHeld.insert(*held);
                    if (waiting) return;
                }
            }
            lowest.Offer(name);
        } else if (name.ends_with(".TMP")) {
            const SpoolEntry entry = dir_.Examine(std::string(name));
            if (entry.error == 0 && now - entry.mtimeSeconds > kStaleTempSeconds &&
                dir_.Remove(std::string(name)) == 0) {
                ++scan.staleRemoved;
                log_("removed " + EntryText(std::string(name)) +
                     ": an unfinished alert file older than 36 hours");
            }
        }
    });
    if (listed != 0) throw SystemError(listed, "cannot list " + PathText(directory_));
    // What is no longer there is forgotten.
    held_.swap(stillHeld);
    unremembered_ = 0;
    heldLock.unlock();
    scan.names = lowest.Take();
    return scan;
}

LoadedAlert Spool::Load(const std::string& name) {
    LoadedAlert loaded;
    SpoolRead file = dir_.ReadRegular(name, kMaxAlertFileSize);
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
        if (file.error != ENXIO) {
            const SpoolEntry entry = dir_.Examine(name);
            if (entry.error != 0 || entry.type == SpoolEntry::Type::Regular)
                return unreadable(file.error);
        }
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
            0, "the file is larger than 64 KiB (" + std::to_string(file.size) + " bytes)"};
        return loaded;
    }
    loaded.origin = {name, file.mtimeSeconds, file.mtimeNanoseconds};
    if (auto alert = ParseAlertFile(file.bytes, loaded.failure)) {
        loaded.kind = LoadedAlert::Kind::Alert;
        loaded.alert = std::move(*alert);
    } else {
        loaded.kind = LoadedAlert::Kind::Bad;
    }
    return loaded;
}

SpoolDirectory Spool::OpenBad(std::string& why) {
    SpoolDirectory bad;
    if (const int error = dir_.MakeSubdirectory("bad"); error != 0 && error != EEXIST) {
        why = "cannot create bad/: " + Reason(error);
        return bad;
    }
    if (const int error = dir_.OpenSubdirectory("bad", bad)) {
        why = error == ENOTDIR || error == ELOOP
                  ? std::string(
                        "bad/ is not a directory (a file or a link is in its place); "
                        "remove it and the collector makes its own")
                  : "cannot open bad/: " + Reason(error);
        return SpoolDirectory();
    }
    why = bad.Untrusted("bad/");
    return why.empty() ? std::move(bad) : SpoolDirectory();
}

bool Spool::Quarantine(const std::string& name, const ParseFailure& failure) {
    const std::string path = EntryText(name);
    std::string why;
    const SpoolDirectory bad = OpenBad(why);
    std::string target;
    if (bad) {
        if (const int error = MoveUnderFreeName(dir_, name, bad, target, true))
            why = "cannot move it to bad/: " + Reason(error);
    }
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
    if (const int error = bad.WriteNew(noteName, note))
        log_("cannot write " + PathText(directory_ / "bad" / NamePath(noteName)) + ": " +
             Reason(error));
    bad.Sync();
    log_("moved " + path + " to bad/" + target + ": line " + std::to_string(failure.line) + ": " +
         LogText(failure.reason));
    return true;
}

bool Spool::Finish(const std::string& name) {
    const std::string path = EntryText(name);
    std::string why;
    if (keep_) {
        std::string target;
        const int error = MoveUnderFreeName(dir_, name, keep_, target);
        if (error == 0 || error == ENOENT) {
            Release(name);
            return true;
        }
        why = "cannot move " + path + " to the keep directory: " + Reason(error);
    } else {
        const int error = dir_.Remove(name);
        if (error == 0 || error == ENOENT) {
            Release(name);
            return true;
        }
        why = "cannot remove " + path + ": " + Reason(error);
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
                 PathText(directory_) + " are held; further ones are tried again at every scan");
        fullLogged_ = true;
        return;
    }
    const auto [entry, first] = held_.try_emplace(
        name, HeldEntry{reason, SteadySeconds() + kFirstHoldSeconds, kFirstHoldSeconds});
    HeldEntry& held = entry->second;
    if (const SpoolEntry entry = dir_.Examine(name); entry.error == 0) {
        held.inode = entry.id;
        held.mtimeNs = entry.mtimeNs();
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
    const SpoolEntry entry = dir_.Examine(name);
    return entry.error == 0 && entry.id == held.inode && entry.mtimeNs() == held.mtimeNs;
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
    if (keep_) keep_.Sync();
    if (const int error = dir_.Sync())
        log_("cannot sync " + PathText(directory_) + ": " + Reason(error));
}

std::int64_t Spool::AgeOf(const std::string& name) const {
    const SpoolEntry entry = dir_.Examine(name);
    if (entry.error != 0) return 0;
    const std::int64_t age = static_cast<std::int64_t>(std::time(nullptr)) - entry.mtimeSeconds;
    return age > 0 ? age : 0;
}

}  // namespace kx::collect
