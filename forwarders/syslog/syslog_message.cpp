// syslog_message.cpp: formatting events as RFC 5424 messages.
#include "forwarders/syslog/syslog_message.h"

#include <cstdio>

#include "common/record_fields.h"
#include "common/text.h"
#include "common/utf8.h"

namespace kx::fwd {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool ValidTime(int year, int month, int day, int hour, int minute, int second) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= 31 &&
           hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 60;
}

std::string FormatTime(int year, int month, int day, int hour, int minute, int second) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day, hour,
                  minute, second == 60 ? 59 : second);
    return text;
}

void AppendParam(std::string& out, std::string_view name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    out += EscapeParamValue(value);
    out += '"';
}

std::string StructuredData(std::uint32_t productId, std::int32_t eventId,
                           const MessageRecord& message, const DetailRecord& detail) {
    std::string out = "[" + std::string(kStructuredDataId);
    AppendParam(out, "uProductID", std::to_string(productId));
    AppendParam(out, "uEventID", std::to_string(eventId));
    for (const fields::FieldInfo& field : fields::kRecordFields) {
        if (field.kind == fields::Kind::Reserved || field.name == "szLongDescript") continue;
        if (field.kind == fields::Kind::Number) {
            AppendParam(out, field.name,
                        std::to_string(fields::NumberValue(field, message, detail)));
            continue;
        }
        const std::string_view text = fields::TextValue(field, message, detail);
        if (!text.empty()) AppendParam(out, field.name, text);
    }
    return out + "]";
}

}  // namespace

int SyslogSeverity(std::uint32_t recordSeverity) {
    switch (recordSeverity) {
        case 0:
            return 6;  // informational
        case 1:
            return 5;  // notice
        case 2:
            return 4;  // warning
        case 3:
            return 3;  // error
        case 4:
            return 2;  // critical
        default:
            return 5;
    }
}

std::string Timestamp(std::string_view gmtTime, const plat::CalendarTime& now) {
    const std::string text(gmtTime);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char rest = 0;
    const int fields = std::sscanf(text.c_str(), "%d %d %d %d:%d:%d%c", &year, &month, &day, &hour,
                                   &minute, &second, &rest);
    if (fields == 6 && ValidTime(year, month, day, hour, minute, second)) {
        return FormatTime(year, month, day, hour, minute, second);
    }
    if (!ValidTime(now.year, now.month, now.day, now.hour, now.minute, now.second)) return "-";
    return FormatTime(now.year, now.month, now.day, now.hour, now.minute, now.second);
}

std::string EscapeParamValue(std::string_view text) {
    std::string out;
    for (char c : EscapeControls(ToUtf8(text))) {
        if (c == '"' || c == '\\' || c == ']') out += '\\';
        out += c;
    }
    return out;
}

std::string HeaderToken(std::string_view text, std::size_t limit) {
    std::string out;
    for (char c : text.substr(0, limit)) {
        const auto byte = static_cast<unsigned char>(c);
        out += (byte >= 33 && byte <= 126) ? c : '_';
    }
    return out.empty() ? "-" : out;
}

std::string FormatMessage(std::uint32_t productId, std::int32_t eventId,
                          const MessageRecord& message, const DetailRecord& detail,
                          const MessageHeader& header, const plat::CalendarTime& now) {
    const int priority = header.facility * 8 + SyslogSeverity(message.uSeverity);
    std::string out = "<" + std::to_string(priority) + ">1 ";
    out += Timestamp(FieldText(message.szGMTTime), now) + " ";
    out += HeaderToken(FieldText(message.szComputerName), 255) + " ";
    out += HeaderToken(header.appName, 48) + " ";
    out += HeaderToken(header.procId, 128) + " ";
    out += HeaderToken(std::to_string(eventId), 32) + " ";
    out += StructuredData(productId, eventId, message, detail);
    const std::string_view description = FieldText(message.szLongDescript);
    if (!description.empty()) {
        out += ' ';
        out += kUtf8Bom;
        out += EscapeControls(ToUtf8(description));
    }
    return out;
}

std::string OctetCountingFrame(std::string_view message) {
    return std::to_string(message.size()) + " " + std::string(message);
}

}  // namespace kx::fwd
