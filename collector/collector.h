// collector.h: the alerting service: drains alerting directories into a sink (a RELP receiver,
// or the Windows event log), removing a file only once the sink acknowledged it, and keeps
// watching for more.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "collector/relp_sender.h"
#include "collector/sink.h"
#include "collector/spool.h"

namespace kx::collect {

// How far a drain got, for a progress display.
struct CollectProgress {
    std::uint64_t sent = 0;     // alert files acknowledged so far
    std::uint64_t waiting = 0;  // of how many: those sent and those still waiting
    double perSecond = 0;       // acknowledgements per second since the start
    double seconds = 0;         // since the start
    bool done = false;          // the last call, once the drain ended
};
using ProgressFn = std::function<void(const CollectProgress&)>;

struct CollectorOptions {
    std::vector<std::filesystem::path> directories;
    RelpTarget target;
    // Further receivers, in order: the collector sends to the first receiver that answers,
    // fails over to the next when a session fails, and returns to the first once it answers
    // again. Their TLS settings are the target's.
    std::vector<RelpTarget> alternates;
    bool verbose = false;  // a log line per session and per acknowledged file
    ProgressFn progress;   // called at most four times a second while draining, and at the end
    bool once = false;
    std::optional<std::filesystem::path> keep;
    std::optional<std::filesystem::path> state;    // holds the lock: one collector per state
    std::optional<std::filesystem::path> metrics;  // Prometheus text file, replaced atomically
    std::size_t batch = 500;                       // retired files per directory sync
    std::size_t scanLimit = 20000;                 // names held from one directory scan
    int rescanSeconds = 5;                         // for shares where inotify sees nothing
    int maxBackoffSeconds = 30;
    // Of the structured-data id, "kxalert@N": FwdSyslog's setting, read by the command.
    std::uint32_t enterpriseNumber = kSyslogDefaultEnterprise;
};

struct CollectorCounters {
    std::uint64_t collected = 0;     // alert files read and parsed
    std::uint64_t acknowledged = 0;  // messages the receiver acknowledged (files retired)
    std::uint64_t retried = 0;       // messages sent without acknowledgement, to be sent again
    std::uint64_t quarantined = 0;   // entries moved to bad/
    std::uint64_t backlog = 0;       // ready files at the last scan, or held back after it
    std::int64_t oldestAgeSeconds = 0;
    std::uint64_t held = 0;                // entries left in place after a drain (Spool::Hold)
    std::uint64_t unreadable = 0;          // of which the collector's user may not read
    std::int64_t lastDeliverySeconds = 0;  // Unix time of the last acknowledgement; 0: none yet
};

// The Prometheus text exposition of the counters.
std::string FormatMetrics(const CollectorCounters& counters);
// The receivers by their URL, in --to order, the one in use (if any) with the value 1.
std::string FormatReceiverMetrics(const std::vector<std::string>& urls,
                                  std::optional<std::size_t> inUse);

// Throws std::runtime_error, saying what to do, when the metrics file cannot be written.
void CheckMetricsFile(const std::filesystem::path& file);

// Removes (or keeps) acknowledged files on a thread of its own, a directory sync for every
// `batch` files: a removal waits on the disk, and meanwhile the next files are read and sent.
class Retirer {
  public:
    explicit Retirer(std::size_t batch);
    ~Retirer();
    Retirer(const Retirer&) = delete;
    Retirer& operator=(const Retirer&) = delete;

    void Add(Spool& spool, std::string name);
    // Returns once every file added is gone and its directory synced.
    void Flush();

  private:
    void Run();

