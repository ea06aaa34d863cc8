// syslog_names.h: FwdSyslog's registry key, its value names and the transports and facilities it
// understands, spelled once for the module that reads them and the command that refuses
// anything else before it is written.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/names.h"

namespace kx {

inline constexpr char kSyslogSettingsKey[] =
    "Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding\\Syslog";

inline constexpr char kSyslogTransportValue[] = "Transport";
inline constexpr char kSyslogFacilityValue[] = "Facility";
inline constexpr char kSyslogPortValue[] = "Port";
inline constexpr char kSyslogEnterpriseValue[] = "EnterpriseNumber";

// The documentation enterprise number, in the structured-data id until a site sets its own.
inline constexpr std::uint32_t kSyslogDefaultEnterprise = 32473;

// The numbers the module takes, stored as a dword or as decimal text.
struct SyslogNumberRange {
    std::uint32_t lowest;
    std::uint32_t highest;
    constexpr bool Holds(std::uint32_t number) const {
        return number >= lowest && number <= highest;
    }
};
inline constexpr SyslogNumberRange kSyslogPortRange{1, 65535};
inline constexpr SyslogNumberRange kSyslogEnterpriseRange{1, 999999999};

enum class SyslogTransport { Local, Udp, Tcp };

inline constexpr std::array<std::pair<std::string_view, SyslogTransport>, 3> kSyslogTransports = {{
    {"local", SyslogTransport::Local},
    {"udp", SyslogTransport::Udp},
    {"tcp", SyslogTransport::Tcp},
}};

inline constexpr int kSyslogHighestFacility = 23;
inline constexpr std::array<std::pair<std::string_view, int>, 20> kSyslogFacilities = {{
    {"kern", 0},      {"user", 1},    {"mail", 2},    {"daemon", 3},  {"auth", 4},
    {"syslog", 5},    {"lpr", 6},     {"news", 7},    {"uucp", 8},    {"cron", 9},
    {"authpriv", 10}, {"ftp", 11},    {"local0", 16}, {"local1", 17}, {"local2", 18},
    {"local3", 19},   {"local4", 20}, {"local5", 21}, {"local6", 22}, {"local7", 23},
}};

// Decimal digits only, at most nine of them, so that the value always fits.
constexpr std::optional<std::uint32_t> ParseSyslogDecimal(std::string_view text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value;
}

// The transport of a name, in any case.
constexpr std::optional<SyslogTransport> SyslogTransportByName(std::string_view text) {
    for (const auto& [name, transport] : kSyslogTransports) {
        if (SameNameIgnoringCase(name, text)) return transport;
    }
    return std::nullopt;
}

// The name a transport is spelled with in the registry.
constexpr std::string_view SyslogTransportName(SyslogTransport transport) {
    for (const auto& [name, each] : kSyslogTransports) {
        if (each == transport) return name;
    }
    return {};
}

// Facility by name, in any case, or by number 0 to 23; -1 when neither.
constexpr int SyslogFacilityByName(std::string_view text) {
    for (const auto& [name, code] : kSyslogFacilities) {
        if (SameNameIgnoringCase(name, text)) return code;
    }
    const auto number = ParseSyslogDecimal(text);
    return number && *number <= kSyslogHighestFacility ? static_cast<int>(*number) : -1;
}

// "local, udp, tcp": for messages that say what would have been accepted.
inline std::string SyslogTransportList() {
    std::string out;
    for (const auto& entry : kSyslogTransports) {
        out += (out.empty() ? "" : ", ") + std::string(entry.first);
    }
    return out;
}

inline std::string SyslogFacilityList() {
    std::string out;
    for (const auto& entry : kSyslogFacilities) {
        out += (out.empty() ? "" : ", ") + std::string(entry.first);
    }
    return out + " or a number from 0 to " + std::to_string(kSyslogHighestFacility);
}

}  // namespace kx
