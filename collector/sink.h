// sink.h: where the collector delivers alerts: a RELP receiver (relp_sink.cpp) or, on Windows,
// the event log (eventlog_sink_win32.cpp). A sink numbers what it is given and says which of
// those numbers arrived, so that the drain loop removes a file only once its alert did.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "collector/alert_record.h"

namespace kx::collect {

// What the sink has said so far.
struct SinkReplies {
    std::vector<int> acknowledged;  // numbers of the alerts that arrived
    std::string error;              // the first failure, empty while the sink is sound
};

class AlertSink {
  public:
    virtual ~AlertSink() = default;

    // What the logs and the metrics call it: "relp://HOST:PORT", "eventlog".
    virtual const std::string& name() const = 0;
    // How alerts travel to it, for the start's log line: "without TLS", "over TLS (CA ...)".
    virtual std::string Settings() const = 0;

    // Opens the session unless one is open: false when that failed (why in replies().error).
    virtual bool Connect() = 0;
    virtual bool open() const = 0;

    // Hands over one alert, in a session that is open; its number, or 0 when the session
    // failed (why in replies().error; what was in flight unacknowledged may or may not have
    // arrived). `bytes` is what the sink holds of it until its acknowledgement.
    virtual int Send(const Alert& alert, const AlertOrigin& origin, std::size_t& bytes) = 0;

    // Ends the session, reading every acknowledgement due: false when it failed, now or before.
    virtual bool Close() = 0;
    // Drops the session without waiting for anything, after a failure.
    virtual void Abandon() = 0;
    // The open session, for the verbose log.
    virtual std::string Describe() const = 0;

    // The caller takes the numbers it has used, and clears the error before a new session.
    virtual SinkReplies& replies() = 0;
};

}  // namespace kx::collect
