// syslog_forwarder.h: one event to its syslog target, bounded. The alert file is the durable
// copy of an event; forwarding is best effort and must never hold up the product that sends:
//
// - the whole forwarding call (name look-up, connect, writes) gives up after kDeadline;
// - the local transport never waits: a full socket drops the event;
// - a network target that failed is skipped for kFirstBackOff, doubling with each failed retry
//   up to kLongestBackOff, so that a collector that is down costs one deadline per back-off,
//   not one per event;
// - each failure episode of a target is logged once, when it starts, and once more when an
//   event gets through again, with the number of events it missed.
//
// The state this needs (targets, kept name look-ups) lives as long as the Forwarder; the module
// keeps one for the life of the process (fwd_syslog.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "forwarders/syslog/syslog_message.h"
#include "forwarders/syslog/syslog_resolver.h"
#include "forwarders/syslog/syslog_settings.h"
#include "kxevent/kxevent.h"

namespace kx::fwd {

class Forwarder {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // The event log's kinds of entry a Forwarder writes: a failure, and the recovery after one
    // (a warning: events were missed meanwhile).
    static constexpr std::uint32_t kLogFailure = 0;
    static constexpr std::uint32_t kLogRecovered = 1;
    using Log = std::function<void(std::uint32_t kind, const std::string& text)>;

    static constexpr std::chrono::milliseconds kDeadline{1000};
    static constexpr std::chrono::seconds kFirstBackOff{30};
    static constexpr std::chrono::seconds kLongestBackOff{480};
    // Targets remembered at once (a change of settings makes a new one).
    static constexpr std::size_t kMaxTargets = 16;

    // `log` writes one entry of the given kind to the event log. `clock` times the back-off and the
    // kept look-ups (the deadline is always the real monotonic clock). `keepState` is called before
    // the Forwarder first holds anything worth keeping across events (a failure, a look-up thread).
    explicit Forwarder(Log log, Clock clock = std::chrono::steady_clock::now,
                       std::function<void()> keepState = {});
    Forwarder(const Forwarder&) = delete;
    Forwarder& operator=(const Forwarder&) = delete;

    // Sends the event as `settings` say; true when it went out. Safe to call from several
    // threads at once.
    bool Forward(const SyslogSettings& settings, std::uint32_t productId, std::int32_t eventId,
                 const MessageRecord& message, const DetailRecord& detail,
                 const MessageHeader& header);

    struct Counts {
        std::size_t attempted = 0;  // events tried on their target
        std::size_t delivered = 0;
        std::size_t failed = 0;
        std::size_t skipped = 0;  // not tried: their target was backing off
        std::size_t targets = 0;  // remembered
    };
    Counts counts() const;
    HostResolver& resolver() { return resolver_; }

    // "udp collector:514", "local socket /dev/log": how the log names a target.
    static std::string TargetName(const SyslogSettings& settings);

  private:
    struct Target {
        std::string name;
        bool failing = false;
        std::chrono::steady_clock::time_point retryAt{};
        std::chrono::seconds backOff{0};
        std::size_t missed = 0;
        bool waitingForName = false;  // its last failure was a look-up with no answer yet
        std::chrono::steady_clock::time_point lastUsed{};
    };
    Target& Remember(const std::string& name, std::chrono::steady_clock::time_point now);
    bool Skips(Target& target, const SyslogSettings& settings,
               std::chrono::steady_clock::time_point now);
    void Failed(Target& target, const SyslogSettings& settings, std::int32_t eventId,
                const std::string& problem, bool waitingForName,
                std::chrono::steady_clock::time_point now);
    bool SendNetwork(const SyslogSettings& settings, std::string_view message, std::string& problem,
                     bool& waitingForName);
    bool SendLocal(const SyslogSettings& settings, std::uint32_t productId, std::int32_t eventId,
                   const MessageRecord& message, const DetailRecord& detail,
                   const MessageHeader& header, std::string& problem);
    void KeepState();

    Log log_;
    Clock clock_;
    std::function<void()> keepState_;
    std::once_flag kept_;
    HostResolver resolver_;
    mutable std::mutex guard_;
    std::vector<Target> targets_;
    Counts counts_;
};

}  // namespace kx::fwd
