// relp_sender.h: batches of messages to a RELP receiver, each batch known to be acknowledged as
// a whole or not at all.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct relpEngine_s;

namespace kx::collect {

struct RelpTarget {
    std::string host;
    std::string port;
    // TLS is on when a CA is given: the receiver's certificate must chain to it; with
    // certificate and key the collector also proves who it is.
    std::optional<std::string> tlsCa;
    std::optional<std::string> tlsCert;
    std::optional<std::string> tlsKey;
};

// Parses "relp://HOST:PORT" (HOST may be "[v6]"). Throws std::invalid_argument.
RelpTarget ParseRelpUrl(const std::string& url);

// Largest batch: it stays below the session window, so that librelp never has to wait for room
// (which it would count as a broken session when the wait is long).
inline constexpr std::size_t kMaxBatch = 500;

class RelpSender {
  public:
    explicit RelpSender(RelpTarget target);
    ~RelpSender();
    RelpSender(const RelpSender&) = delete;
    RelpSender& operator=(const RelpSender&) = delete;

    // Sends the messages over one session and closes it. True only when the receiver answered
    // every one with a positive reply (counted, as closing reads every reply before the
    // close's own) and no error callback came. On false `error` says why; some messages may
    // have arrived nonetheless (they will be sent again, under the same alertId).
    bool SendBatch(const std::vector<std::string>& messages, std::string& error);

  private:
    RelpTarget target_;
    relpEngine_s* engine_ = nullptr;
};

}  // namespace kx::collect
