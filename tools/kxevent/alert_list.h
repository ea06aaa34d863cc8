// alert_list.h: the alerts waiting in an alerting directory, one summary each, for "kxevent
// alert list" and "alert show --follow". The files are found and read through WaitingAlerts and
// ReadAlert alone, so that the listing and its parser can be swapped in one place.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/kxevent/alert_file.h"

namespace kx::tool {

// The alerting directory the registry in use names ("Centralized Alerting Path"), as collect
// takes it without --dir: the registry chosen as for a send, refused as the library refuses it,
// but never installed. Throws RuntimeError.
std::filesystem::path RegistryAlertingDirectory();

// The finished alert files of `directory`, lowest number first (a name that is no number after
// them, by name). Throws RuntimeError when the directory cannot be listed.
std::vector<std::filesystem::path> WaitingAlerts(const std::filesystem::path& directory);

// One alert file, parsed strictly. Throws RuntimeError naming the file (and the line).
AlertFile ReadAlert(const std::filesystem::path& file);

struct AlertSummary {
    std::string file;
    std::string number;  // the file's name without .ALR: "00000005"
    std::string time;    // UTC, from the alert's own fields: "2026-12-09T22:50:01Z"
    std::uint32_t event = 0;
    std::uint32_t severity = 0;
    std::string virus;
    std::string item;
};

AlertSummary Summarize(const AlertFile& alert, const std::filesystem::path& file);

// The summaries as a table: a heading line, then one line per alert, columns aligned; texts
// shown with their controls escaped.
std::string FormatAlertList(const std::vector<AlertSummary>& alerts);

// One summary as one JSON object on one line.
std::string AlertSummaryJson(const AlertSummary& alert);

}  // namespace kx::tool
