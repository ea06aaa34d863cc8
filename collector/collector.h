// collector.h: the alerting service: drains alerting directories into a RELP receiver, removing
// a file only once the receiver acknowledged it, and keeps watching for more.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "collector/relp_sender.h"
#include "collector/spool.h"

namespace kx::collect {

struct CollectorOptions {
    std::vector<std::filesystem::path> directories;
    RelpTarget target;
    bool once = false;
    std::optional<std::filesystem::path> keep;
    std::optional<std::filesystem::path> state;    // holds the lock: one collector per state
    std::optional<std::filesystem::path> metrics;  // Prometheus text file, replaced atomically
    std::size_t batch = kMaxBatch;                 // messages per RELP session
    std::size_t scanLimit = 20000;                 // names held from one directory scan
    int rescanSeconds = 5;                         // for shares where inotify sees nothing
    int maxBackoffSeconds = 30;
};

struct CollectorCounters {
    std::uint64_t collected = 0;     // alert files read and parsed
    std::uint64_t acknowledged = 0;  // messages the receiver acknowledged (files retired)
    std::uint64_t retried = 0;       // messages of failed batches, to be sent again
    std::uint64_t quarantined = 0;   // entries moved to bad/
    std::uint64_t backlog = 0;       // ready files at the last scan
    std::int64_t oldestAgeSeconds = 0;
};

// The Prometheus text exposition of the counters.
std::string FormatMetrics(const CollectorCounters& counters);

class Collector {
  public:
    // Opens every directory; throws std::system_error or std::runtime_error.
    Collector(CollectorOptions options, LogFn log);
    ~Collector();

    // Drains until stopped (or, with `once`, until nothing ready is left or the receiver
    // failed). Returns 0 when every file met was acknowledged or set aside, 1 otherwise.
    int Run(const std::atomic<bool>& stop);

    const CollectorCounters& counters() const { return counters_; }

  private:
    // One pass over every directory: true when all ready files went through.
    bool DrainAll(const std::atomic<bool>& stop);
    // Sends the next batch of `names` from `next` on; false when the receiver did not
    // acknowledge it.
    bool DrainBatch(Spool& spool, const std::vector<std::string>& names, std::size_t& next);
    void WriteMetrics() const;
    void WaitForWork(int seconds, const std::atomic<bool>& stop);

    CollectorOptions options_;
    LogFn log_;
    std::vector<std::unique_ptr<Spool>> spools_;
    RelpSender sender_;
    CollectorCounters counters_;
    Fd inotify_;
    Fd lock_;
};

}  // namespace kx::collect
