// alert_record.cpp: alert files as RFC 5424 messages.
#include "collector/alert_record.h"

#include <cstdio>

#include "common/rfc5424.h"
#include "common/utf8.h"
#include "platform/platform.h"

namespace kx::collect {

std::string AlertId(const Alert& alert, const AlertOrigin& origin) {
    char time[48];
    std::snprintf(time, sizeof time, "%lld.%09lld", static_cast<long long>(origin.mtimeSeconds),
                  static_cast<long long>(origin.mtimeNanoseconds));
    return ToUtf8(alert.Value("szComputerName")) + "/" + ToUtf8(origin.fileName) + "/" + time;
}

std::string FormatAlertMessage(const Alert& alert, const AlertOrigin& origin,
                               std::uint32_t enterpriseNumber) {
    // The six UTC time keys in the form the timestamp reader takes; an impossible time falls
    // back to now, as it does for FwdSyslog.
    const std::string when = alert.Value("uYear") + " " + alert.Value("uMonth") + " " +
                             alert.Value("uDay") + " " + alert.Value("uHour") + ":" +
                             alert.Value("uMinute") + ":" + alert.Value("uSecond");
    const std::string timestamp = Timestamp(when, plat::GetCalendarTime(false));
    Rfc5424Message out({.facility = 1,
                        .severity = SyslogSeverity(
                            static_cast<std::uint32_t>(std::stoul(alert.Value("uSeverity")))),
                        .timestamp = timestamp,
                        .hostname = alert.Value("szComputerName"),
                        .appName = "kxevent",
                        .procId = "-",
                        .msgId = alert.Value("uSpecificTrap")},
                       StructuredDataId(kAlertSdName, enterpriseNumber));
    out.Param("alertId", AlertId(alert, origin));
    for (const AlertValue& entry : alert.values) out.Param(entry.key, entry.value);
    return out.Finish(alert.Value(kAlertMultiLineKey));
}

}  // namespace kx::collect
