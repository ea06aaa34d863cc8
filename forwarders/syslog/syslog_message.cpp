// syslog_message.cpp: formatting events as RFC 5424 messages.
#include "forwarders/syslog/syslog_message.h"

#include <cstdio>

#include "common/record_fields.h"
#include "common/text.h"
#include "common/utf8.h"

namespace kx::fwd {

namespace {

// Every record field the messages carry, by its record name, in record order after the product
// and event numbers, texts as the record holds them; empty texts and the description (which is
// the message itself) left out.
template <typename Visit>
void ForEachParameter(std::uint32_t productId, std::int32_t eventId, const MessageRecord& message,
                      const DetailRecord& detail, Visit visit) {
    visit("uProductID", std::to_string(productId));
    visit("uEventID", std::to_string(eventId));
    for (const fields::FieldInfo& field : fields::kRecordFields) {
        if (field.kind == fields::Kind::Reserved || field.name == "szLongDescript") continue;
        if (field.kind == fields::Kind::Number) {
            visit(field.name, std::to_string(fields::NumberValue(field, message, detail)));
            continue;
        }
        const std::string_view text = fields::TextValue(field, message, detail);
        if (!text.empty()) visit(field.name, text);
    }
}

// The description as one line of text, or the event's number when there is none.
std::string MessageText(std::int32_t eventId, const MessageRecord& message) {
    const std::string_view description = FieldText(message.szLongDescript);
    if (description.empty()) return "event " + std::to_string(eventId);
    return ToUtf8(description);
}

// A tag of letters, digits and the punctuation that cannot end it early (no ':', '[', ']').
std::string TraditionalTag(std::string_view appName) {
    std::string out;
    for (char c : appName.substr(0, 32)) {
        const auto byte = static_cast<unsigned char>(c);
        const bool breaksTag = c == ':' || c == '[' || c == ']';
        out += (byte >= 33 && byte <= 126 && !breaksTag) ? c : '_';
    }
    return out.empty() ? "kxevent" : out;
}

void AppendJournalField(std::string& out, std::string_view name, std::string_view value) {
    out += name;
    if (value.find('\n') == std::string_view::npos) {
        out += '=';
        out += value;
        out += '\n';
        return;
    }
    out += '\n';
    std::uint64_t length = value.size();
    for (int i = 0; i < 8; ++i, length >>= 8) out += static_cast<char>(length & 0xFF);
    out += value;
    out += '\n';
}

// "KXEVENT_" and the record name in upper case; journal field names allow A-Z, 0-9 and '_'.
std::string JournalFieldName(std::string_view recordName) {
    std::string out = "KXEVENT_";
    for (char c : recordName) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        out += ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) ? c : '_';
    }
    return out.substr(0, 64);
}

}  // namespace

std::string FormatMessage(std::uint32_t productId, std::int32_t eventId,
                          const MessageRecord& message, const DetailRecord& detail,
                          const MessageHeader& header, const plat::CalendarTime& now) {
    const std::string timestamp = Timestamp(FieldText(message.szGMTTime), now);
    const std::string msgId = std::to_string(eventId);
    Rfc5424Message out({.facility = header.facility,
                        .severity = SyslogSeverity(message.uSeverity),
                        .timestamp = timestamp,
                        .hostname = FieldText(message.szComputerName),
                        .appName = header.appName,
                        .procId = header.procId,
                        .msgId = msgId},
                       StructuredDataId(header.enterpriseNumber));
    ForEachParameter(
        productId, eventId, message, detail,
        [&](std::string_view name, std::string_view value) { out.Param(name, value); });
    return out.Finish(FieldText(message.szLongDescript));
}

std::string StructuredDataId(std::uint32_t enterpriseNumber) {
    return kx::StructuredDataId("kxevent", enterpriseNumber);
}

std::string FormatTraditionalMessage(std::int32_t eventId, const MessageRecord& message,
                                     const MessageHeader& header,
                                     const plat::CalendarTime& localNow) {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const plat::CalendarTime& t = localNow;
    const bool valid = IsValidSyslogTime(t.year, t.month, t.day, t.hour, t.minute, t.second);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d", kMonths[valid ? t.month - 1 : 0],
                  valid ? t.day : 1, valid ? t.hour : 0, valid ? t.minute : 0,
                  valid ? (t.second == 60 ? 59 : t.second) : 0);
    const int priority = header.facility * 8 + SyslogSeverity(message.uSeverity);
    return "<" + std::to_string(priority) + ">" + stamp + " " + TraditionalTag(header.appName) +
           "[" + HeaderToken(header.procId, 16) +
           "]: " + EscapeControls(MessageText(eventId, message));
}

std::string JournalMessageId(std::uint32_t productId, std::int32_t eventId) {
    char text[40];
    std::snprintf(text, sizeof text, "6b78657665e24a1f%08x%08x", productId,
                  static_cast<std::uint32_t>(eventId));
    return text;
}

std::string FormatJournalEntry(std::uint32_t productId, std::int32_t eventId,
                               const MessageRecord& message, const DetailRecord& detail,
                               const MessageHeader& header) {
    std::string out;
    AppendJournalField(out, "MESSAGE", MessageText(eventId, message));
    AppendJournalField(out, "MESSAGE_ID", JournalMessageId(productId, eventId));
    AppendJournalField(out, "PRIORITY", std::to_string(SyslogSeverity(message.uSeverity)));
    AppendJournalField(out, "SYSLOG_FACILITY", std::to_string(header.facility));
    AppendJournalField(out, "SYSLOG_IDENTIFIER", TraditionalTag(header.appName));
    AppendJournalField(out, "SYSLOG_PID", header.procId);
    ForEachParameter(productId, eventId, message, detail,
                     [&](std::string_view name, std::string_view value) {
                         AppendJournalField(out, JournalFieldName(name), ToUtf8(value));
                     });
    return out;
}

std::string OctetCountingFrame(std::string_view message) {
    return std::to_string(message.size()) + " " + std::string(message);
}

}  // namespace kx::fwd
