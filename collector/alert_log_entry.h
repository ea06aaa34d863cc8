// alert_log_entry.h: one alert file as one entry of the Windows event log: its identifier, its
// level and its insertion strings (eventlog_sink_win32.cpp writes it; the message file
// KXEventAlerts.dll shows %1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "collector/alert_record.h"

namespace kx::collect {

enum class AlertLogLevel { Information, Warning, Error };

struct AlertLogEntry {
    std::uint32_t id = 0;  // the event number, 0 when it is no event-log identifier
    AlertLogLevel level = AlertLogLevel::Information;
    // As UTF-8: %1 the alert as text (szActualMessage, a blank line, "NAME: VALUE" for every
    // other key, "alertId: ID"), %2 on every value in file order, then the alertId.
    std::vector<std::string> strings;
};

// The event log takes no insertion string longer than this (in UTF-16 units, which a UTF-8 text
// never has more of than it has bytes).
inline constexpr std::size_t kMaxInsertionString = 31839;

// The entry of an alert: the identifier is uSpecificTrap when it is at most
// KX_EVENT_ALERTS_HIGHEST_ID; the level is an error for uSeverity 3 and 4, a warning for 2,
// information otherwise. A string too long is cut at a character and ends in " [cut]".
AlertLogEntry FormatAlertLogEntry(const Alert& alert, const AlertOrigin& origin);

}  // namespace kx::collect
