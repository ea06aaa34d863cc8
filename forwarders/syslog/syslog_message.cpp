// syslog_message.cpp: formatting events as RFC 5424 messages.
#include "forwarders/syslog/syslog_message.h"

#include <cstdio>

#include "common/text.h"
#include "tools/kxevent/record_fields.h"

namespace kx::fwd {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::size_t Utf8SequenceAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    if (lead >= 0xE0 && lead <= 0xEF) length = 3;
    if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    if (length == 0 || at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

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

std::string ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t length = Utf8SequenceAt(text, i)) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++i;
        }
    }
    return out;
}

std::string EscapeParamValue(std::string_view text) {
    std::string out;
    for (char c : ToUtf8(text)) {
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
        out += ToUtf8(description);
    }
    return out;
}

std::string OctetCountingFrame(std::string_view message) {
    return std::to_string(message.size()) + " " + std::string(message);
}

}  // namespace kx::fwd
