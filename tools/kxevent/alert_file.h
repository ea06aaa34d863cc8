// alert_file.h: reading central alert files back: a strict parser of the "CentralAlert" format
// (section line, 27 keys in their fixed order, CR LF line ends) and its table and JSON forms.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/alert_keys.h"

namespace kx::tool {

// The alert file's keys, shared with the collector.
using kx::AlertKeyName;
using kx::kAlertKeys;

struct AlertEntry {
    std::string_view key;
    bool number;
    std::string value;  // text exactly as stored; a value over several lines keeps its CR LF
};

struct AlertFile {
    std::vector<AlertEntry> entries;  // the 27 keys in file order
    const std::string* Find(std::string_view key) const;
};

// The finished alert files (*.ALR, regular files only, links not followed) of `directory`,
// sorted by name; `error` says when it could not be listed.
std::vector<std::filesystem::path> ListAlertFiles(const std::filesystem::path& directory,
                                                  std::error_code& error);

// Parses the content of one alert file. Throws RuntimeError "<origin>: line N: ..." for
// anything that is not a complete, well-formed alert.
AlertFile ParseAlertFile(std::string_view content, std::string_view origin);

// Two columns, key and value; control characters in values are shown escaped.
std::string FormatAlertTable(const AlertFile& alert);
// One JSON object: {"file": ..., "CentralAlert": {key: value, ...}} with numbers as numbers.
std::string FormatAlertJson(const AlertFile& alert, std::string_view file);

// A JSON string literal for 8-bit text: valid UTF-8 passes through, other bytes are taken as
// Latin-1 characters; every control character, C1 (U+0080 to U+009F) included, is escaped.
std::string JsonString(std::string_view text);

}  // namespace kx::tool
