// alert_record.h: one central alert file as the collector sees it: parsed by the library's own
// rules (common/alert_file.h), and the RFC 5424 message that carries it to the log engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/alert_file.h"
#include "common/syslog_names.h"

namespace kx::collect {

using kx::kMaxAlertFileSize;
using AlertValue = kx::AlertValue;
using Alert = kx::AlertContent;  // the bytes as stored, made UTF-8 when they are sent
using ParseFailure = kx::AlertParseFailure;

// The name of the structured-data id under which every key of the file travels; its enterprise
// number is FwdSyslog's setting.
inline constexpr std::string_view kAlertSdName = "kxalert";

// Where the alert came from: the file's name in its directory and its modification time.
struct AlertOrigin {
    std::string fileName;
    std::int64_t mtimeSeconds = 0;
    std::int64_t mtimeNanoseconds = 0;
};

// Identifies one alert file for its whole life, across restarts of the collector, so that a
// message sent twice (sent, then the collector died before removing the file) can be deduped
// downstream: the machine that wrote it, the file's name and its modification time.
std::string AlertId(const Alert& alert, const AlertOrigin& origin);

// The whole RFC 5424 message, its texts as UTF-8: facility user, severity from uSeverity, the UTC
// time of the alert, HOSTNAME szComputerName, APP-NAME kxevent, MSGID the event number, every key
// and alertId as structured data under "kxalert@" and `enterpriseNumber`, szActualMessage as MSG
// (control characters escaped).
std::string FormatAlertMessage(const Alert& alert, const AlertOrigin& origin,
                               std::uint32_t enterpriseNumber = kSyslogDefaultEnterprise);

}  // namespace kx::collect
