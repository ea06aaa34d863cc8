// syslog_settings.h: where FwdSyslog sends its messages, read from its own registry key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/syslog_names.h"

namespace kx::fwd {

using kx::kSyslogSettingsKey;
using Transport = SyslogTransport;

struct SyslogSettings {
    Transport transport = Transport::Local;
    // Local: the journal's own socket when it exists (an empty setting never uses it), else the
    // traditional syslog socket.
    std::string journalSocketPath = "/run/systemd/journal/socket";
    std::string socketPath = "/dev/log";
    std::string host = "127.0.0.1";  // Udp, Tcp
    std::uint16_t port = 514;
    int facility = 1;  // user-level
    std::string appName = "kxevent";
    std::uint32_t enterpriseNumber = kSyslogDefaultEnterprise;  // of the structured-data id
};

// Facility by name ("user", "local0", ...) or number 0 to 23; -1 when neither.
inline int ParseFacility(std::string_view text) {
    return SyslogFacilityByName(text);
}

// The settings of the key; a missing key or value keeps its default. A value that cannot be
// understood (unknown transport or facility, port or
// enterprise number out of range) is reported in `problem` and the whole
// configuration counts as unusable.
bool ReadSyslogSettings(SyslogSettings& settings, std::string& problem);

}  // namespace kx::fwd