    const std::size_t batch_;
    std::mutex mutex_;
    std::condition_variable work_, done_;
    std::deque<std::pair<Spool*, std::string>> queue_;
    bool busy_ = false;
    bool flush_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// The RELP receivers of options.target and options.alternates, their TLS files checked (Linux;
// throws std::runtime_error saying what to do).
std::vector<std::unique_ptr<AlertSink>> RelpSinks(const CollectorOptions& options);
// The Windows event log, source KX_EVENT_SOURCE_ALERTS (Windows).
std::unique_ptr<AlertSink> MakeEventLogSink();

class StateLock;   // collector_system.h
class SpoolWatch;  // collector_system.h

class Collector {
  public:
    // Opens every directory; throws std::system_error or std::runtime_error. The alerts go to
    // `sinks`, the first preferred, the others failed over to.
    Collector(CollectorOptions options, std::vector<std::unique_ptr<AlertSink>> sinks, LogFn log);
    // The same with the RELP receivers of options.target and options.alternates (Linux).
    Collector(CollectorOptions options, LogFn log);
    ~Collector();

    // Drains until stopped (or, with `once`, until nothing ready is left or the receiver
    // failed). Returns 0 when every file met was acknowledged or set aside, 1 otherwise (with
    // `once`, also when entries were held back: unreadable, or impossible to set aside or to
    // retire).
    int Run(const std::atomic<bool>& stop);

    const CollectorCounters& counters() const { return counters_; }
    // The receiver in use: that of the open session or of the last sound one.
    std::optional<std::size_t> receiverInUse() const { return inUse_; }

  private:
    // A message sent and not yet answered, and the file it came from.
    struct InFlight {
        Spool* spool;
        std::string name;
        int txnr;
        std::size_t bytes;
        std::string alertId = {};  // with verbose only
    };
    // One --to receiver, and when it may be tried again after its sessions failed.
    struct Receiver {
        std::unique_ptr<AlertSink> sender;
        std::string url;
        int backoff = 1;  // seconds before the next attempt, after the next failure
        std::chrono::steady_clock::time_point retryAt{};
    };

    // One pass over every directory: true when all ready files went through.
    bool DrainAll(const std::atomic<bool>& stop);
    // Reads one ready file and sends it, or sets it aside; false when the session failed.
    bool Take(Spool& spool, const std::string& name);
    // Hands the files whose messages were answered, oldest first, to the retirer.
    void Retire();
    // Closes the session, which reads every reply due, and retires what was answered; false
    // when anything in flight went unanswered.
    bool Settle();
    // After a failed session: what was in flight stays to be sent again.
    void GiveUp();
    // Counts what is held back (after a drain, what still waits); returns the oldest one's age.
    std::int64_t CountHeld();
    void WriteMetrics() const;
    void WaitForWork(int seconds, const std::atomic<bool>& stop);
    // The session of the current receiver; OpenSession picks the first receiver due that
    // answers, false when none did.
    AlertSink& sender() { return *receivers_[current_].sender; }
    bool OpenSession();
    // Logs the failure of the current receiver's session and sets its next attempt.
    void NoteFailure(std::size_t receiver);
    // Whether a receiver may be tried now; the seconds until one may.
    bool ReceiverDue() const;
    int SecondsUntilDue() const;
    void AnnounceStart() const;
    void AnnounceEnd() const;
    void ReportProgress(bool done);

    CollectorOptions options_;
    LogFn log_;
    std::vector<std::unique_ptr<Spool>> spools_;
    std::vector<Receiver> receivers_;
    std::size_t current_ = 0;
    std::optional<std::size_t> inUse_;
    std::optional<std::size_t> lastAcknowledged_;  // receiver of the last acknowledgement
    std::uint64_t failures_ =
        0;  // sessions that interrupted delivery since the last acknowledgement
    std::uint64_t sessionAcknowledged_ = 0;
    std::chrono::steady_clock::time_point started_{}, lastProgress_{};
    std::uint64_t progressWaiting_ = 0;
    std::deque<InFlight> inFlight_;
    std::unordered_set<int> answered_;  // positive replies not yet at the front of inFlight_
    std::size_t inFlightBytes_ = 0;
    std::size_t sinceMetrics_ = 0;
    CollectorCounters counters_;
    std::unique_ptr<SpoolWatch> watch_;
    std::unique_ptr<StateLock> lock_;
    // Last, so that it finishes its removals while the spools still exist.
    std::unique_ptr<Retirer> retirer_;
    // Why the metrics file could not be written last time, so that it is said once, not at
    // every pass.
    mutable std::string metricsFailure_;
};

}  // namespace kx::collect
