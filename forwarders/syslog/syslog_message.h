// syslog_message.h: one event as one RFC 5424 syslog message: header from the records, every
// record field as a structured-data parameter, the expanded description as the message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kxevent/kxevent.h"
#include "platform/platform.h"

namespace kx::fwd {

// The structured-data id of the event parameters (an enterprise-number style id of our own).
inline constexpr std::string_view kStructuredDataId = "kxevent@32473";

struct MessageHeader {
    int facility = 1;  // user-level
    std::string appName = "kxevent";
    std::string procId = "-";
};

// Syslog severity (0 emergency .. 7 debug) of a record severity 0 (information) to 4
// (critical); anything else counts as a notice.
int SyslogSeverity(std::uint32_t recordSeverity);

// "YYYY-MM-DDTHH:MM:SSZ" from the record's "%4d %2d %2d %2d:%2d:%2d" UTC text, or from `now`
// when the text is not a valid time.
std::string Timestamp(std::string_view gmtTime, const plat::CalendarTime& now);

// A PARAM-VALUE: UTF-8, with '"', '\' and ']' escaped by a backslash.
std::string EscapeParamValue(std::string_view text);

// A header field of printable US-ASCII without spaces, at most `limit` characters; "-" when
// empty. Other characters become '_'.
std::string HeaderToken(std::string_view text, std::size_t limit);

// The whole message, without transport framing.
std::string FormatMessage(std::uint32_t productId, std::int32_t eventId,
                          const MessageRecord& message, const DetailRecord& detail,
                          const MessageHeader& header, const plat::CalendarTime& now);

// TCP framing by octet counting: "LENGTH SP MESSAGE".
std::string OctetCountingFrame(std::string_view message);

}  // namespace kx::fwd
