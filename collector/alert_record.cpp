// alert_record.cpp: parsing alert files and formatting them as RFC 5424 messages.
#include "collector/alert_record.h"

#include <cstdio>

#include "common/alert_keys.h"
#include "common/utf8.h"
#include "forwarders/syslog/syslog_message.h"
#include "platform/platform.h"

namespace kx::collect {

namespace {

constexpr std::string_view kSection = "[CentralAlert]\r\n";
constexpr std::string_view kLastKey = "szActualMessage";

// The library writes numbers with "%lu": decimal digits, no sign, no leading zero.
bool IsCanonicalNumber(std::string_view text) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= 0xFFFFFFFFu;
}

std::optional<Alert> Fail(ParseFailure& failure, int line, std::string reason) {
    failure.line = line;
    failure.reason = std::move(reason);
    return std::nullopt;
}

std::uint32_t NumberOf(const Alert& alert, std::string_view key) {
    return static_cast<std::uint32_t>(std::stoul(alert.Value(key)));
}

}  // namespace

const std::string& Alert::Value(std::string_view key) const {
    for (const AlertValue& entry : values) {
        if (entry.key == key) return entry.value;
    }
    static const std::string empty;
    return empty;
}

std::optional<Alert> ParseAlert(std::string_view content, ParseFailure& failure) {
    if (content.size() > kMaxAlertFileSize) {
        return Fail(failure, 0, "the file is larger than 64 KiB");
    }
    if (content.find('\0') != std::string_view::npos) {
        const auto at = content.find('\0');
        int line = 1;
        for (std::size_t i = 0; i < at; ++i) line += content[i] == '\n';
        return Fail(failure, line, "the file holds a NUL byte");
    }
    if (!content.starts_with(kSection)) {
        return Fail(failure, 1, "expected the section line [CentralAlert] ended by CR LF");
    }
    Alert alert;
    std::size_t at = kSection.size();
    int line = 2;
    for (const AlertKeyName& key : kAlertKeys) {
        const std::string prefix = std::string(key.name) + "=";
        if (content.substr(at, prefix.size()) != prefix) {
            return Fail(failure, line, "expected the key " + std::string(key.name));
        }
        const std::size_t begin = at + prefix.size();
        std::string_view value;
        if (key.name == kLastKey) {
            // The description may itself hold line breaks: it runs to the file's last CR LF.
            if (!content.ends_with("\r\n") || content.size() < begin + 2) {
                return Fail(failure, line, "szActualMessage is not ended by CR LF");
            }
            value = content.substr(begin, content.size() - 2 - begin);
            at = content.size();
        } else {
            const std::size_t end = content.find('\n', begin);
            if (end == std::string_view::npos) {
                return Fail(failure, line, "the line has no line end; the file is incomplete");
            }
            if (end == begin || content[end - 1] != '\r') {
                return Fail(failure, line, "the line ends with LF alone, not CR LF");
            }
            value = content.substr(begin, end - 1 - begin);
            if (value.find('\r') != std::string_view::npos) {
                return Fail(failure, line, "a CR inside the value of " + std::string(key.name));
            }
            at = end + 1;
        }
        if (key.number && !IsCanonicalNumber(value)) {
            return Fail(failure, line, std::string(key.name) + " needs an unsigned 32-bit number");
        }
        alert.values.push_back(
            {key.name, key.number, key.number ? std::string(value) : ToUtf8(value)});
        ++line;
    }
    return alert;
}

std::string AlertId(const Alert& alert, const AlertOrigin& origin) {
    char time[48];
    std::snprintf(time, sizeof time, "%lld.%09lld", static_cast<long long>(origin.mtimeSeconds),
                  static_cast<long long>(origin.mtimeNanoseconds));
    return alert.Value("szComputerName") + "/" + ToUtf8(origin.fileName) + "/" + time;
}

std::string FormatAlertMessage(const Alert& alert, const AlertOrigin& origin) {
    const int priority = 1 * 8 + fwd::SyslogSeverity(NumberOf(alert, "uSeverity"));
    // The six UTC time keys in the form the forwarder's timestamp reader takes; an impossible
    // time falls back to now, as it does there.
    const std::string when = alert.Value("uYear") + " " + alert.Value("uMonth") + " " +
                             alert.Value("uDay") + " " + alert.Value("uHour") + ":" +
                             alert.Value("uMinute") + ":" + alert.Value("uSecond");
    std::string out = "<" + std::to_string(priority) + ">1 ";
    out += fwd::Timestamp(when, plat::GetCalendarTime(false)) + " ";
    out += fwd::HeaderToken(alert.Value("szComputerName"), 255) + " kxevent - ";
    out += fwd::HeaderToken(alert.Value("uSpecificTrap"), 32) + " [";
    out += kAlertSdId;
    out += " alertId=\"" + fwd::EscapeParamValue(AlertId(alert, origin)) + "\"";
    for (const AlertValue& entry : alert.values) {
        out += ' ';
        out += entry.key;
        out += "=\"" + fwd::EscapeParamValue(entry.value) + "\"";
    }
    out += "]";
    // Its line breaks and other control characters escaped, as FwdSyslog writes a description:
    // raw, a line break would start a forged line in any plain-text file the log engine writes.
    const std::string& message = alert.Value(kLastKey);
    if (!message.empty()) out += " \xEF\xBB\xBF" + EscapeControls(message);
    return out;
}

}  // namespace kx::collect
