// collector.cpp: the drain loop. A file leaves the alerting directory only after the sink
// acknowledged its alert, so a collector killed at any point loses nothing: what was in
// flight is sent again at the next start, under the same alertId.
#include "collector/collector.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <system_error>
#include <thread>

#include "collector/collector_system.h"

namespace kx::collect {

namespace {

// Bytes of messages in flight, whatever the files' sizes: librelp holds a copy of each until its
// reply, so the window alone would let 1,024 messages of 64 KiB take 64 MiB.
constexpr std::size_t kMaxInFlightBytes = 4 * 1024 * 1024;

void Metric(std::string& out, const char* name, const char* type, const char* help,
            const std::string& value) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
           name + " " + value + "\n";
}

// Sleeps up to `seconds`, waking early when asked to stop; short slices keep a stop prompt
// without spinning.
void SleepUnlessStopped(int seconds, const std::atomic<bool>& stop) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stop && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

}  // namespace

std::string FormatMetrics(const CollectorCounters& counters) {
    std::string out;
    Metric(out, "kxevent_collect_collected_total", "counter",
           "Alert files read and sent (again when they are retried).",
           std::to_string(counters.collected));
    Metric(out, "kxevent_collect_acknowledged_total", "counter",
           "Alerts the receiver acknowledged; their files were retired.",
           std::to_string(counters.acknowledged));
    Metric(out, "kxevent_collect_retried_total", "counter",
           "Alerts sent without a positive reply; their files stay to be sent again.",
           std::to_string(counters.retried));
    Metric(out, "kxevent_collect_quarantined_total", "counter",
           "Entries that were not alert files, moved to bad/.",
           std::to_string(counters.quarantined));
    Metric(out, "kxevent_collect_backlog", "gauge", "Alert files waiting to be sent.",
           std::to_string(counters.backlog));
    Metric(out, "kxevent_collect_oldest_alert_age_seconds", "gauge",
           "Age of the oldest alert file waiting.", std::to_string(counters.oldestAgeSeconds));
    Metric(out, "kxevent_collect_held", "gauge",
           "Entries left in place and tried again later: unreadable, or impossible to set aside "
           "in bad/ or to retire after their acknowledgement.",
           std::to_string(counters.held));
    Metric(out, "kxevent_collect_unreadable", "gauge",
           "Alert files the collector's user may not read; they stay where they are.",
           std::to_string(counters.unreadable));
    Metric(out, "kxevent_collect_last_delivery_timestamp_seconds", "gauge",
           "Unix time of the last alert the receiver acknowledged (0: none since the start).",
           std::to_string(counters.lastDeliverySeconds));
    return out;
}

std::string FormatReceiverMetrics(const std::vector<std::string>& urls,
                                  std::optional<std::size_t> inUse) {
    constexpr char kName[] = "kxevent_collect_receiver_in_use";
    std::string out = std::string("# HELP ") + kName +
                      " 1 for the receiver alerts go to (its session is open or its last one was "
                      "sound), 0 for the others; the first --to is preferred.\n# TYPE " +
                      kName + " gauge\n";
    for (std::size_t i = 0; i < urls.size(); ++i) {
        std::string label;
        for (const char c : urls[i]) {
            if (c == '\\' || c == '"') label += '\\';
            if (c == '\n') {
                label += "\\n";
                continue;
            }
            label += c;
        }
        out +=
            std::string(kName) + "{receiver=\"" + label + "\"} " + (inUse == i ? "1" : "0") + "\n";
    }
    return out;
}

Retirer::Retirer(std::size_t batch) : batch_(batch), thread_([this] { Run(); }) {}

Retirer::~Retirer() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    work_.notify_one();
    thread_.join();
}

void Retirer::Add(Spool& spool, std::string name) {
    {
        const std::lock_guard lock(mutex_);
        queue_.emplace_back(&spool, std::move(name));
    }
    work_.notify_one();
}

void Retirer::Flush() {
    std::unique_lock lock(mutex_);
    flush_ = true;
    work_.notify_one();
    done_.wait(lock, [this] { return queue_.empty() && !busy_ && !flush_; });
}

