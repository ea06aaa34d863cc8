// syslog_forwarder.cpp: the deadline, the back-off and the once-per-episode log of FwdSyslog's
// sends, over the transports of syslog_transport.h.
#include "forwarders/syslog/syslog_forwarder.h"

#include <algorithm>
#include <utility>

#include "forwarders/syslog/syslog_transport.h"
#include "platform/platform.h"

namespace kx::fwd {

namespace {

using std::chrono::steady_clock;

std::string HostAndPort(const SyslogSettings& settings) {
    const bool ipv6 = settings.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + settings.host + "]" : settings.host) + ":" + std::to_string(settings.port);
}

}  // namespace

Forwarder::Forwarder(Log log, Clock clock, std::function<void()> keepState)
    : log_(std::move(log)),
      clock_(std::move(clock)),
      keepState_(std::move(keepState)),
      resolver_(clock_, ResolveHost, [this] { KeepState(); }) {}

std::string Forwarder::TargetName(const SyslogSettings& settings) {
    if (settings.transport == Transport::Local) return "local socket " + settings.socketPath;
    return std::string(SyslogTransportName(settings.transport)) + " " + HostAndPort(settings);
}

void Forwarder::KeepState() {
    if (keepState_) std::call_once(kept_, keepState_);
}

Forwarder::Target& Forwarder::Remember(const std::string& name, steady_clock::time_point now) {
    auto found = std::find_if(targets_.begin(), targets_.end(),
                              [&](const Target& target) { return target.name == name; });
    if (found == targets_.end()) {
        if (targets_.size() >= kMaxTargets) {
            // The one used longest ago goes, a working one before a failing one.
            targets_.erase(std::min_element(targets_.begin(), targets_.end(),
                                            [](const Target& a, const Target& b) {
                                                if (a.failing != b.failing) return !a.failing;
                                                return a.lastUsed < b.lastUsed;
                                            }));
        }
        targets_.push_back(Target{name});
        found = targets_.end() - 1;
    }
    found->lastUsed = now;
    return *found;
}

// A network target in its back-off is skipped, unless its failure was a name look-up that has
// found its answer since. The local transport is never skipped: trying costs one system call.
bool Forwarder::Skips(Target& target, const SyslogSettings& settings,
                      steady_clock::time_point now) {
    if (!target.failing || settings.transport == Transport::Local || now >= target.retryAt) {
        return false;
    }
    return !(target.waitingForName &&
             resolver_.Answered(settings.host, settings.port, settings.transport));
}

void Forwarder::Failed(Target& target, const SyslogSettings& settings, std::int32_t eventId,
                       const std::string& problem, bool waitingForName,
                       steady_clock::time_point now) {
    ++counts_.failed;
    ++target.missed;
    target.waitingForName = waitingForName;
    const bool network = settings.transport != Transport::Local;
    if (target.failing) {
        target.backOff = std::min(target.backOff * 2, kLongestBackOff);
        target.retryAt = now + target.backOff;
        return;
    }
    target.failing = true;
    target.backOff = kFirstBackOff;
    target.retryAt = now + target.backOff;
    std::string text = "event " + std::to_string(eventId) + " not sent to syslog (" + target.name +
                       "): " + problem;
    if (network) {
        text += "; the target is skipped for " + std::to_string(kFirstBackOff.count()) +
                " s, longer while it keeps failing,";
    } else {
        text += ";";
    }
    log_(kLogFailure, text + " and its failures are not logged again until an event gets through");
}

bool Forwarder::SendNetwork(const SyslogSettings& settings, std::string_view message,
                            std::string& problem, bool& waitingForName) {
    const Deadline deadline = steady_clock::now() + kDeadline;
    Endpoints endpoints;
    const auto outcome = resolver_.Resolve(settings.host, settings.port, settings.transport,
                                           deadline, endpoints, problem);
    waitingForName = outcome == HostResolver::Outcome::Pending;
    if (outcome != HostResolver::Outcome::Resolved) return false;
    if (SendNetworkMessage(settings.transport, endpoints, message, deadline, problem)) return true;
    // The kept addresses may be stale: the next try asks the name service again.
    resolver_.Forget(settings.host, settings.port, settings.transport);
    return false;
}

// The journal's native protocol when its socket is there, else (or when the journal refuses
// it) the traditional form on the syslog socket.
bool Forwarder::SendLocal(const SyslogSettings& settings, std::uint32_t productId,
                          std::int32_t eventId, const MessageRecord& message,
                          const DetailRecord& detail, const MessageHeader& header,
                          std::string& problem) {
    std::string journalProblem;
    if (JournalSocketPresent(settings.journalSocketPath)) {
        if (SendJournalEntry(settings.journalSocketPath,
                             FormatJournalEntry(productId, eventId, message, detail, header),
                             journalProblem)) {
            return true;
        }
        journalProblem += "; ";
    }
    if (SendLocalMessage(
            settings.socketPath,
            FormatTraditionalMessage(eventId, message, header, plat::GetCalendarTime(true)),
            problem)) {
        return true;
    }
    problem = journalProblem + problem;
    return false;
}

bool Forwarder::Forward(const SyslogSettings& settings, std::uint32_t productId,
                        std::int32_t eventId, const MessageRecord& message,
                        const DetailRecord& detail, const MessageHeader& header) {
    const std::string name = TargetName(settings);
    {
        const std::lock_guard lock(guard_);
        Target& target = Remember(name, clock_());
        if (Skips(target, settings, clock_())) {
            ++counts_.skipped;
            ++target.missed;
            return false;
        }
        ++counts_.attempted;
    }
    std::string problem;
    bool waitingForName = false;
    const bool sent =
        settings.transport == Transport::Local
            ? SendLocal(settings, productId, eventId, message, detail, header, problem)
            : SendNetwork(settings,
                          FormatMessage(productId, eventId, message, detail, header,
                                        plat::GetCalendarTime(false)),
                          problem, waitingForName);
    if (!sent) KeepState();
    const std::lock_guard lock(guard_);
    const auto now = clock_();
    Target& target = Remember(name, now);
    if (!sent) {
        Failed(target, settings, eventId, problem, waitingForName, now);
        return false;
    }
    ++counts_.delivered;
    if (target.failing) {
        log_(kLogRecovered, "syslog forwarding to " + target.name + " works again; " +
                                std::to_string(target.missed) +
                                " events were not sent while it failed");
        target = Target{target.name, false, {}, {}, 0, false, now};
    }
    return true;
}

Forwarder::Counts Forwarder::counts() const {
    const std::lock_guard lock(guard_);
    Counts counts = counts_;
    counts.targets = targets_.size();
    return counts;
}

}  // namespace kx::fwd
