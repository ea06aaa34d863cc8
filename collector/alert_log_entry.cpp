// alert_log_entry.cpp: an alert file as an event-log entry.
#include "collector/alert_log_entry.h"

#include <charconv>

#include "common/utf8.h"
#include "platform/eventlog_ids.h"

namespace kx::collect {

namespace {

constexpr std::string_view kCut = " [cut]";

// Cut to the event log's limit at the start of a UTF-8 character.
std::string Bounded(std::string text) {
    if (text.size() <= kMaxInsertionString) return text;
    std::size_t end = kMaxInsertionString - kCut.size();
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text += kCut;
}

std::uint64_t Number(const std::string& digits) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return error == std::errc() && end == digits.data() + digits.size() ? value : UINT64_MAX;
}

AlertLogLevel LevelOf(std::uint64_t severity) {
    if (severity == 3 || severity == 4) return AlertLogLevel::Error;
    return severity == 2 ? AlertLogLevel::Warning : AlertLogLevel::Information;
}

}  // namespace

AlertLogEntry FormatAlertLogEntry(const Alert& alert, const AlertOrigin& origin) {
    AlertLogEntry entry;
    const std::uint64_t event = Number(alert.Value("uSpecificTrap"));
    entry.id = event <= KX_EVENT_ALERTS_HIGHEST_ID ? static_cast<std::uint32_t>(event) : 0;
    entry.level = LevelOf(Number(alert.Value("uSeverity")));
    const std::string alertId = AlertId(alert, origin);
    std::string text = ToUtf8(alert.Value(kAlertMultiLineKey)) + "\r\n";
    for (const AlertValue& value : alert.values) {
        if (value.key == kAlertMultiLineKey) continue;
        text += "\r\n" + std::string(value.key) + ": " + ToUtf8(value.value);
    }
    text += "\r\nalertId: " + alertId;
    entry.strings.push_back(Bounded(std::move(text)));
    for (const AlertValue& value : alert.values)
        entry.strings.push_back(Bounded(ToUtf8(value.value)));
    entry.strings.push_back(Bounded(alertId));
    return entry;
}

}  // namespace kx::collect
