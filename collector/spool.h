// spool.h: one alerting directory as a queue: which alert files are ready and in what order,
// reading one safely, and what becomes of it afterwards (removed, kept elsewhere, or set aside
// in bad/ with the reason).
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "collector/alert_record.h"
#include "common/fd.h"

namespace kx::collect {

// The library leaves a ".TMP" behind only when it died mid-write or the final name was taken;
// after this long nobody will finish it.
inline constexpr std::int64_t kStaleTempSeconds = 36 * 3600;

struct SpoolScan {
    std::vector<std::string> names;  // the oldest ready files, oldest number first
    std::size_t backlog = 0;         // every ready file seen, listed or not
    std::size_t staleRemoved = 0;    // abandoned ".TMP" files removed by this scan
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

    // Moves the entry to bad/ beside it and writes NAME.why with the line and the reason.
    // Returns false (and logs) when it could not.
    bool Quarantine(const std::string& name, const ParseFailure& failure);

    // After the log engine acknowledged it: removes the file, or moves it into the keep
    // directory. Returns false (and logs) when it could not.
    bool Finish(const std::string& name);

    // Makes the removals and moves so far durable: one sync of the directory.
    void Sync();

    // Age in seconds of a ready file (0 when it is gone).
    std::int64_t AgeOf(const std::string& name) const;

  private:
    std::filesystem::path directory_;
    Fd dir_;
    Fd keep_;
    LogFn log_;
};

// Whether `name` is a ready alert file name ("-"? digits ".ALR"), and its number.
std::optional<std::int64_t> ReadyNumber(std::string_view name);

}  // namespace kx::collect
