// syslog_settings.h: where FwdSyslog sends its messages, read from its own registry key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kx::fwd {

inline constexpr char kSyslogSettingsKey[] =
    "Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding\\Syslog";

enum class Transport { Local, Udp, Tcp };

struct SyslogSettings {
    Transport transport = Transport::Local;
    std::string socketPath = "/dev/log";  // Local
    std::string host = "127.0.0.1";       // Udp, Tcp
    std::uint16_t port = 514;
    int facility = 1;  // user-level
    std::string appName = "kxevent";
};

// Facility by name ("user", "local0", ...) or number 0 to 23; -1 when neither.
int ParseFacility(std::string_view text);

// The settings of the key; a missing key or value keeps its default. A value that cannot be
// understood (unknown transport, port out of range) is reported in `problem` and the whole
// configuration counts as unusable.
bool ReadSyslogSettings(SyslogSettings& settings, std::string& problem);

}  // namespace kx::fwd
