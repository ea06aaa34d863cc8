// collect_command.h: "kxevent collect", the alerting service: alert files off the machine into
// a RELP receiver (rsyslog's imrelp), each removed only after the receiver acknowledged it.
#pragma once

#include <span>
#include <string>

namespace kx::tool {

// Runs the collector with the options in `args` (after the word "collect"). Returns the exit
// status; throws UsageError or RuntimeError.
int RunCollectCommand(std::span<const std::string> args);

extern const char kCollectHelp[];

}  // namespace kx::tool
