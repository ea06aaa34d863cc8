// alert_file.cpp: parsing and showing central alert files.
#include "tools/kxevent/alert_file.h"

#include <cstdint>
#include <optional>
#include <utility>

#include "common/utf8.h"
#include "tools/admin/errors.h"

namespace kx::tool {

std::vector<std::filesystem::path> ListAlertFiles(const std::filesystem::path& directory,
                                                  std::error_code& error) {
    ReadyAlertSelection ready(SIZE_MAX);
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        // Only regular files, links not followed: a FIFO, device or link named like an alert
        // is no alert, and reading one could block or leave the directory.
        std::error_code ignored;
        if (entry.symlink_status(ignored).type() == std::filesystem::file_type::regular) {
            ready.Offer(entry.path().filename().string());
        }
    }
    std::vector<std::filesystem::path> files;
    for (const std::string& name : ready.Take()) files.push_back(directory / name);
    return files;
}

AlertFile ParseAlertFile(std::string_view content, std::string_view origin) {
    AlertParseFailure failure;
    std::optional<AlertFile> alert = kx::ParseAlertFile(content, failure);
    if (!alert) {
        // Line 0 stands for the file as a whole (its size), not one of its lines.
        const std::string line =
            failure.line == 0 ? std::string() : "line " + std::to_string(failure.line) + ": ";
        throw RuntimeError(std::string(origin) + ": " + line + failure.reason);
    }
    return std::move(*alert);
}

std::string FormatAlertTable(const AlertFile& alert) {
    std::string out;
    for (const AlertEntry& entry : alert.values) {
        std::string key(entry.key);
        key.resize(21, ' ');
        out += key + ForPerson(entry.value) + "\n";
    }
    return out;
}

std::string JsonString(std::string_view text) {
    std::string out;
    AppendJsonString(out, text);
    return out;
}

std::string FormatAlertJson(const AlertFile& alert, std::string_view file) {
    std::string out = "{\"file\": " + JsonString(file) + ", \"CentralAlert\": {";
    bool first = true;
    for (const AlertEntry& entry : alert.values) {
        if (!first) out += ", ";
        first = false;
        out +=
            JsonString(entry.key) + ": " + (entry.number ? entry.value : JsonString(entry.value));
    }
    return out + "}}";
}

}  // namespace kx::tool
