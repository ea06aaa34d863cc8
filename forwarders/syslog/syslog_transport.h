// syslog_transport.h: delivering one formatted message: a datagram to the local syslog socket
// or to the journal's socket, a UDP datagram, or an octet-counted frame over a TCP connection.
#pragma once

#include <string>
#include <string_view>

#include "forwarders/syslog/syslog_settings.h"

namespace kx::fwd {

// Sends `message` as `settings` say; false with the reason in `error` when it did not go out.
// Never blocks for more than a few seconds on an unreachable collector.
bool SendSyslogMessage(const SyslogSettings& settings, std::string_view message,
                       std::string& error);

// Whether `path` names a socket, so that the local transport speaks the journal's protocol.
bool JournalSocketPresent(const std::string& path);

// Sends one native-protocol entry to the journal's socket as one datagram, or through a sealed
// memory file passed along the socket when the entry is too large for a datagram.
bool SendJournalEntry(const std::string& path, std::string_view entry, std::string& error);
// The memory-file form alone.
bool SendJournalEntryThroughFile(const std::string& path, std::string_view entry,
                                 std::string& error);

// Keeps the module mapped until the process ends, so that what it has already reported
// survives the unload after each send.
void KeepModuleLoaded();

// This process's id as text, for the PROCID header field.
std::string ProcessIdText();

}  // namespace kx::fwd
