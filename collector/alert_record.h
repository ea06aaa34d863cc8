// alert_record.h: one central alert file as the collector sees it: a strict parse of the bytes
// the library writes, and the RFC 5424 message that carries it to the log engine.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx::collect {

// Alert files are small (the longest line the library writes is under 4 KiB); anything larger
// is not one of them.
inline constexpr std::size_t kMaxAlertFileSize = 64 * 1024;

// The structured-data id under which every key of the file travels.
inline constexpr std::string_view kAlertSdId = "kxalert@32473";

struct AlertValue {
    std::string_view key;
    bool number;
    std::string value;  // valid UTF-8; szActualMessage keeps its inner CR LF
};

struct Alert {
    std::vector<AlertValue> values;  // the 27 keys in file order
    const std::string& Value(std::string_view key) const;
};

// Why a file is not an alert file: the 1-based line where it went wrong and the reason.
struct ParseFailure {
    int line = 0;
    std::string reason;
};

// Parses the exact layout: "[CentralAlert]", 26 single-line keys in their order, then
// szActualMessage up to the end of the file; every line ends with CR LF. Texts are converted to
// UTF-8. On failure returns nullopt and fills `failure`.
std::optional<Alert> ParseAlert(std::string_view content, ParseFailure& failure);

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

// The whole RFC 5424 message: facility user, severity from uSeverity, the UTC time of the
// alert, HOSTNAME szComputerName, APP-NAME kxevent, MSGID the event number, every key and
// alertId as structured data, szActualMessage as MSG (control characters escaped).
std::string FormatAlertMessage(const Alert& alert, const AlertOrigin& origin);

}  // namespace kx::collect
