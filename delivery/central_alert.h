// central_alert.h: the central alert file dropped into the alerting directory.
#pragma once

#include <cstdint>

#include "kxevent/kxevent.h"

namespace kx {

// The central-alert switch "bEnableCAlert", read anew at each call: 1 on, 0 off.
int IsCentralAlertEnabled();
// Builds the alert from the records, reads the alerting path, writes the file and logs
// failures. False when the centralized alerting path could not be read. `message` is the
// send's expansion buffer, or null when the send has none.
bool RunCentralAlertStage(std::int32_t eventId, MessageRecord* message, DetailRecord* detail,
                          const char* expansion);

}  // namespace kx
