// collect_command.h: what the halves of "kxevent collect" share: the ids of its options, which
// index the table CollectOptionTable gives, the parsed command, the settings it takes from the
// registry, and its log on standard error.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "collector/collector.h"

namespace kx::tool {

enum CollectOptionId {
    kDir,
    kTo,
    kTlsCa,
    kTlsCert,
    kTlsKey,
    kTlsPeer,
    kTlsPin,
    kOnce,
    kKeep,
    kState,
    kMetrics,
    kVerbose,
    kService
};

// The sink of "--to eventlog": the Windows event log.
inline constexpr std::string_view kEventLogSinkName = "eventlog";

struct CollectCommand {
    collect::CollectorOptions options;
    bool eventLog = false;  // --to eventlog: the RELP settings of `options` are unused
    bool service = false;   // --service: started by the Windows service manager
};

// The command's arguments after the verb; the sinks this system's build has (RELP on Linux, the
// event log on Windows) are the only ones taken. Throws UsageError.
CollectCommand ParseCollectCommand(std::span<const std::string> args);

// Without --dir, the registry's alerting directory; and FwdSyslog's enterprise number, so that
// alerts and events carry one structured-data number. Both from the installed registry (the
// machine's on Windows), read once; throws RuntimeError when a directory is needed and none is
// named.
void CompleteFromRegistry(collect::CollectorOptions& options);

// Standard error as a terminal: a progress line rewritten in place, wiped before a log line.
class CollectLog {
  public:
    void Show(const collect::CollectProgress& progress);
    void Log(const std::string& line);

  private:
    std::mutex mutex_;
    std::size_t shown_ = 0;  // characters of the progress line on the screen
};

// Runs the collector on `sinks` until `stop` (or, with --once, until done): the exit status.
// Progress is shown when standard error is a terminal and the run is --once.
int RunCollector(CollectCommand command, std::vector<std::unique_ptr<collect::AlertSink>> sinks,
                 const std::atomic<bool>& stop, const collect::LogFn& log,
                 const std::shared_ptr<CollectLog>& terminal);

}  // namespace kx::tool
