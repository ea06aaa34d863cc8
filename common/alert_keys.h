// alert_keys.h: the keys of a central alert file, in the order the file holds them, and which of
// them carry numbers. Every reader of alert files (the kxevent command, the collector) parses by
// this one list.
#pragma once

#include <array>
#include <string_view>

namespace kx {

struct AlertKeyName {
    std::string_view name;
    bool number;
};

// The 27 keys of an alert file, in file order.
inline constexpr std::array<AlertKeyName, 27> kAlertKeys = {{
    {"uFileVersion", true},
    {"uStatus", true},
    {"szVirusName", false},
    {"szItemName", false},
    {"szUserName", false},
    {"szSoftware", false},
    {"szSoftwareVersion", false},
    {"szComputerName", false},
    {"uYear", true},
    {"uMonth", true},
    {"uDay", true},
    {"uHour", true},
    {"uMinute", true},
    {"uSecond", true},
    {"szAlertPath", false},
    {"uSeverity", true},
    {"szSourceIP", false},
    {"uMessageID", true},
    {"szTaskName", false},
    {"szGMTTime", false},
    {"szOS", false},
    {"szEngineVersion", false},
    {"szDatVersion", false},
    {"dwWinStaClientID", true},
    {"pszWinStaClientName", false},
    {"uSpecificTrap", true},
    {"szActualMessage", false},
}};

}  // namespace kx