void Retirer::Run() {
    std::vector<Spool*> unsynced;
    std::size_t sinceSync = 0;
    std::unique_lock lock(mutex_);
    while (true) {
        work_.wait(lock, [this] { return stop_ || flush_ || !queue_.empty(); });
        std::deque<std::pair<Spool*, std::string>> taken;
        taken.swap(queue_);
        const bool flush = flush_ || stop_;
        busy_ = true;
        lock.unlock();
        for (const auto& [spool, name] : taken) {
            spool->Finish(name);
            if (std::find(unsynced.begin(), unsynced.end(), spool) == unsynced.end())
                unsynced.push_back(spool);
            ++sinceSync;
        }
        if (sinceSync >= batch_ || (flush && sinceSync > 0)) {
            for (Spool* spool : unsynced) spool->Sync();
            unsynced.clear();
            sinceSync = 0;
        }
        lock.lock();
        busy_ = false;
        if (flush && queue_.empty()) {
            flush_ = false;
            done_.notify_all();
        }
        if (stop_ && queue_.empty()) return;
    }
}

Collector::Collector(CollectorOptions options, std::vector<std::unique_ptr<AlertSink>> sinks,
                     LogFn log)
    : options_(std::move(options)) {
    if (options_.metrics) CheckMetricsFile(*options_.metrics);
    if (sinks.empty()) throw std::runtime_error("no receiver to send the alerts to");
    for (std::unique_ptr<AlertSink>& sink : sinks) {
        const std::string name = sink->name();
        receivers_.push_back({std::move(sink), name});
    }
    // The retirer logs from its own thread.
    log_ = [mutex = std::make_shared<std::mutex>(), log = std::move(log)](const std::string& line) {
        const std::lock_guard lock(*mutex);
        log(line);
    };
    if (options_.directories.empty()) throw std::runtime_error("no alerting directory");
    options_.batch = std::max<std::size_t>(options_.batch, 1);
    options_.scanLimit = std::max<std::size_t>(options_.scanLimit, 1);
    if (options_.state) lock_ = std::make_unique<StateLock>(*options_.state);
    for (const std::filesystem::path& directory : options_.directories)
        spools_.push_back(std::make_unique<Spool>(directory, options_.keep, log_));
    retirer_ = std::make_unique<Retirer>(options_.batch);
    if (!options_.once)
        watch_ = std::make_unique<SpoolWatch>(options_.directories, options_.rescanSeconds, log_);
}

Collector::~Collector() = default;

int Collector::Run(const std::atomic<bool>& stop) {
    AnnounceStart();
    started_ = lastProgress_ = std::chrono::steady_clock::now();
    while (!stop) {
        const bool drained = DrainAll(stop);
        // A drain cut short by a stop is no failed session: nothing to retry, nothing to say.
        if (stop && !options_.once) break;
        WriteMetrics();
        // A failed session fails over at once to the next receiver that may be tried.
        if (!drained && !stop && ReceiverDue()) continue;
        if (options_.once) {
            ReportProgress(true);
            if (drained && counters_.held != 0)
                log_(std::to_string(counters_.held) +
                     " entries were left in place; see the lines above");
            if (drained && counters_.held == 0) AnnounceEnd();
            return drained && counters_.held == 0 ? 0 : 1;
        }
        if (drained) {
            receivers_[current_].backoff = 1;
            WaitForWork(options_.rescanSeconds, stop);
        } else {
            const int wait = SecondsUntilDue();
            log_((receivers_.size() == 1 ? std::string("the receiver did not acknowledge")
                                         : "no receiver acknowledged") +
                 "; trying again in " + std::to_string(wait) + " s");
            SleepUnlessStopped(wait, stop);
        }
    }
    WriteMetrics();
    return 0;
}

void Collector::AnnounceStart() const {
    std::string directories;
    for (const auto& spool : spools_)
        directories += (directories.empty() ? "" : ", ") + LogText(spool->directory().string());
    std::string to = LogText(receivers_.front().url);
    for (std::size_t i = 1; i < receivers_.size(); ++i)
        to += (i == 1 ? " (failing over to " : ", then ") + LogText(receivers_[i].url);
    if (receivers_.size() > 1) to += ")";
    const std::string settings = receivers_.front().sender->Settings();
    log_((options_.once ? "sending the alert files of " : "collecting ") + directories +
         (options_.once ? " to " : " into ") + to + (settings.empty() ? "" : " " + settings) +
         (options_.once ? "; exiting once they are acknowledged" : "; watching for new ones"));
}

