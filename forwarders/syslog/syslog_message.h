// syslog_message.h: one event as one syslog message. For the network: RFC 5424, header from the
// records, every record field as a structured-data parameter, the expanded description as the
// message. For the local socket: the traditional header its readers parse, or one entry of the
// journal's native protocol with every record field as a field of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/rfc5424.h"
#include "common/syslog_names.h"
#include "kxevent/kxevent.h"
#include "platform/platform.h"

namespace kx::fwd {

struct MessageHeader {
    int facility = 1;  // user-level
    std::string appName = "kxevent";
    std::string procId = "-";
    std::uint32_t enterpriseNumber = kSyslogDefaultEnterprise;
};

// The structured-data id of the event parameters: "kxevent@" and the enterprise number.
std::string StructuredDataId(std::uint32_t enterpriseNumber);

// The message's parts, shared with the collector.
using kx::EscapeParamValue;
using kx::HeaderToken;
using kx::SyslogSeverity;
using kx::Timestamp;

// The whole message, without transport framing.
std::string FormatMessage(std::uint32_t productId, std::int32_t eventId,
                          const MessageRecord& message, const DetailRecord& detail,
                          const MessageHeader& header, const plat::CalendarTime& now);

// The traditional form local-socket readers parse: "<PRI>Mmm dd hh:mm:ss TAG[PID]: TEXT", the
// time stamp local, the text the description with control characters escaped (or "event N"
// when it is empty).
std::string FormatTraditionalMessage(std::int32_t eventId, const MessageRecord& message,
                                     const MessageHeader& header,
                                     const plat::CalendarTime& localNow);

// MESSAGE_ID of the event: 128 bits as 32 lower-case hex digits, a fixed base of our own whose
// last 64 bits are the product and the event number.
std::string JournalMessageId(std::uint32_t productId, std::int32_t eventId);

// One entry of the journal's native protocol: "NAME=value\n" lines, and for a value holding a
// newline "NAME\n", its length as 64-bit little-endian, the value and "\n". MESSAGE,
// MESSAGE_ID, PRIORITY, SYSLOG_FACILITY, SYSLOG_IDENTIFIER, SYSLOG_PID, and every record field
// that the RFC 5424 message carries as KXEVENT_ and its name in upper case.
std::string FormatJournalEntry(std::uint32_t productId, std::int32_t eventId,
                               const MessageRecord& message, const DetailRecord& detail,
                               const MessageHeader& header);

// TCP framing by octet counting: "LENGTH SP MESSAGE".
std::string OctetCountingFrame(std::string_view message);

}  // namespace kx::fwd
