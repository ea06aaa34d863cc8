// alert_list.cpp: summaries of the waiting alerts.
#include "tools/kxevent/alert_list.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>

#include "common/registry.h"
#include "common/severity.h"
#include "common/utf8.h"
#include "platform/platform.h"
#include "tools/admin/errors.h"
#include "tools/admin/registry_files.h"
#include "tools/kxevent/json_line.h"

namespace kx::tool {

namespace fs = std::filesystem;

namespace {

std::uint32_t NumberField(const AlertFile& alert, std::string_view key) {
    const std::string* text = alert.Find(key);
    std::uint32_t value = 0;
    if (text != nullptr) std::from_chars(text->data(), text->data() + text->size(), value);
    return value;  // the parser has checked every number field
}

std::string TextField(const AlertFile& alert, std::string_view key) {
    const std::string* text = alert.Find(key);
    return text ? *text : std::string();
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text;
}

// The alerting directory the machine's own registry names (Windows).
fs::path LiveAlertingDirectory(const RegistryChoice& registry) {
    const AlertSettings settings = ReadAlertSettings(LoadRegistryChoice(registry));
    if (!settings.directory) {
        throw RuntimeError("no directory given and " + registry.file.string() +
                           " names no \"Centralized Alerting Path\" under HKEY_LOCAL_MACHINE\\" +
                           kAlertingKey);
    }
    return *settings.directory;
}

}  // namespace

fs::path RegistryAlertingDirectory() {
    // Only reads: a per-user default not yet installed has no alerting directory either.
    const RegistryChoice registry = FindRegistry();
    std::error_code error;
    if (registry.live) return LiveAlertingDirectory(registry);
    if (!fs::exists(registry.file, error)) {
        throw RuntimeError("no directory given and the registry file " + registry.file.string() +
                           " does not exist");
    }
    SetEnvironment("VEL_REGISTRY", registry.file.string());
    char refusal[1024];
    if (plat::RegistryRefusal(refusal, sizeof refusal) != 0) throw RuntimeError(refusal);
    const AlertSettings settings = ReadAlertSettings(registry.file);
    if (!settings.directory) {
        throw RuntimeError("no directory given and " + registry.file.string() +
                           " names no \"Centralized Alerting Path\"");
    }
    return *settings.directory;
}

std::vector<fs::path> WaitingAlerts(const fs::path& directory) {
    std::error_code error;
    std::vector<fs::path> files = ListAlertFiles(directory, error);  // lowest number first
    if (error) throw RuntimeError("cannot list " + directory.string() + ": " + error.message());
    return files;
}

AlertFile ReadAlert(const fs::path& file) {
    return ParseAlertFile(ReadWholeFile(file), file.string());
}

AlertSummary Summarize(const AlertFile& alert, const fs::path& file) {
    AlertSummary summary;
    summary.file = file.string();
    summary.number = file.stem().string();
    char time[64];
    std::snprintf(time, sizeof time, "%04u-%02u-%02uT%02u:%02u:%02uZ", NumberField(alert, "uYear"),
                  NumberField(alert, "uMonth"), NumberField(alert, "uDay"),
                  NumberField(alert, "uHour"), NumberField(alert, "uMinute"),
                  NumberField(alert, "uSecond"));
    summary.time = time;
    summary.event = NumberField(alert, "uSpecificTrap");
    summary.severity = NumberField(alert, "uSeverity");
    summary.virus = TextField(alert, "szVirusName");
    summary.item = TextField(alert, "szItemName");
    return summary;
}

std::string FormatAlertList(const std::vector<AlertSummary>& alerts) {
    std::vector<std::vector<std::string>> rows = {
        {"NUMBER", "TIME (UTC)", "EVENT", "SEVERITY", "VIRUS", "ITEM"}};
    for (const AlertSummary& alert : alerts) {
        rows.push_back({ForPerson(alert.number), alert.time, std::to_string(alert.event),
                        SeverityName(alert.severity), ForPerson(alert.virus),
                        ForPerson(alert.item)});
    }
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += i + 1 < row.size() ? Padded(row[i], widths[i]) + "  " : row[i];
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string AlertSummaryJson(const AlertSummary& alert) {
    return JsonLine()
        .Text("file", alert.file)
        .Text("number", alert.number)
        .Text("time", alert.time)
        .Number("event", alert.event)
        .Number("severity", alert.severity)
        .Text("severityName", SeverityName(alert.severity))
        .Text("virus", alert.virus)
        .Text("item", alert.item)
        .Line();
}

}  // namespace kx::tool