void Collector::AnnounceEnd() const {
    log_("done: " + std::to_string(counters_.acknowledged) + " alert files acknowledged" +
         (inUse_ ? " by " + LogText(receivers_[*inUse_].url) : std::string()) + ", " +
         std::to_string(counters_.quarantined) + " set aside in bad/; none left");
}

void Collector::ReportProgress(bool done) {
    if (!options_.progress) return;
    const auto now = std::chrono::steady_clock::now();
    if (!done && now - lastProgress_ < std::chrono::milliseconds(250)) return;
    lastProgress_ = now;
    CollectProgress progress;
    progress.sent = counters_.acknowledged;
    progressWaiting_ = std::max(progressWaiting_, counters_.acknowledged + counters_.backlog);
    progress.waiting = progressWaiting_;
    progress.seconds = std::chrono::duration<double>(now - started_).count();
    if (progress.seconds > 0)
        progress.perSecond = static_cast<double>(progress.sent) / progress.seconds;
    progress.done = done;
    options_.progress(progress);
}

bool Collector::ReceiverDue() const {
    const auto now = std::chrono::steady_clock::now();
    return std::any_of(receivers_.begin(), receivers_.end(),
                       [&](const Receiver& receiver) { return receiver.retryAt <= now; });
}

int Collector::SecondsUntilDue() const {
    auto next = receivers_.front().retryAt;
    for (const Receiver& receiver : receivers_) next = std::min(next, receiver.retryAt);
    const auto left = next - std::chrono::steady_clock::now();
    // Rounded up: a wait of 2 s set a moment ago is said as 2 s.
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(left).count();
    return static_cast<int>(std::max<std::int64_t>(seconds, 0));
}

bool Collector::OpenSession() {
    const auto now = std::chrono::steady_clock::now();
    // The first receiver due, in --to order; when none is due (with one receiver, after the
    // wait), the one due soonest.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < receivers_.size(); ++i)
        if (receivers_[i].retryAt <= now) order.push_back(i);
    if (order.empty()) {
        std::size_t soonest = 0;
        for (std::size_t i = 1; i < receivers_.size(); ++i)
            if (receivers_[i].retryAt < receivers_[soonest].retryAt) soonest = i;
        order.push_back(soonest);
    }
    for (const std::size_t i : order) {
        current_ = i;
        if (sender().Connect()) {
            inUse_ = i;
            sessionAcknowledged_ = 0;
            if (options_.verbose)
                log_("session opened to " + LogText(receivers_[i].url) + ", " +
                     sender().Describe());
            return true;
        }
        NoteFailure(i);
    }
    return false;
}

void Collector::NoteFailure(std::size_t index) {
    Receiver& receiver = receivers_[index];
    SinkReplies& replies = receiver.sender->replies();
    const std::string& error = replies.error;
    const std::string why = error.empty() ? std::string("the RELP session failed") : error;
    if (inUse_ && *inUse_ != index) {
        // A preferred receiver tried again while another one delivers.
        log_("not acknowledged by " + LogText(receiver.url) + ": " + why +
             "; the alerts go on to " + LogText(receivers_[*inUse_].url) + " meanwhile");
    } else {
        log_((receivers_.size() == 1 ? std::string("not acknowledged: ")
                                     : "not acknowledged by " + LogText(receiver.url) + ": ") +
             why + "; " + std::to_string(counters_.backlog) + " alert files stay to be sent again");
    }
    replies.error.clear();
    replies.acknowledged.clear();
    receiver.retryAt = std::chrono::steady_clock::now() + std::chrono::seconds(receiver.backoff);
    receiver.backoff = std::min(receiver.backoff * 2, std::max(options_.maxBackoffSeconds, 1));
    // A preferred receiver that still fails, while another one delivers, interrupts nothing.
    if (!inUse_ || *inUse_ == index) ++failures_;
    if (inUse_ == index) inUse_.reset();
}

