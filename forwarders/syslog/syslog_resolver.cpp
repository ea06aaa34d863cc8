// syslog_resolver.cpp: look-up threads, one per name in flight, and the bounded table of
// answers they leave.
#include "forwarders/syslog/syslog_resolver.h"

#include <algorithm>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <utility>

namespace kx::fwd {

// What the look-up thread and the senders share: the thread holds it as long as it runs, so it
// never touches the resolver itself (which may be gone when a look-up finishes late).
struct HostResolver::Entry {
    std::string key;
    std::string host;
    std::uint16_t port = 0;
    Transport transport = Transport::Udp;
    std::chrono::steady_clock::time_point askedAt;   // on the resolver's clock
    std::chrono::steady_clock::time_point lastUsed;  // on the resolver's clock
    // Written by the look-up thread, under `guard`.
    std::mutex guard;
    std::condition_variable answered;
    bool done = false;
    bool ok = false;
    Endpoints endpoints;
    std::string error;
};

namespace {

std::string KeyOf(const std::string& host, std::uint16_t port, Transport transport) {
    return std::string(SyslogTransportName(transport)) + " " + host + " " + std::to_string(port);
}

}  // namespace

HostResolver::HostResolver(Clock clock, LookUp lookUp, BeforeFirstThread beforeFirstThread)
    : clock_(std::move(clock)),
      lookUp_(std::move(lookUp)),
      beforeFirstThread_(std::move(beforeFirstThread)) {}

// An answer that may not be used any more: a failure (asked again at the next send) or one
// older than its lifetime.
bool HostResolver::Spent(Entry& entry, std::chrono::steady_clock::time_point now) {
    const std::lock_guard lock(entry.guard);
    return entry.done && (!entry.ok || entry.askedAt + kAnswerLifetime <= now);
}

std::shared_ptr<HostResolver::Entry> HostResolver::Find(const std::string& key) const {
    for (const auto& entry : entries_) {
        if (entry->key == key) return entry;
    }
    return nullptr;
}

// Makes room by dropping the answered name used longest ago. Names still in flight stay, so
// that no look-up thread is ever started twice for one name.
void HostResolver::Evict(std::chrono::steady_clock::time_point now) {
    auto oldest = entries_.end();
    for (auto at = entries_.begin(); at != entries_.end(); ++at) {
        if (Spent(**at, now)) {
            oldest = at;
            break;
        }
        const std::lock_guard lock((*at)->guard);
        if (!(*at)->done) continue;
        if (oldest == entries_.end() || (*at)->lastUsed < (*oldest)->lastUsed) oldest = at;
    }
    if (oldest != entries_.end()) entries_.erase(oldest);
}

bool HostResolver::Start(const std::shared_ptr<Entry>& entry, std::string& error) {
    if (threadsStarted_ == 0 && beforeFirstThread_) beforeFirstThread_();
    try {
        std::thread([entry, lookUp = lookUp_] {
            Endpoints endpoints;
            std::string failure;
            const bool ok = lookUp(entry->host, entry->port, entry->transport, endpoints, failure);
            const std::lock_guard lock(entry->guard);
            entry->done = true;
            entry->ok = ok;
            entry->endpoints = std::move(endpoints);
            entry->error = std::move(failure);
            entry->answered.notify_all();
        }).detach();
    } catch (const std::system_error& failure) {
        error = "cannot start the look-up of " + entry->host + ": " + failure.what();
        return false;
    }
    ++threadsStarted_;
    return true;
}

HostResolver::Outcome HostResolver::Resolve(const std::string& host, std::uint16_t port,
                                            Transport transport, Deadline deadline,
                                            Endpoints& endpoints, std::string& error) {
    if (ResolveNumericHost(host, port, transport, endpoints)) return Outcome::Resolved;
    const std::string key = KeyOf(host, port, transport);
    std::shared_ptr<Entry> entry;
    {
        const std::lock_guard lock(guard_);
        const auto now = clock_();
        entry = Find(key);
        if (entry && Spent(*entry, now)) {
            std::erase(entries_, entry);
            entry = nullptr;
        }
        if (!entry) {
            if (entries_.size() >= kMaxNames) Evict(now);
            if (entries_.size() >= kMaxNames) {
                error = "cannot resolve " + host + ": " + std::to_string(kMaxNames) +
                        " other name look-ups are still waiting for an answer";
                return Outcome::Failed;
            }
            entry = std::make_shared<Entry>();
            entry->key = key;
            entry->host = host;
            entry->port = port;
            entry->transport = transport;
            entry->askedAt = now;
            if (!Start(entry, error)) return Outcome::Failed;
            entries_.push_back(entry);
        }
        entry->lastUsed = now;
    }
    std::unique_lock lock(entry->guard);
    if (!entry->answered.wait_until(lock, deadline, [&] { return entry->done; })) {
        error = "cannot resolve " + host +
                ": no answer from the name service in time (the look-up goes on, and a later "
                "event uses its answer)";
        return Outcome::Pending;
    }
    if (!entry->ok) {
        error = entry->error;
        return Outcome::Failed;
    }
    endpoints = entry->endpoints;
    return Outcome::Resolved;
}

bool HostResolver::Answered(const std::string& host, std::uint16_t port, Transport transport) {
    const std::lock_guard lock(guard_);
    const auto entry = Find(KeyOf(host, port, transport));
    if (!entry) return false;
    const std::lock_guard entryLock(entry->guard);
    return entry->done && entry->ok;
}

void HostResolver::Forget(const std::string& host, std::uint16_t port, Transport transport) {
    const std::lock_guard lock(guard_);
    const auto entry = Find(KeyOf(host, port, transport));
    if (!entry) return;
    const std::lock_guard entryLock(entry->guard);
    if (entry->done) std::erase(entries_, entry);
}

HostResolver::Counts HostResolver::counts() const {
    const std::lock_guard lock(guard_);
    Counts counts;
    counts.names = entries_.size();
    counts.threadsStarted = threadsStarted_;
    for (const auto& entry : entries_) {
        const std::lock_guard entryLock(entry->guard);
        if (!entry->done) ++counts.inFlight;
    }
    return counts;
}

}  // namespace kx::fwd
