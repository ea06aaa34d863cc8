// rfc5424.h: one syslog message in the form of RFC 5424, as FwdSyslog sends an event and the
// collector an alert file: the header, one structured-data element and the message, each with
// its escaping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kx {

// Syslog severity (0 emergency .. 7 debug) of a record severity 0 (information) to 4
// (critical); anything else counts as a notice.
int SyslogSeverity(std::uint32_t recordSeverity);

// Whether the broken-down time is one a TIMESTAMP can carry (a leap second included).
bool IsValidSyslogTime(int year, int month, int day, int hour, int minute, int second);

// "YYYY-MM-DDTHH:MM:SSZ" from a "%4d %2d %2d %2d:%2d:%2d" UTC text, or from `now` when the text
// is not a valid time; "-" when neither is.
std::string Timestamp(std::string_view gmtTime, const plat::CalendarTime& now);

// A PARAM-VALUE: UTF-8, control characters escaped, '"', '\' and ']' escaped by a backslash.
std::string EscapeParamValue(std::string_view text);

// A header field of printable US-ASCII without spaces, at most `limit` characters; "-" when
// empty. Other characters become '_'.
std::string HeaderToken(std::string_view text, std::size_t limit);

// An SD-ID of our own: "NAME@" and the enterprise number.
std::string StructuredDataId(std::string_view name, std::uint32_t enterpriseNumber);

struct Rfc5424Header {
    int facility = 1;            // user-level
    int severity = 5;            // syslog severity, as SyslogSeverity gives it
    std::string_view timestamp;  // as Timestamp gives it
    std::string_view hostname;
    std::string_view appName;
    std::string_view procId;
    std::string_view msgId;
};

// Assembles one message, without transport framing: the header (every field a HeaderToken), one
// structured-data element with the parameters in the order they are added, then the message.
class Rfc5424Message {
  public:
    Rfc5424Message(const Rfc5424Header& header, std::string_view sdId);
    void Param(std::string_view name, std::string_view value);
    // The message ends with " ", a UTF-8 BOM and `text` as UTF-8 with its control characters
    // escaped (a line break would start a forged line in a plain-text log); nothing when `text`
    // is empty.
    std::string Finish(std::string_view text);

  private:
    std::string out_;
};

}  // namespace kx