bool Collector::DrainAll(const std::atomic<bool>& stop) {
    // Each directory in turn gets one scan's worth of files, so that a busy one does not starve
    // the others; passes go on while files are being retired. One session carries the whole
    // pass: while replies to earlier messages come in, the next files are read and sent.
    bool first = true;
    bool progress = true;
    // Acknowledged files that could not be retired before are retired again, never resent.
    for (const auto& spool : spools_) spool->RetryRetirements();
    while (progress && !stop) {
        progress = false;
        std::uint64_t backlog = 0;
        std::int64_t oldest = 0;
        for (const auto& spool : spools_) {
            const SpoolScan scan = spool->Scan(options_.scanLimit);
            backlog += scan.backlog;
            if (options_.verbose && !scan.names.empty())
                log_(LogText(spool->directory().string()) + ": " +
                     std::to_string(scan.names.size()) + " alert files to send of " +
                     std::to_string(scan.backlog) + " ready");
            if (!scan.names.empty()) oldest = std::max(oldest, spool->AgeOf(scan.names.front()));
            if (first) {
                counters_.backlog = backlog;
                counters_.oldestAgeSeconds = oldest;
            }
            const std::uint64_t retiredBefore = counters_.acknowledged + counters_.quarantined;
            const std::size_t heldBefore = spool->HeldSize();
            for (const std::string& name : scan.names) {
                if (stop) break;
                if (!Take(*spool, name)) {
                    CountHeld();
                    return false;
                }
            }
            // The replies still due are read before the next scan, which would otherwise list
            // the files in flight again.
            if (!Settle()) {
                CountHeld();
                return false;
            }
            // Files that could be neither sent nor set aside wait for the next pass rather
            // than being rescanned at once.
            // With --once only a scan that was cut at its limit leaves older files to come.
            // Entries newly held back free their places in the next scan.
            const bool more = !options_.once || scan.names.size() >= options_.scanLimit;
            if (more && (counters_.acknowledged + counters_.quarantined != retiredBefore ||
                         spool->HeldSize() != heldBefore))
                progress = true;
        }
        first = false;
    }
    const std::int64_t oldest = CountHeld();
    // Stopped midway, what the scans found, less what was acknowledged since, still waits.
    if (stop) return false;
    counters_.oldestAgeSeconds = oldest;
    counters_.backlog = counters_.held;
    return true;
}

std::int64_t Collector::CountHeld() {
    counters_.held = 0;
    counters_.unreadable = 0;
    std::int64_t oldest = 0;
    for (const auto& spool : spools_) {
        const HeldCounts counts = spool->Held();
        counters_.held += counts.held;
        counters_.unreadable += counts.unreadable;
        oldest = std::max(oldest, counts.oldestAgeSeconds);
    }
    return oldest;
}

bool Collector::Take(Spool& spool, const std::string& name) {
    LoadedAlert loaded = spool.Load(name);
    switch (loaded.kind) {
        case LoadedAlert::Kind::Gone:
            return true;
        case LoadedAlert::Kind::Unreadable: {
            // An alert the collector cannot read is never set aside: the fault is in its own
            // setup (or the machine), not in the alert.
            const std::string path = LogText((spool.directory() / name).string());
            if (loaded.errorNumber == EMFILE || loaded.errorNumber == ENFILE ||
                loaded.errorNumber == ENOMEM || loaded.errorNumber == EAGAIN ||
                loaded.errorNumber == EINTR) {
                // Short of descriptors or memory, the file is fine: it waits for the next pass.
                log_("cannot read " + path + " now: " + loaded.error);
            } else if (loaded.errorNumber == EACCES || loaded.errorNumber == EPERM) {
                spool.Hold(name, HoldReason::Unreadable,
                           "cannot read " + path + ": " + loaded.error +
                               "; the alert stays: the collector's user needs read access to "
                               "it (see kxevent doctor)");
            } else {
                spool.Hold(name, HoldReason::Failed,
                           "cannot read " + path + ": " + loaded.error + "; the alert stays");
            }
            return true;
        }
        case LoadedAlert::Kind::Bad:
            if (spool.Quarantine(name, loaded.failure)) {
                ++counters_.quarantined;
                if (counters_.backlog) --counters_.backlog;
            }
            return true;
        case LoadedAlert::Kind::Alert:
            break;
    }
    ++counters_.collected;
    if (!sender().open() && !OpenSession()) {
        ++counters_.retried;  // the message that was to be sent; nothing was in flight
        return false;
    }
    std::size_t bytes = 0;
    const int txnr = sender().Send(loaded.alert, loaded.origin, bytes);
    if (txnr == 0) {
        ++counters_.retried;  // the message being sent, beside those in flight
        GiveUp();
        return false;
    }
    inFlight_.push_back({&spool, name, txnr, bytes,
                         options_.verbose ? AlertId(loaded.alert, loaded.origin) : std::string()});
    inFlightBytes_ += bytes;
    Retire();
    // Far over the byte bound (large files), the session is closed to collect the replies
    // rather than waiting for them unbounded.
    if (inFlightBytes_ > kMaxInFlightBytes) return Settle();
    return true;
}

