// rfc5424.cpp: the header, structured data and message of one RFC 5424 message.
#include "common/rfc5424.h"

#include <cstdio>
#include <utility>

#include "common/utf8.h"

namespace kx {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string FormatTime(int year, int month, int day, int hour, int minute, int second) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day, hour,
                  minute, second == 60 ? 59 : second);
    return text;
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

bool IsValidSyslogTime(int year, int month, int day, int hour, int minute, int second) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= 31 &&
           hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 60;
}

std::string Timestamp(std::string_view gmtTime, const plat::CalendarTime& now) {
    const std::string text(gmtTime);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char rest = 0;
    const int fields = std::sscanf(text.c_str(), "%d %d %d %d:%d:%d%c", &year, &month, &day, &hour,
                                   &minute, &second, &rest);
    if (fields == 6 && IsValidSyslogTime(year, month, day, hour, minute, second)) {
        return FormatTime(year, month, day, hour, minute, second);
    }
    if (!IsValidSyslogTime(now.year, now.month, now.day, now.hour, now.minute, now.second)) {
        return "-";
    }
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

std::string StructuredDataId(std::string_view name, std::uint32_t enterpriseNumber) {
    return std::string(name) + "@" + std::to_string(enterpriseNumber);
}

Rfc5424Message::Rfc5424Message(const Rfc5424Header& header, std::string_view sdId) {
    out_ = "<" + std::to_string(header.facility * 8 + header.severity) + ">1 ";
    out_ += header.timestamp;
    out_ += ' ';
    out_ += HeaderToken(header.hostname, 255) + " ";
    out_ += HeaderToken(header.appName, 48) + " ";
    out_ += HeaderToken(header.procId, 128) + " ";
    out_ += HeaderToken(header.msgId, 32) + " [";
    out_ += sdId;
}

void Rfc5424Message::Param(std::string_view name, std::string_view value) {
    out_ += ' ';
    out_ += name;
    out_ += "=\"";
    out_ += EscapeParamValue(value);
    out_ += '"';
}

std::string Rfc5424Message::Finish(std::string_view text) {
    out_ += ']';
    if (!text.empty()) {
        out_ += ' ';
        out_ += kUtf8Bom;
        out_ += EscapeControls(ToUtf8(text));
    }
    return std::move(out_);
}

}  // namespace kx
