// syslog_transport.h: delivering one formatted message: a datagram to the local syslog socket,
// a UDP datagram, or an octet-counted frame over a TCP connection.
#pragma once

#include <string>
#include <string_view>

#include "forwarders/syslog/syslog_settings.h"

namespace kx::fwd {

// Sends `message` as `settings` say; false with the reason in `error` when it did not go out.
// Never blocks for more than a few seconds on an unreachable collector.
bool SendSyslogMessage(const SyslogSettings& settings, std::string_view message,
                       std::string& error);

// This process's id as text, for the PROCID header field.
std::string ProcessIdText();

}  // namespace kx::fwd