void Collector::Retire() {
    std::vector<int>& replies = sender().replies().acknowledged;
    answered_.insert(replies.begin(), replies.end());
    replies.clear();
    const std::uint64_t before = counters_.acknowledged;
    while (!inFlight_.empty() && answered_.erase(inFlight_.front().txnr) != 0) {
        InFlight& done = inFlight_.front();
        ++counters_.acknowledged;
        counters_.lastDeliverySeconds = static_cast<std::int64_t>(::time(nullptr));
        ++sessionAcknowledged_;
        if (counters_.backlog) --counters_.backlog;
        if (options_.verbose)
            log_("acknowledged: " + LogText((done.spool->directory() / done.name).string()) +
                 ", alertId " + LogText(done.alertId));
        inFlightBytes_ -= done.bytes;
        retirer_->Add(*done.spool, std::move(done.name));
        inFlight_.pop_front();
        if (++sinceMetrics_ >= options_.batch) {
            sinceMetrics_ = 0;
            WriteMetrics();
        }
    }
    if (counters_.acknowledged == before) return;
    const std::string& url = receivers_[current_].url;
    const std::string preferred = current_ == 0
                                      ? std::string()
                                      : "; " + LogText(receivers_.front().url) +
                                            ", the first --to, is tried again at a later session";
    if (failures_ != 0) {
        log_("delivery resumed: " + LogText(url) + " acknowledges alert files, after " +
             std::to_string(failures_) + (failures_ == 1 ? " failed session" : " failed sessions") +
             preferred);
    } else if (lastAcknowledged_ && *lastAcknowledged_ != current_) {
        log_("now sending to " + LogText(url) +
             (current_ == 0 ? std::string(", the first --to, which answers again") : preferred));
    }
    failures_ = 0;
    lastAcknowledged_ = current_;
    ReportProgress(false);
}

bool Collector::Settle() {
    const bool wasOpen = sender().open();
    const bool closed = sender().Close();
    Retire();
    if (closed && inFlight_.empty()) {
        if (options_.verbose && wasOpen)
            log_("session to " + LogText(receivers_[current_].url) + " closed, " +
                 std::to_string(sessionAcknowledged_) + " alert files acknowledged");
        answered_.clear();
        // The next scan must not find what was acknowledged: it would be sent again.
        retirer_->Flush();
        return true;
    }
    if (closed) {
        sender().replies().error =
            "the session ended with " + std::to_string(inFlight_.size()) + " messages unanswered";
    }
    GiveUp();
    return false;
}

void Collector::GiveUp() {
    // Replies read before the failure still retire their files.
    Retire();
    sender().Abandon();
    counters_.retried += inFlight_.size();
    NoteFailure(current_);
    inFlight_.clear();
    answered_.clear();
    inFlightBytes_ = 0;
    retirer_->Flush();
}

void Collector::WriteMetrics() const {
    if (!options_.metrics) return;
    const std::filesystem::path& target = *options_.metrics;
    const std::string temporary = target.string() + ".tmp";
    std::vector<std::string> urls;
    for (const Receiver& receiver : receivers_) urls.push_back(receiver.url);
    const std::string text = FormatMetrics(counters_) + FormatReceiverMetrics(urls, inUse_);
    // Readable by node_exporter's user whatever the service's umask, without it being in the
    // group that may write the alerting directory. A temporary file left by a collector that
    // died, or anything put in its place, is removed rather than opened.
    const ReplaceResult replaced = ReplaceFile(target.string().c_str(), temporary.c_str(), text);
    if (replaced) {
        metricsFailure_.clear();
        return;
    }
    const std::string why =
        ReplaceFailureText(replaced) + MetricsPermissionAdvice(replaced.error, target);
    if (why == metricsFailure_) return;
    metricsFailure_ = why;
    log_("the metrics file " + LogText(target.string()) + " is not written: " + why);
}

void Collector::WaitForWork(int seconds, const std::atomic<bool>& stop) {
    watch_->Wait(seconds, stop);
}

}  // namespace kx::collect
