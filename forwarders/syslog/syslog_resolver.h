// syslog_resolver.h: name look-ups of the network transports with a deadline. The system's
// resolver cannot be interrupted, and a name server that never answers holds it for many
// seconds; so each look-up runs on a thread of its own and the sender waits for it only until
// its deadline. A name has at most one look-up in flight however many sends ask for it, the
// answers are kept for a bounded time, and the table of names is bounded too.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "forwarders/syslog/syslog_transport.h"

namespace kx::fwd {

class HostResolver {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // The blocking look-up itself (ResolveHost), run on the look-up thread.
    using LookUp = std::function<bool(const std::string& host, std::uint16_t port,
                                      Transport transport, Endpoints&, std::string& error)>;
    // Called once before the first look-up thread starts: whatever runs that thread's code
    // (the module) must stay mapped until the thread ends.
    using BeforeFirstThread = std::function<void()>;

    // At most this many names are kept, in flight or answered.
    static constexpr std::size_t kMaxNames = 16;
    // An answer is used for this long, then asked again.
    static constexpr std::chrono::seconds kAnswerLifetime{60};

    explicit HostResolver(Clock clock = std::chrono::steady_clock::now, LookUp lookUp = ResolveHost,
                          BeforeFirstThread beforeFirstThread = {});
    HostResolver(const HostResolver&) = delete;
    HostResolver& operator=(const HostResolver&) = delete;

    enum class Outcome {
        Resolved,  // `endpoints` hold the answer
        Failed,    // the resolver answered with an error, or nothing could be asked
        Pending,   // no answer by the deadline; the look-up goes on and a later send uses it
    };
    // The addresses of `host` (numeric ones without any look-up), waiting at most until
    // `deadline` (on the real monotonic clock).
    Outcome Resolve(const std::string& host, std::uint16_t port, Transport transport,
                    Deadline deadline, Endpoints& endpoints, std::string& error);
    // Whether a look-up of `host` that was pending has an answer by now.
    bool Answered(const std::string& host, std::uint16_t port, Transport transport);
    // Drops a kept answer (its addresses did not work), so that the next send asks again.
    void Forget(const std::string& host, std::uint16_t port, Transport transport);

    struct Counts {
        std::size_t names = 0;     // kept, in flight or answered
        std::size_t inFlight = 0;  // look-up threads still waiting for the resolver
        std::size_t threadsStarted = 0;
    };
    Counts counts() const;

  private:
    struct Entry;
    static bool Spent(Entry& entry, std::chrono::steady_clock::time_point now);
    std::shared_ptr<Entry> Find(const std::string& key) const;
    void Evict(std::chrono::steady_clock::time_point now);
    bool Start(const std::shared_ptr<Entry>& entry, std::string& error);

    Clock clock_;
    LookUp lookUp_;
    BeforeFirstThread beforeFirstThread_;
    mutable std::mutex guard_;
    std::vector<std::shared_ptr<Entry>> entries_;
    std::size_t threadsStarted_ = 0;
};

}  // namespace kx::fwd
