// spool.h: one alerting directory as a queue: which alert files are ready and in what order,
// reading one safely, and what becomes of it afterwards (removed, kept elsewhere, or set aside
// in bad/ with the reason).
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "collector/alert_record.h"
#include "collector/spool_directory.h"
#include "common/fd.h"

namespace kx::collect {

// The library leaves a ".TMP" behind only when it died mid-write or the final name was taken;
// after this long nobody will finish it.
inline constexpr std::int64_t kStaleTempSeconds = 36 * 3600;

// An entry held back after it could not be set aside, retired or read: tried again only after
// its delay, which doubles from 30 s up to an hour.
inline constexpr int kFirstHoldSeconds = 30;
inline constexpr int kMaxHoldSeconds = 3600;
// Memory stays bounded whatever an attacker plants: beyond this many, further entries are not
// remembered (they are tried, and logged, at every scan) but still counted as held.
inline constexpr std::size_t kMaxHeldEntries = 100000;

struct SpoolScan {
    std::vector<std::string> names;  // the oldest ready files, oldest number first
    std::size_t backlog = 0;         // every ready file seen, listed or not (held ones too)
    std::size_t staleRemoved = 0;    // abandoned ".TMP" files removed by this scan
};

// Why an entry stays where it is.
enum class HoldReason {
    SetAside,    // not an alert file, and bad/ could not take it
    Retire,      // acknowledged, but could be neither removed nor kept: never sent again
    Unreadable,  // the collector may not read it (its own setup): the file is left as it is
    Failed,      // reading it failed otherwise
};

struct HeldCounts {
    std::size_t held = 0;        // entries left in place, of every reason
    std::size_t unreadable = 0;  // of which the collector may not read
    std::int64_t oldestAgeSeconds = 0;
};

// What reading one ready file gave.
struct LoadedAlert {
    enum class Kind { Alert, Bad, Gone, Unreadable } kind = Kind::Gone;
    Alert alert;
    AlertOrigin origin;
    ParseFailure failure;  // for Bad
    std::string error;     // for Unreadable
    int errorNumber = 0;   // for Unreadable
};

using LogFn = std::function<void(const std::string&)>;

class Spool {
  public:
    // Opens the directory (and `keep`, where acknowledged files go instead of being removed);
    // throws std::system_error when it cannot.
    Spool(std::filesystem::path directory, const std::optional<std::filesystem::path>& keep,
          LogFn log);

    const std::filesystem::path& directory() const { return directory_; }

    // Lists at most `limit` ready ("NUMBER.ALR") files, lowest number first, holding no more
    // than `limit` names whatever the backlog; removes ".TMP" files older than 36 hours.
    SpoolScan Scan(std::size_t limit);

    // Opens without following a link and without blocking on a FIFO, and reads a regular file
    // of at most 64 KiB.
    LoadedAlert Load(const std::string& name);

    // Moves the entry to bad/ beside it and writes NAME.why with the line and the reason. When
    // it cannot (bad/ is not a directory of the collector's own user, or the entry cannot be
    // moved), the entry is held back and false returned.
    bool Quarantine(const std::string& name, const ParseFailure& failure);

    // After the log engine acknowledged it: removes the file, or moves it into the keep
    // directory. When it cannot, the entry is held back (it is not listed again, so never sent
    // twice by this process) and false returned.
    bool Finish(const std::string& name);

    // Holds `name` back: not listed by Scan until its delay passed (a Retire entry is instead
    // retired again by RetryRetirements). Logs `why` the first time only; later failures of
    // the same entry double its delay in silence.
    void Hold(const std::string& name, HoldReason reason, const std::string& why);

    // Retires again the acknowledged entries whose delay passed; returns how many went.
    std::size_t RetryRetirements();

    // The entries held back now (those gone from the directory are forgotten at each scan).
    HeldCounts Held() const;
    // How many held entries are remembered (it grows only up to kMaxHeldEntries, so a drain
    // that goes on while it grows ends).
    std::size_t HeldSize() const;

    // Makes the removals and moves so far durable: one sync of the directory.
    void Sync();

    // Age in seconds of a ready file (0 when it is gone).
    std::int64_t AgeOf(const std::string& name) const;

  private:
    struct HeldEntry {
        HoldReason reason;
        std::int64_t retryAt;  // steady-clock seconds
        int delay;
        // The file held: another file under the same name later is a new alert, never one to
        // retire unsent. The inode, or on Windows the file index.
        std::uint64_t inode = 0;
        std::int64_t mtimeNs = 0;
    };
    bool SameFile(const std::string& name, const HeldEntry& held) const;
    // bad/, made when missing; refused (an invalid directory, with the reason in `why`) unless
    // it is a real directory that only the collector's user may write.
    SpoolDirectory OpenBad(std::string& why);
    // directory/name, for a log line.
    std::string EntryText(const std::string& name) const;
    bool Release(const std::string& name);  // true when it was held

    std::filesystem::path directory_;
    SpoolDirectory dir_;
    SpoolDirectory keep_;
    LogFn log_;
    mutable std::mutex heldMutex_;  // Finish runs on the retirer's thread
    std::unordered_map<std::string, HeldEntry> held_;
    std::size_t unremembered_ = 0;  // held beyond kMaxHeldEntries since the last scan
    bool fullLogged_ = false;
};

#if !defined(_WIN32)
// Creates `name` in the directory `dir` for writing, exclusively (fd.h).
using kx::CreateExclusive;
#endif

// `text` for a log line: as UTF-8, with control characters escaped, so that a file name can
// never start a line of its own in the journal.
std::string LogText(std::string_view text);

// Whether `name` is a ready alert file name ("-"? digits ".ALR"), and its number.
using kx::ReadyNumber;

}  // namespace kx::collect
