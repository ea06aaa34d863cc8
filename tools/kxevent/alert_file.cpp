// alert_file.cpp: parsing and showing central alert files.
#include "tools/kxevent/alert_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "common/utf8.h"
#include "tools/admin/errors.h"

namespace kx::tool {

namespace {

constexpr std::string_view kSectionLine = "[CentralAlert]";

struct Line {
    std::string_view text;
    int number;
};

// The file's line end: CR LF, or LF for files that were converted.
std::string_view LineEndOf(std::string_view content) {
    return content.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
}

// Splits on the file's line end; the content must end with one.
std::vector<Line> SplitLines(std::string_view content, std::string_view origin) {
    const std::string_view end = LineEndOf(content);
    std::vector<Line> lines;
    std::size_t at = 0;
    int number = 1;
    while (at < content.size()) {
        const std::size_t next = content.find(end, at);
        if (next == std::string_view::npos) {
            throw RuntimeError(std::string(origin) + ": line " + std::to_string(number) +
                               ": the line has no line end; the file is incomplete");
        }
        lines.push_back({content.substr(at, next - at), number++});
        at = next + end.size();
    }
    return lines;
}

bool IsUnsignedNumber(std::string_view text) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= 0xFFFFFFFFu;
}

}  // namespace

const std::string* AlertFile::Find(std::string_view key) const {
    for (const AlertEntry& entry : entries) {
        if (entry.key == key) return &entry.value;
    }
    return nullptr;
}

std::vector<std::filesystem::path> ListAlertFiles(const std::filesystem::path& directory,
                                                  std::error_code& error) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        // Only regular files, links not followed: a FIFO, device or link named like an alert
        // is no alert, and reading one could block or leave the directory.
        std::error_code ignored;
        if (entry.path().extension() == ".ALR" &&
            entry.symlink_status(ignored).type() == std::filesystem::file_type::regular) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

AlertFile ParseAlertFile(std::string_view content, std::string_view origin) {
    const std::string where(origin);
    if (content.empty()) throw RuntimeError(where + ": line 1: the file is empty");
    const std::vector<Line> lines = SplitLines(content, origin);
    const std::string_view lineEnd = LineEndOf(content);
    if (lines.front().text != kSectionLine) {
        throw RuntimeError(where + ": line 1: expected the section line [CentralAlert]");
    }
    AlertFile alert;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const Line& line = lines[i];
        const std::size_t next = alert.entries.size();
        if (next < kAlertKeys.size()) {
            const AlertKeyName& expected = kAlertKeys[next];
            const std::string prefix = std::string(expected.name) + "=";
            if (line.text.substr(0, prefix.size()) == prefix) {
                alert.entries.push_back(
                    {expected.name, expected.number, std::string(line.text.substr(prefix.size()))});
                if (expected.number && !IsUnsignedNumber(alert.entries.back().value)) {
                    throw RuntimeError(where + ": line " + std::to_string(line.number) + ": " +
                                       prefix + " needs an unsigned number");
                }
                continue;
            }
        }
        // A text value that itself holds line breaks goes on over the following lines.
        if (alert.entries.empty() || alert.entries.back().number) {
            throw RuntimeError(where + ": line " + std::to_string(line.number) +
                               ": expected the key " + std::string(kAlertKeys[next].name));
        }
        alert.entries.back().value.append(lineEnd).append(line.text);
    }
    if (alert.entries.size() < kAlertKeys.size()) {
        throw RuntimeError(where + ": line " + std::to_string(lines.back().number + 1) +
                           ": the file ends before the key " +
                           std::string(kAlertKeys[alert.entries.size()].name));
    }
    return alert;
}

std::string FormatAlertTable(const AlertFile& alert) {
    std::string out;
    for (const AlertEntry& entry : alert.entries) {
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
    for (const AlertEntry& entry : alert.entries) {
        if (!first) out += ", ";
        first = false;
        out +=
            JsonString(entry.key) + ": " + (entry.number ? entry.value : JsonString(entry.value));
    }
    return out + "}}";
}

}  // namespace kx::tool
